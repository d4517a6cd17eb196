// Small generated series for the end-to-end tests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "series_gen.h"

// Calibration and number of one slice of a test series.
struct TestSlice {
  int number;
  double scale;
  double offset;
};

// Writes each slice with `base` options (size, layout, phantom), its own
// number, scale and offset; fails the current test on error.
void write_test_series(const std::string &directory, const std::vector<TestSlice> &slices,
                       SeriesOptions base = SeriesOptions{});

// Writes slice index 0 of `options` under `name` in `directory`.
void write_test_slice(const std::string &directory, const std::string &name, const SeriesOptions &options);

// A named sample layout of a test series.
struct SampleLayout {
  std::string name;
  SeriesOptions options;
};

// Uncompressed layouts of 37 x 23 slices: every depth from 1 to 16 in both
// byte orders, FillOrder 2, Predictor 2 and several strip layouts.
std::vector<SampleLayout> uncompressed_layouts();

// LZW and PackBits layouts: 8 and 16 bits with and without Predictor 2, both
// byte orders, several strips, slices large enough that LZW passes code 4095
// and starts new tables, FillOrder 2 and odd depths.
std::vector<SampleLayout> compressed_layouts();

inline void PrintTo(const SampleLayout &layout, std::ostream *out) { *out << layout.name; }

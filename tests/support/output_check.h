// Reading output slices back through libtiff and computing the codes they
// must hold, independently of the tool's own mapping code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SliceCalibration {
  double scale;
  double offset;  // as written in the line; the tool keeps it in single precision
};

struct ExpectedScaling {
  double div;
  double base;
  int max_code;
};

// The series scaling of a series with these calibrations at `bit`.
ExpectedScaling expected_scaling(const std::vector<SliceCalibration> &slices, int bit);

// The code of one stored sample v under a slice's calibration.
int expected_code(uint16_t v, const SliceCalibration &slice, const ExpectedScaling &scaling);

struct OutputSlice {
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, compression = 0, photometric = 0, samples_per_pixel = 0, planar = 0;
  uint32_t rows_per_strip = 0, strip_count = 0;
  std::string description, artist;
  bool little_endian = false;
  bool strips_are_rows = false;  // every strip holds exactly one row's bytes
  std::vector<uint16_t> codes;   // row-major, from the raw strips
};

// Reads an output slice; fails the current test when libtiff cannot.
OutputSlice read_output_slice(const std::string &path);

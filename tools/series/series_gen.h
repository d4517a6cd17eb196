// Synthetic input series for tests, the demo and benchmarks: numbered
// single-channel TIFF slices of a CT-like phantom, written through libtiff,
// each with a calibration line in its ImageDescription.
//
// Every slice is written so that sl_depth's reader, which decodes a strip
// with its codec first, then bit-reverses each decoded byte for FillOrder 2,
// then assembles samples and finally undoes Predictor 2 per row (modulo
// 2^bits), yields exactly phantom_samples() for it.
//
// libtiff's own FillOrder 2 reverses the *encoded* strip bytes, and it does
// horizontal differencing only inside the LZW codec at 8 or 16 bits. So a
// slice is written one of two ways:
//
//   compression   FillOrder 2          Predictor 2
//   none (1)      libtiff              self-encoded
//   LZW (5)       self-encoded         libtiff at 8/16 bits, else self-encoded
//   PackBits      self-encoded         self-encoded
//
// libtiff path: samples are handed over packed, libtiff applies the fill
// order and the predictor itself (for uncompressed strips the encoded bytes
// are the decoded bytes, so its bit reversal is the reader's).
// Self-encoded path (any "self-encoded" cell above): the generator
// differences each row, packs, bit-reverses every byte, hands the result to
// libtiff with FillOrder 1 and Predictor 1 written explicitly, and after the
// file is closed rewrites those directory entries to 2 in place.
//
// Packing: 8 bits one byte per sample, 16 bits two bytes per sample in the
// file's byte order (libtiff swaps host order for big-endian files), other
// depths a bit stream most significant bit first, each row starting on a
// byte boundary. 0 bits per sample cannot be written (libtiff refuses rows
// of zero bytes) and is reported as an error, like every other combination
// that would give a broken file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What goes into a slice's ImageDescription.
enum class DescriptionMode {
  calibration,  // calibration_line() of the slice
  fixed_text,   // SeriesOptions::description_text, the same for every slice
  absent,       // no ImageDescription entry at all
};

// What the samples of a slice show.
enum class SamplePattern {
  phantom,   // phantom_samples()
  ramp,      // sample x of every row is x modulo 2^bits
  constant,  // every sample is 2^(bits - 1), or 1 at one bit
};

struct SeriesOptions {
  int count = 3;               // slices in the series, 0 allowed
  int first_number = 0;        // number of slice index 0
  int number_step = 1;         // numbers first, first + step, ... (gaps)
  uint32_t width = 64;
  uint32_t height = 48;
  int bits_per_sample = 16;    // 1 to 16
  bool big_endian = false;     // "MM" files instead of "II"
  int compression = 1;         // 1 none, 5 LZW, 32773 PackBits
  int predictor = 1;           // 1 none, 2 horizontal differencing
  uint32_t rows_per_strip = 0; // 0: one strip holds the whole image
  int fill_order = 1;          // 1 most significant bit first, 2 reversed
  double scale = 10000.0;      // calibration field 3 of slice index 0
  double scale_step = 0.0;     // added per slice index
  double offset = -0.5;        // calibration field 4 of slice index 0
  double offset_step = 0.0;    // added per slice index
  uint64_t seed = 1;           // noise and shape phase of the phantom
  std::string name_pattern = "rec%04d.tif";  // one %d conversion
  SamplePattern pattern = SamplePattern::phantom;
  DescriptionMode description_mode = DescriptionMode::calibration;
  std::string description_text;  // used with DescriptionMode::fixed_text
};

// False with a one-line reason when the options cannot give valid files.
bool check_series_options(const SeriesOptions& options, std::string* error);

// Slice index i (0 to count - 1) carries number first + i * step.
int slice_number(const SeriesOptions& options, int slice_index);
std::string slice_file_name(const SeriesOptions& options, int slice_index);

// Calibration of slice index i: scale + i * scale_step, offset + i *
// offset_step. The reader keeps the offset in single precision.
double slice_scale(const SeriesOptions& options, int slice_index);
double slice_offset(const SeriesOptions& options, int slice_index);

// Row-major width x height samples, each within 0 to 2^bits - 1: a field of
// view of value 0, air, a body with lungs, soft tissue, bone and a small
// metal insert at the top value, plus noise. A pure function of the options'
// size, depth and seed and of the slice index; shapes drift along the series.
std::vector<uint16_t> phantom_samples(const SeriesOptions& options,
                                      int slice_index);

// "1\t0.012\t<scale>\t<offset>\t0\t512\t0.5\t180.0": eight tab-separated
// fields, scale and offset written with as many digits as needed to read
// back the same double.
std::string calibration_line(const SeriesOptions& options, int slice_index);

// True when libtiff applies the fill order and predictor itself (see the
// table above), false for the self-encoded path.
bool uses_libtiff_encoding(const SeriesOptions& options);

// Writes one slice to path. On failure nothing is left at path and *error
// holds one line (libtiff's own message where it refused).
bool write_slice_file(const std::string& path, const SeriesOptions& options,
                      int slice_index, std::string* error);

// Creates dir when missing and writes every slice of the series into it.
bool write_series(const std::string& dir, const SeriesOptions& options,
                  std::string* error);

// Reads or rewrites the value of a SHORT entry of count 1 in the first
// directory of a classic TIFF file, in the file's byte order.
bool read_directory_short(const std::string& path, uint16_t tag,
                          uint16_t* value, std::string* error);
bool patch_directory_short(const std::string& path, uint16_t tag,
                           uint16_t value, std::string* error);

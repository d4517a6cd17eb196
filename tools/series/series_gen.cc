// Series layout: option checks, slice numbers and names, calibration lines,
// and the loop that writes a whole series.
#include "series_gen.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

// Counts "%d"-style conversions ("%d", "%04d", "%5d") in a file name
// pattern; -1 when it holds any other conversion, which snprintf would read
// from a missing argument. "%%" is a literal percent sign.
int count_number_conversions(const std::string& pattern) {
  int conversions = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    ++i;
    if (i < pattern.size() && pattern[i] == '%') continue;
    while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') ++i;
    if (i == pattern.size() || pattern[i] != 'd') return -1;
    ++conversions;
  }
  return conversions;
}

// Shortest "%.Ng" text that reads back as the same double, so the line
// states exactly the calibration that tests compute from the options.
std::string exact_decimal(double value) {
  char text[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

}  // namespace

bool check_series_options(const SeriesOptions& o, std::string* error) {
  if (o.count < 0) return fail(error, "count must be 0 or more");
  if (o.first_number < 0) return fail(error, "first number must be 0 or more");
  if (o.number_step < 1) return fail(error, "number step must be 1 or more");
  if (o.count > 0 &&
      o.first_number + int64_t{o.count - 1} * o.number_step > INT_MAX)
    return fail(error, "slice numbers beyond 2147483647");
  if (o.width < 1 || o.height < 1)
    return fail(error, "width and height must be 1 or more");
  // The reader counts samples in 32 bits; larger slices only exhaust memory.
  if (uint64_t{o.width} * o.height > uint64_t{INT32_MAX})
    return fail(error, "image of 2^31 samples or more");
  if (o.bits_per_sample < 0 || o.bits_per_sample > 16)
    return fail(error, "bits per sample must be 0 to 16");
  if (o.bits_per_sample == 0)
    return fail(error,
                "bits per sample 0 cannot be written: libtiff refuses rows "
                "of zero bytes");
  if (o.compression != 1 && o.compression != 5 && o.compression != 32773)
    return fail(error,
                "compression must be 1 (none), 5 (LZW) or 32773 (PackBits)");
  if (o.predictor != 1 && o.predictor != 2)
    return fail(error, "predictor must be 1 or 2");
  if (o.fill_order != 1 && o.fill_order != 2)
    return fail(error, "fill order must be 1 or 2");
  if (count_number_conversions(o.name_pattern) != 1)
    return fail(error, "file name pattern needs exactly one %d conversion");
  return true;
}

int slice_number(const SeriesOptions& o, int slice_index) {
  return o.first_number + slice_index * o.number_step;
}

std::string slice_file_name(const SeriesOptions& o, int slice_index) {
  std::vector<char> name(o.name_pattern.size() + 32);
  std::snprintf(name.data(), name.size(), o.name_pattern.c_str(),
                slice_number(o, slice_index));
  return name.data();
}

double slice_scale(const SeriesOptions& o, int slice_index) {
  return o.scale + slice_index * o.scale_step;
}

double slice_offset(const SeriesOptions& o, int slice_index) {
  return o.offset + slice_index * o.offset_step;
}

std::string calibration_line(const SeriesOptions& o, int slice_index) {
  return "1\t0.012\t" + exact_decimal(slice_scale(o, slice_index)) + "\t" +
         exact_decimal(slice_offset(o, slice_index)) + "\t0\t512\t0.5\t180.0";
}

bool write_series(const std::string& dir, const SeriesOptions& o,
                  std::string* error) {
  if (!check_series_options(o, error)) return false;
  std::error_code failure;
  std::filesystem::create_directories(dir, failure);
  if (failure)
    return fail(error, "cannot create directory " + dir + ": " +
                           failure.message());
  for (int i = 0; i < o.count; ++i) {
    if (!write_slice_file(dir + "/" + slice_file_name(o, i), o, i, error))
      return false;
  }
  return true;
}

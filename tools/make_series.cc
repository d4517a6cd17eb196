// make_series: writes a synthetic input series into a directory.
//
//   make_series DIR [--count N] [--first N] [--step N] [--width W]
//     [--height H] [--bits B] [--big-endian]
//     [--compression none|lzw|packbits] [--predictor 1|2]
//     [--rows-per-strip R] [--fill-order 1|2] [--scale S] [--scale-step S]
//     [--offset O] [--offset-step O] [--seed N]
//     [--description TEXT | --no-description]
//
// Creates DIR when missing. Prints one summary line on success; on any
// error one line on the standard error stream and exit status 1.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "series_gen.h"

namespace {

const char kUsage[] =
    "usage: make_series DIR [--count N] [--first N] [--step N] [--width W] "
    "[--height H] [--bits B] [--big-endian] "
    "[--compression none|lzw|packbits] [--predictor 1|2] "
    "[--rows-per-strip R] [--fill-order 1|2] [--scale S] [--scale-step S] "
    "[--offset O] [--offset-step O] [--seed N] "
    "[--description TEXT | --no-description]\n";

// Reads a whole decimal integer within low..high into *target.
template <typename Integer>
bool parse_integer(const char* text, long long low, long long high,
                   Integer* target) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < low || value > high)
    return false;
  *target = static_cast<Integer>(value);
  return true;
}

bool parse_real(const char* text, double* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0;
}

bool parse_compression(const std::string& name, int* compression) {
  if (name == "none") *compression = 1;
  else if (name == "lzw") *compression = 5;
  else if (name == "packbits") *compression = 32773;
  else return false;
  return true;
}

// Applies option argv[*i] (and its value, advancing *i) to the options.
bool apply_option(int argc, char** argv, int* i, SeriesOptions* o,
                  std::string* error) {
  const std::string name = argv[*i];
  if (name == "--big-endian") {
    o->big_endian = true;
    return true;
  }
  if (name == "--no-description") {
    o->description_mode = DescriptionMode::absent;
    return true;
  }
  if (*i + 1 >= argc) {
    *error = name + " needs a value";
    return false;
  }
  const char* text = argv[++*i];
  bool ok = true;
  if (name == "--count") ok = parse_integer(text, 0, 1000000, &o->count);
  else if (name == "--first") ok = parse_integer(text, 0, INT_MAX, &o->first_number);
  else if (name == "--step") ok = parse_integer(text, 1, INT_MAX, &o->number_step);
  else if (name == "--width") ok = parse_integer(text, 1, INT_MAX, &o->width);
  else if (name == "--height") ok = parse_integer(text, 1, INT_MAX, &o->height);
  else if (name == "--bits") ok = parse_integer(text, 0, 16, &o->bits_per_sample);
  else if (name == "--predictor") ok = parse_integer(text, 1, 2, &o->predictor);
  else if (name == "--fill-order") ok = parse_integer(text, 1, 2, &o->fill_order);
  else if (name == "--rows-per-strip") ok = parse_integer(text, 0, UINT32_MAX, &o->rows_per_strip);
  else if (name == "--seed") ok = parse_integer(text, 0, LLONG_MAX, &o->seed);
  else if (name == "--scale") ok = parse_real(text, &o->scale);
  else if (name == "--scale-step") ok = parse_real(text, &o->scale_step);
  else if (name == "--offset") ok = parse_real(text, &o->offset);
  else if (name == "--offset-step") ok = parse_real(text, &o->offset_step);
  else if (name == "--compression") ok = parse_compression(text, &o->compression);
  else if (name == "--description") {
    o->description_mode = DescriptionMode::fixed_text;
    o->description_text = text;
  } else {
    *error = "unknown option " + name;
    return false;
  }
  if (!ok) *error = "bad value for " + name + ": " + text;
  return ok;
}

const char* compression_name(int compression) {
  return compression == 5 ? "lzw" : compression == 32773 ? "packbits" : "none";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string dir = argv[1];
  SeriesOptions options;
  std::string error;
  for (int i = 2; i < argc; ++i) {
    if (!apply_option(argc, argv, &i, &options, &error)) {
      std::fprintf(stderr, "make_series: %s\n", error.c_str());
      return 1;
    }
  }
  if (!write_series(dir, options, &error)) {
    std::fprintf(stderr, "make_series: %s\n", error.c_str());
    return 1;
  }
  std::printf(
      "make_series: %d slice%s of %ux%u, %d bits, %s, %s, predictor %d, "
      "fill order %d in %s\n",
      options.count, options.count == 1 ? "" : "s", options.width,
      options.height, options.bits_per_sample,
      options.big_endian ? "big-endian" : "little-endian",
      compression_name(options.compression), options.predictor,
      options.fill_order, dir.c_str());
  return 0;
}

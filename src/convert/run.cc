#include "run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calibration.h"
#include "command_line.h"
#include "console.h"
#include "mapping.h"
#include "platform.h"
#include "read_slice.h"
#include "series_range.h"
#include "write_slice.h"

namespace {

constexpr int kLastSliceNumber = 9999;

// Input names "rec0000.tif" to "rec9999.tif".
void input_name_for(int number, char (&name)[32]) { snprintf(name, sizeof name, "rec%04d.tif", number); }

// The slice numbers worth testing for existence. Testing all 10000 names
// costs 10000 system calls per pass; one listing of the working directory
// narrows them to the names that can exist. Names are matched without
// regard to case, since a file system may ignore it; the existence test
// itself still decides. When the directory cannot be listed, every number
// is a candidate.
struct Candidates {
  bool numbers[kLastSliceNumber + 1];
};

bool same_letters(const char *text, const char *lower_case) {
  for (; *lower_case != '\0'; ++text, ++lower_case) {
    if (tolower(static_cast<unsigned char>(*text)) != *lower_case) return false;
  }
  return true;
}

void note_candidate(const char *name, void *context) {
  if (strlen(name) != 11 || !same_letters(name, "rec") || !same_letters(name + 7, ".tif")) return;
  int number = 0;
  for (int i = 3; i < 7; ++i) {
    if (!isdigit(static_cast<unsigned char>(name[i]))) return;
    number = number * 10 + (name[i] - '0');
  }
  static_cast<Candidates *>(context)->numbers[number] = true;
}

Candidates candidate_numbers() {
  Candidates candidates{};
  if (!list_working_directory(note_candidate, &candidates)) {
    for (bool &number : candidates.numbers) number = true;
  }
  return candidates;
}

// The existing slices of one pass, in ascending number.
struct SliceWalk {
  Candidates candidates = candidate_numbers();
  int number = -1;
  char name[32];
};

// Moves to the next existing slice and forms its name; false when none is
// left. The existence test is made afresh in every pass.
bool next_slice(SliceWalk *walk) {
  while (++walk->number <= kLastSliceNumber) {
    input_name_for(walk->number, walk->name);
    if (walk->candidates.numbers[walk->number] && file_exists(walk->name)) return true;
  }
  return false;
}

// The crop rectangle must lie within every slice: no sample outside a slice
// image may be read.
bool crop_fits(const RunParameters &parameters, int width, int height) {
  return !parameters.crop || (parameters.x2 < width && parameters.y2 < height);
}

[[noreturn]] void fail_on_file(const char *name, const char *message) {
  print_file_error(name, message);
  exit(1);
}

void free_slice_image(uint16_t **rows, int height) {
  for (int j = 0; j < height; ++j) free(rows[j]);
  free(rows);
}

// First pass: every slice's calibration line widens the series range. Every
// check that needs no pixel data runs here, so a bad slice stops the run
// before any output exists. Returns the number of slices found.
int read_series_range(const RunParameters &parameters, CalibrationRecord *calibration, SeriesRange *range) {
  int slice_count = 0;
  for (SliceWalk walk; next_slice(&walk);) {
    const char *name = walk.name;
    int width, height;
    char *description = nullptr;
    if (read_slice(name, &width, &height, nullptr, nullptr, &description) != 0) {
      fail_on_file(name, "cannot open file.");
    }
    if (!crop_fits(parameters, width, height)) fail_on_file(name, "crop rectangle outside the slice.");
    if (description == nullptr) fail_on_file(name, "calibration line not found.");
    int matched = parse_calibration(description, calibration);
    free(description);
    // Without a scale from the first slice every code would silently be 0.
    if (slice_count == 0 && matched < 3) fail_on_file(name, "calibration line not found.");
    extend_series_range(range, calibration->scale, calibration->offset);
    ++slice_count;
    print_slice_found(name);
  }
  return slice_count;
}

// Second pass: each slice is decoded, cropped, mapped and written before the
// next one is read, so memory follows the largest slice.
void convert_series(const RunParameters &parameters, const SeriesScaling &scaling,
                    CalibrationRecord *calibration) {
  for (SliceWalk walk; next_slice(&walk);) {
    const char *name = walk.name;
    int width, height;
    uint16_t **rows = nullptr;
    char *description = nullptr;
    if (read_slice(name, &width, &height, nullptr, &rows, &description) != 0) {
      fail_on_file(name, "cannot open file.");
    }
    // The file may have changed since the first pass.
    if (!crop_fits(parameters, width, height)) fail_on_file(name, "crop rectangle outside the slice.");
    if (description == nullptr) fail_on_file(name, "calibration line not found.");
    parse_calibration(description, calibration);

    int32_t out_width = width;
    int32_t out_height = height;
    if (parameters.crop) {
      crop_slice(rows, parameters.x1, parameters.y1, parameters.x2, parameters.y2, &out_width, &out_height);
    }
    uint16_t *codes16 = nullptr;
    uint8_t *codes8 = nullptr;
    // Only the buffer that the output is written from is filled.
    if (!map_slice(rows, out_width, out_height, calibration->scale, calibration->offset, scaling,
                   parameters.bit == 16 ? &codes16 : nullptr, parameters.bit == 8 ? &codes8 : nullptr)) {
      fail_on_file(name, "memory allocation error.");
    }
    char *line = format_calibration(*calibration, scaling.div, scaling.base);
    if (line == nullptr) fail_on_file(name, "memory allocation error.");
    if (!write_slice(walk.number, name, parameters.bit, out_width, out_height, codes16, codes8, line)) exit(1);

    free(description);
    free(line);
    free_slice_image(rows, height);
    free(codes16);
    free(codes8);
  }
}

}  // namespace

int run(int argc, const char *const *argv) {
  RunParameters parameters;
  if (!read_parameters(argc, argv, &parameters)) {
    print_usage();
    return 1;
  }
  // Output files exist for 8 and 16 bits only.
  if (parameters.bit != 0 && parameters.bit != 8 && parameters.bit != 16) {
    print_bad_bit();
    return 1;
  }
  if (parameters.crop && (parameters.x1 < 0 || parameters.y1 < 0 || parameters.x2 < parameters.x1 ||
                          parameters.y2 < parameters.y1)) {
    print_bad_crop_rectangle();
    return 1;
  }
  print_read_parameter();

  CalibrationRecord calibration{};
  SeriesRange range;
  if (read_series_range(parameters, &calibration, &range) == 0) {
    print_no_convert_files();
    return 1;
  }

  SeriesScaling scaling = compute_series_scaling(range, parameters.bit);
  print_series_range(range.high, range.low);
  if (parameters.bit == 0) return 0;
  print_series_scaling(scaling.div, scaling.base);
  fflush(stdout);

  convert_series(parameters, scaling, &calibration);
  return 0;
}

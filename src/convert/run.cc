#include "run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "calibration.h"
#include "command_line.h"
#include "console.h"
#include "platform.h"
#include "read_slice.h"
#include "series_range.h"
#include "second_pass.h"
#include "slice_names.h"

namespace {

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

// The candidates of one pass, in ascending number.
struct SliceWalk {
  Candidates candidates = candidate_numbers();
  int number = -1;
  char name[32];
};

// Moves to the next candidate and forms its name; false when none is left.
bool next_candidate(SliceWalk *walk) {
  while (++walk->number <= kLastSliceNumber) {
    if (!walk->candidates.numbers[walk->number]) continue;
    input_name_for(walk->number, walk->name);
    return true;
  }
  return false;
}

[[noreturn]] void fail_on_file(const char *name, const char *message) {
  print_file_error(name, message);
  exit(1);
}

// First pass: every slice's calibration line widens the series range. Every
// check that needs no pixel data runs here, so a bad slice stops the run
// before any output exists. Returns the number of slices found and how
// large they are.
int read_series_range(const RunParameters &parameters, CalibrationRecord *calibration, SeriesRange *range,
                      SeriesExtent *extent) {
  int slice_count = 0;
  for (SliceWalk walk; next_candidate(&walk);) {
    const char *name = walk.name;
    int width, height;
    char *description = nullptr;
    // The open tests the name's existence for the pass: only a name that
    // cannot be opened is tested on its own, and passed over when it does
    // not exist.
    if (read_slice(name, &width, &height, nullptr, nullptr, &description) != 0) {
      if (!file_exists(name)) continue;
      fail_on_file(name, "cannot open file.");
    }
    if (!crop_fits(parameters, width, height)) fail_on_file(name, "crop rectangle outside the slice.");
    if (description == nullptr) fail_on_file(name, "calibration line not found.");
    int matched = parse_calibration(description, calibration);
    uint64_t description_bytes = strlen(description) + 1;
    free(description);
    // Without a scale from the first slice every code would silently be 0.
    if (slice_count == 0 && matched < 3) fail_on_file(name, "calibration line not found.");
    extend_series_range(range, calibration->scale, calibration->offset);
    uint64_t in_flight = slice_in_flight_bytes(parameters, width, height, description_bytes, matched);
    if (in_flight > extent->slice_bytes) extent->slice_bytes = in_flight;
    ++slice_count;
    print_slice_found(name);
  }
  return slice_count;
}

// The numbers whose names may exist as the second pass starts, from a
// fresh listing.
std::vector<int> candidate_list() {
  std::vector<int> numbers;
  Candidates candidates = candidate_numbers();
  for (int number = 0; number <= kLastSliceNumber; ++number) {
    if (candidates.numbers[number]) numbers.push_back(number);
  }
  return numbers;
}

int run_checked(int argc, const char *const *argv) {
  // Only these whole arguments: any other one is a number by the
  // leading-digits rule, as it always was.
  if (argc == 2 && strcmp(argv[1], "--version") == 0) return print_version() ? 0 : 1;
  if (argc == 2 && strcmp(argv[1], "--help") == 0) return print_help() ? 0 : 1;
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
  SeriesExtent extent;
  if (read_series_range(parameters, &calibration, &range, &extent) == 0) {
    print_no_convert_files();
    return 1;
  }

  SeriesScaling scaling = compute_series_scaling(range, parameters.bit);
  print_series_range(range.high, range.low);
  if (parameters.bit == 0) return 0;
  print_series_scaling(scaling.div, scaling.base);
  fflush(stdout);

  return convert_series(parameters, scaling, &calibration, candidate_list(), extent) ? 0 : 1;
}

}  // namespace

int run(int argc, const char *const *argv) {
  // The lists of slice numbers are the only memory the run takes from the
  // C++ library; a slice's own shortage is told with the slice's name.
  try {
    return run_checked(argc, argv);
  } catch (const std::bad_alloc &) {
    fflush(stdout);
    print_memory_error();
    return 1;
  }
}

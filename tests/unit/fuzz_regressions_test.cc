// Replays every kept fuzzing input in tests/fuzz_regressions: inputs that
// once crashed, leaked, hung or ran out of memory, and hand-picked seeds
// (valid slices of unusual layouts, and files refused at each of the
// reader's checks).
//
// Each file is read as the run flow reads it, first without the slice image
// and then in full, and the whole sequence is run twice. Every read must end
// in a complete read or in one reader failure naming the file, and the
// outcome must be the same both times.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_limit.h"
#include "read_slice.h"
#include "reader_failure.h"
#include "run_tool.h"

namespace {

// How one read ended: the results or the refusal, as text, so that two reads
// can be compared.
struct Outcome {
  bool read = false;
  std::string text;
};

// FNV-1a over the samples: equal images give equal sums.
uint64_t sample_checksum(uint16_t **rows, int width, int height) {
  uint64_t sum = 0xCBF29CE484222325ull;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      sum = (sum ^ rows[y][x]) * 0x100000001B3ull;
    }
  }
  return sum;
}

// A sample of an accepted slice never exceeds 2^bits - 1, whatever the
// strip bytes were.
int samples_out_of_range(uint16_t **rows, int width, int height, int bits) {
  const uint32_t top = (1u << bits) - 1;
  int count = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) count += rows[y][x] > top ? 1 : 0;
  }
  return count;
}

Outcome read_once(const std::string &path, bool with_image) {
  int width = 0, height = 0, bits = 0;
  uint16_t **rows = nullptr;
  char *description = nullptr;
  try {
    if (read_slice(path.c_str(), &width, &height, &bits, with_image ? &rows : nullptr, &description) != 0) {
      return {false, "cannot open"};
    }
  } catch (const ReaderFailure &failure) {
    EXPECT_EQ(failure.file_name, path);
    EXPECT_EQ(failure.message.find('\n'), std::string::npos) << "a report is one line";
    EXPECT_FALSE(failure.message.empty());
    return {false, "refused: " + failure.message};
  }
  std::string text = "read " + std::to_string(width) + "x" + std::to_string(height) + " at " +
                     std::to_string(bits) + " bits, description " +
                     (description != nullptr ? "\"" + std::string(description) + "\"" : "none");
  if (rows != nullptr) {
    EXPECT_EQ(samples_out_of_range(rows, width, height, bits), 0) << "samples above 2^" << bits << " - 1";
    text += ", samples " + std::to_string(sample_checksum(rows, width, height));
    for (int y = 0; y < height; ++y) free(rows[y]);
    free(rows);
  }
  free(description);
  return {true, text};
}

struct ReadPair {
  Outcome first_pass;
  Outcome full;
};

ReadPair read_as_run_flow(const std::string &path) { return {read_once(path, false), read_once(path, true)}; }

TEST(FuzzRegressions, EveryKeptInputIsReadOrRefusedTheSameWayEachTime) {
  // Inputs that declare slices of gigabytes are refused, not read, within
  // the test's memory.
  reader_memory_limit = uint64_t{1} << 30;
  const std::vector<std::string> names = list_files(FUZZ_REGRESSIONS_DIR);
  ASSERT_FALSE(names.empty()) << "no inputs in " << FUZZ_REGRESSIONS_DIR;
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    const std::string path = std::string(FUZZ_REGRESSIONS_DIR) + "/" + name;
    const ReadPair once = read_as_run_flow(path);
    const ReadPair again = read_as_run_flow(path);
    EXPECT_EQ(once.first_pass.text, again.first_pass.text);
    EXPECT_EQ(once.full.text, again.full.text);
    EXPECT_NE(once.full.text, "cannot open");
    // The first pass runs the same checks up to the description, so it
    // refuses exactly what the full read refuses there, with the same words.
    if (!once.first_pass.read) {
      EXPECT_EQ(once.first_pass.text, once.full.text);
    }
    if (once.full.read) {
      EXPECT_TRUE(once.first_pass.read) << once.first_pass.text;
      EXPECT_EQ(once.full.text.rfind(once.first_pass.text, 0), 0u)
          << "the full read reports other sizes or another description than the first pass";
    }
  }
  reader_memory_limit = 0;
}

}  // namespace

// The reader decodes generated slices of every layout to exactly the
// generator's samples, also with readers on several threads at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "read_slice.h"
#include "reader_failure.h"
#include "run_tool.h"
#include "series_fixture.h"
#include "tiff_builder.h"

namespace {

void expect_decodes_to_phantom(const SeriesOptions &options) {
  ScratchDirectory dir;
  write_test_slice(dir.path, "rec0000.tif", options);
  std::string path = dir.file("rec0000.tif");
  int width = 0, height = 0, bits = 0;
  uint16_t **rows = nullptr;
  char *description = nullptr;
  try {
    ASSERT_EQ(read_slice(path.c_str(), &width, &height, &bits, &rows, &description), 0);
  } catch (const ReaderFailure &failure) {
    FAIL() << failure.message;
  }
  EXPECT_EQ(width, static_cast<int>(options.width));
  EXPECT_EQ(height, static_cast<int>(options.height));
  EXPECT_EQ(bits, options.bits_per_sample);
  EXPECT_STREQ(description, calibration_line(options, 0).c_str());
  std::vector<uint16_t> expected = phantom_samples(options, 0);
  int mismatches = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (rows[y][x] != expected[static_cast<size_t>(y) * options.width + x] && ++mismatches <= 5) {
        ADD_FAILURE() << "row " << y << " column " << x << ": " << rows[y][x] << " != "
                      << expected[static_cast<size_t>(y) * options.width + x];
      }
    }
    free(rows[y]);
  }
  free(rows);
  free(description);
}

class DecodeGenerated : public testing::TestWithParam<SampleLayout> {};

TEST_P(DecodeGenerated, SamplesEqualTheGeneratorsData) { expect_decodes_to_phantom(GetParam().options); }

INSTANTIATE_TEST_SUITE_P(Uncompressed, DecodeGenerated, testing::ValuesIn(uncompressed_layouts()),
                         [](const testing::TestParamInfo<SampleLayout> &info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Compressed, DecodeGenerated, testing::ValuesIn(compressed_layouts()),
                         [](const testing::TestParamInfo<SampleLayout> &info) { return info.param.name; });

// Everything one read_slice_with gives.
struct ReadResult {
  int outcome = -1;
  int width = 0, height = 0, bits = 0;
  std::vector<uint16_t> samples;
  std::string description;
  std::string failure;
};

bool operator==(const ReadResult &a, const ReadResult &b) {
  return std::tie(a.outcome, a.width, a.height, a.bits, a.samples, a.description, a.failure) ==
         std::tie(b.outcome, b.width, b.height, b.bits, b.samples, b.description, b.failure);
}

ReadResult read_with(SliceReader *reader, const std::string &path) {
  ReadResult result;
  uint16_t **rows = nullptr;
  char *description = nullptr;
  const char *failure = nullptr;
  result.outcome = read_slice_with(reader, path.c_str(), &result.width, &result.height, &result.bits, &rows,
                                   &description, &failure);
  if (failure != nullptr) result.failure = failure;
  if (description != nullptr) result.description = description;
  for (int y = 0; rows != nullptr && y < result.height; ++y) {
    result.samples.insert(result.samples.end(), rows[y], rows[y] + result.width);
    free(rows[y]);
  }
  free(rows);
  free(description);
  return result;
}

// Readers on four threads, each its own, read slices of every coding, both
// byte orders and a refused one over and over at the same time; every read
// gives what one read on one thread gives.
TEST(ConcurrentReaders, AgreeWithOneThread) {
  const char *names[] = {"b16_be_fill_order_2", "b3_le_predictor",        "lzw_b16_large_predictor",
                         "lzw_b8_large",        "lzw_b12_be_fill_order_2_predictor",
                         "packbits_b16_large",  "packbits_b16_be_predictor"};
  std::vector<SampleLayout> layouts = uncompressed_layouts();
  for (const SampleLayout &layout : compressed_layouts()) layouts.push_back(layout);
  ScratchDirectory dir;
  std::vector<std::string> paths;
  for (const char *name : names) {
    for (const SampleLayout &layout : layouts) {
      if (layout.name == name) write_test_slice(dir.path, layout.name + ".tif", layout.options);
    }
    paths.push_back(dir.file(std::string(name) + ".tif"));
  }
  // Refused in row 10, with the description and ten rows allocated.
  TiffFile broken = basic_slice(37, 23, 16, false);
  set_entry(broken, long_entry(kTagStripByteCounts, {37 * 2 * 10 + 3}));
  paths.push_back(dir.file("broken.tif"));
  write_file(broken, paths.back());

  SliceReader *reader = create_slice_reader();
  ASSERT_NE(reader, nullptr);
  std::vector<ReadResult> expected;
  for (const std::string &path : paths) expected.push_back(read_with(reader, path));
  destroy_slice_reader(reader);
  for (size_t i = 0; i + 1 < paths.size(); ++i) ASSERT_EQ(expected[i].outcome, kSliceRead) << paths[i];
  ASSERT_EQ(expected.back().outcome, kSliceRefused);
  ASSERT_EQ(expected.back().failure, "too few codes.");

  constexpr size_t kThreads = 4;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SliceReader *own = create_slice_reader();
      for (int round = 0; round < 20; ++round) {
        // Each thread starts at another slice, so different codings overlap.
        for (size_t i = 0; i < paths.size(); ++i) {
          const size_t k = (i + t) % paths.size();
          if (own == nullptr || !(read_with(own, paths[k]) == expected[k])) ++mismatches[t];
        }
      }
      destroy_slice_reader(own);
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0)) << "reads differing from one thread's, per thread";
}

}  // namespace

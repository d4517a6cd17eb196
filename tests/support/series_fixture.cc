#include "series_fixture.h"

#include <gtest/gtest.h>

void write_test_slice(const std::string &directory, const std::string &name, const SeriesOptions &options) {
  std::string error;
  ASSERT_TRUE(write_slice_file(directory + "/" + name, options, 0, &error)) << name << ": " << error;
}

void write_test_series(const std::string &directory, const std::vector<TestSlice> &slices, SeriesOptions base) {
  for (const TestSlice &slice : slices) {
    SeriesOptions options = base;
    options.scale = slice.scale;
    options.offset = slice.offset;
    options.seed = base.seed + static_cast<uint64_t>(slice.number);
    char name[32];
    snprintf(name, sizeof name, "rec%04d.tif", slice.number);
    write_test_slice(directory, name, options);
  }
}

// A file that declares a slice far larger than its data costs memory only
// for what it holds, and a slice larger than the memory allowed is refused
// with one line instead of exhausting the machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "memory_limit.h"
#include "read_slice.h"
#include "reader_failure.h"
#include "tiff_builder.h"

namespace {

// "" after a complete read, else the reader's message.
std::string read_in_full(const TiffFile &file, const std::string &name) {
  std::string path = write_scratch_file(file, name);
  int width = 0, height = 0;
  uint16_t **rows = nullptr;
  try {
    read_slice(path.c_str(), &width, &height, nullptr, &rows, nullptr);
  } catch (const ReaderFailure &failure) {
    return failure.message;
  }
  for (int y = 0; y < height; ++y) free(rows[y]);
  free(rows);
  return "";
}

TiffFile declared(uint32_t width, uint32_t height, int bits, int compression, std::vector<uint8_t> strip) {
  TiffFile file = basic_slice(1, 1, bits, true, strip);
  set_entry(file, long_entry(kTagImageWidth, {width}));
  set_entry(file, long_entry(kTagImageLength, {height}));
  set_entry(file, short_entry(kTagCompression, {static_cast<uint32_t>(compression)}));
  remove_entry(file, kTagRowsPerStrip);  // one strip
  return file;
}

struct BoundCase {
  const char *name;
  TiffFile file;
  uint64_t limit;  // 0: the machine's memory
  std::string message;
};

TEST(MemoryBound, HugeDeclaredSlicesAreRefusedCheaply) {
  BoundCase cases[] = {
      // Rows are allocated as their data arrive: the strip ends after 100 bytes.
      {"short_uncompressed_strip", declared(46340, 46340, 8, 1, std::vector<uint8_t>(100, 7)), 0,
       "unexpected end of file."},
      // 0-bit rows take no bytes: the broken strip is found before any row is filled.
      {"zero_bits_broken_lzw_strip", declared(11266, 65534, 0, 5, {0x80, 0x00, 0x00}), 0,
       "LZW missing end of codes."},
      {"zero_bits_complete_but_too_large", declared(1, 2147483647, 0, 1, {}), uint64_t{1} << 30,
       "cell memory allocation error."},
      {"just_over_the_limit", declared(64, 64, 0, 1, {}), slice_image_bytes(64, 64) - 1,
       "cell memory allocation error."},
      {"at_the_limit", declared(64, 64, 0, 1, {}), slice_image_bytes(64, 64), ""},
  };
  // The strip claims all of its rows' bytes; the file holds 100 of them.
  set_entry(cases[0].file, long_entry(kTagStripByteCounts, {46340u * 46340u}));
  for (const BoundCase &c : cases) {
    reader_memory_limit = c.limit;
    EXPECT_EQ(read_in_full(c.file, c.name), c.message) << c.name;
  }
  reader_memory_limit = 0;
}

}  // namespace

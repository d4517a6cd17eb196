#include "codec_runner.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_source.h"
#include "lzw.h"
#include "mpb.h"
#include "reader_fail.h"

const StripCodec kLzwCodec = {lzw_start_strip, lzw_next_byte, lzw_end_strip, lzw_read_bytes};
const StripCodec kMpbCodec = {mpb_start_strip, mpb_next_byte, mpb_end_strip, mpb_read_bytes};

namespace {

constexpr uint8_t kOtherData = 0xA5;
constexpr size_t kStripOffset = 7;
constexpr size_t kBytesAfterStrip = 5;

// The runner's byte source, on the heap for its size.
ByteSource &runner_source() {
  static const std::unique_ptr<ByteSource> source(new ByteSource());
  return *source;
}

// Runs `decode` over the strip placed in an in-memory file.
StripResult run_over_strip(const StripCodec &codec, const Bytes &strip,
                           const std::function<void(ByteSource &, StripResult &)> &decode, uint32_t read_size = 16) {
  std::vector<char> file(kStripOffset + strip.size() + kBytesAfterStrip, static_cast<char>(kOtherData));
  std::copy(strip.begin(), strip.end(), file.begin() + kStripOffset);
  char path[] = "/tmp/sl_depth_strip_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    throw std::runtime_error("cannot write the strip file");
  }
  close(fd);
  ByteSource &source = runner_source();
  // A small read size by default, so that strips cross buffer refills.
  if (!open_byte_source(source, path, read_size)) throw std::runtime_error("cannot open the strip file");
  unlink(path);

  StripResult result;
  try {
    codec.start_strip(source, static_cast<uint32_t>(kStripOffset), static_cast<uint32_t>(strip.size()));
    decode(source, result);
    codec.end_strip(source);
  } catch (const ReaderRefusal &refusal) {
    result.failure = refusal.message;
  }
  close_byte_source(source);
  return result;
}

}  // namespace

StripResult decode_strip(const StripCodec &codec, const Bytes &strip, size_t bytes_needed,
                         const std::function<void(ByteSource &, size_t)> &before_byte) {
  return run_over_strip(codec, strip, [&](ByteSource &source, StripResult &result) {
    while (result.decoded.size() < bytes_needed) {
      if (before_byte) before_byte(source, result.decoded.size());
      const int byte = codec.next_byte(source);
      if (byte < 0 || byte > 255) throw std::runtime_error("codec handed out " + std::to_string(byte));
      result.decoded.push_back(static_cast<uint8_t>(byte));
    }
  });
}

StripResult decode_strip_in_blocks(const StripCodec &codec, const Bytes &strip, size_t bytes_needed, size_t block,
                                   uint32_t read_size) {
  return run_over_strip(codec, strip, [&](ByteSource &source, StripResult &result) {
    while (result.decoded.size() < bytes_needed) {
      size_t n = std::min(block, bytes_needed - result.decoded.size());
      Bytes part(n);
      codec.read_bytes(source, part.data(), n);
      result.decoded.insert(result.decoded.end(), part.begin(), part.end());
    }
  }, read_size);
}

std::string first_difference(const Bytes &decoded, const Bytes &expected) {
  const size_t common = std::min(decoded.size(), expected.size());
  for (size_t i = 0; i < common; ++i) {
    if (decoded[i] != expected[i]) {
      return "byte " + std::to_string(i) + " is " + std::to_string(decoded[i]) + ", expected " +
             std::to_string(expected[i]);
    }
  }
  if (decoded.size() != expected.size()) {
    return std::to_string(decoded.size()) + " bytes, expected " + std::to_string(expected.size());
  }
  return "";
}

void expect_strip_case(const StripCodec &codec, const StripCase &row) {
  SCOPED_TRACE(row.name);
  const StripResult result = decode_strip(codec, row.strip, row.bytes_needed);
  EXPECT_EQ(result.failure, row.failure);
  if (row.failure.empty()) {
    EXPECT_EQ(first_difference(result.decoded, row.decoded), "");
  }
  // Read through the reader's own buffer, through one that holds whole
  // strips and through a small one. The whole strip through the reader's
  // buffer comes first: the runner's reader keeps its LZW window from strip
  // to strip, and a row's first decoding finds it as small as a reader's
  // first slice does.
  for (uint32_t read_size : {kStripReadSize, 4096u, 16u}) {
    for (size_t block : {row.bytes_needed + 1, size_t{1000}, size_t{3}, size_t{2}}) {
      const StripResult blocks = decode_strip_in_blocks(codec, row.strip, row.bytes_needed, block, read_size);
      EXPECT_EQ(blocks.failure, row.failure) << "in blocks of " << block << " read by " << read_size;
      if (row.failure.empty()) {
        EXPECT_EQ(first_difference(blocks.decoded, row.decoded), "") << "in blocks of " << block;
      }
    }
  }
}

// io_floor: the plain file I/O that a conversion of the series in the
// current directory cannot avoid, as a baseline for sl_depth's run times.
//
//   io_floor 8|16   for every rec%04d.tif: one read of the whole file into a
//                   buffer, then one write of a ro%04d.tif / rh%04d.tif of
//                   the size sl_depth writes for that slice (the samples at
//                   1 or 2 bytes each plus the directory libtiff adds).
//   io_floor 0      for every rec%04d.tif: open it, read the 8-byte header
//                   and the first directory (entry count and entries); the
//                   least a report-only run has to touch.
//   io_floor 8|16 --all-cpus
//                   the same reads and writes as io_floor 8|16, spread over
//                   one thread per usable CPU (the affinity mask, as
//                   sl_depth counts them), each taking the next slice: the
//                   floor of a second pass that uses every CPU.
//   io_floor 8|16 --streamed
//                   the least a conversion that streams can do, on one
//                   thread per usable CPU as --all-cpus: each slice read
//                   256 KiB at a time and each piece written out at once,
//                   for 8 bits its high bytes (every second byte), for 16
//                   bits the piece itself; the output ends at the size
//                   sl_depth writes (the rest of it zeros).
//
// Width and height come from the first directory of the buffer already read,
// so the floor costs no extra I/O. Exit status 1 on any file it cannot read,
// parse or write, with one line on standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform.h"

namespace {

constexpr int kLastSliceNumber = 9999;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kEntryBytes = 12;
constexpr int kTypeShort = 3;
constexpr int kTypeLong = 4;
constexpr int kTagImageWidth = 256;
constexpr int kTagImageLength = 257;

// What libtiff adds to an output slice besides its strips: the header, a
// directory of twelve entries (the ten fields plus StripOffsets and
// StripByteCounts), the strip offsets as one LONG per row, the strip byte
// counts as one SHORT per row (LONG once a row holds more than 65535 bytes),
// the calibration line (about 64 bytes with its zero byte) and "Tevrak".
// Within a few bytes of the real file; the series benchmark compares them.
constexpr size_t kOutputFixedBytes = kHeaderBytes + 2 + 12 * kEntryBytes + 4 + 64 + 7;
constexpr size_t kLargestShort = 65535;

[[noreturn]] void fail(const char *name, const char *what) {
  fprintf(stderr, "io_floor: %s : %s\n", name, what);
  exit(1);
}

// Reads exactly `count` bytes at `offset`; false at the end of the file.
bool read_at(int descriptor, void *buffer, size_t count, off_t offset) {
  auto bytes = static_cast<char *>(buffer);
  while (count > 0) {
    ssize_t got = pread(descriptor, bytes, count, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

bool write_all(int descriptor, const void *buffer, size_t count) {
  auto bytes = static_cast<const char *>(buffer);
  while (count > 0) {
    ssize_t put = write(descriptor, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

// Values of a classic TIFF held in memory, in the file's byte order: the
// bytes of the file from offset `base` on.
struct TiffBytes {
  const uint8_t *data;
  size_t size;
  bool little_endian;
  size_t base;
};

uint32_t short_at(const TiffBytes &tiff, size_t at) {
  const uint8_t *p = tiff.data + (at - tiff.base);
  return tiff.little_endian ? p[0] | p[1] << 8 : p[0] << 8 | p[1];
}

uint32_t long_at(const TiffBytes &tiff, size_t at) {
  const uint8_t *p = tiff.data + (at - tiff.base);
  return tiff.little_endian ? p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24
                            : static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Width and height from the directory at file offset `directory`; false
// when the directory is not wholly among the bytes or lacks either field
// as one SHORT or LONG.
bool directory_image_size(const TiffBytes &tiff, size_t directory, uint32_t *width, uint32_t *height) {
  const size_t end = tiff.base + tiff.size;
  if (directory < tiff.base || end < 2 || directory > end - 2) return false;
  size_t entry_count = short_at(tiff, directory);
  if (entry_count * kEntryBytes > end - directory - 2) return false;
  bool have_width = false, have_height = false;
  for (size_t i = 0; i < entry_count; ++i) {
    size_t entry = directory + 2 + i * kEntryBytes;
    uint32_t tag = short_at(tiff, entry);
    uint32_t type = short_at(tiff, entry + 2);
    if ((tag != kTagImageWidth && tag != kTagImageLength) || long_at(tiff, entry + 4) != 1) continue;
    uint32_t value;
    if (type == kTypeShort) value = short_at(tiff, entry + 8);
    else if (type == kTypeLong) value = long_at(tiff, entry + 8);
    else continue;
    if (tag == kTagImageWidth) have_width = true, *width = value;
    else have_height = true, *height = value;
  }
  return have_width && have_height;
}

// Width and height from the first directory; false when the bytes are not a
// classic TIFF with both fields as one SHORT or LONG.
bool image_size(const uint8_t *data, size_t size, uint32_t *width, uint32_t *height) {
  if (size < kHeaderBytes || data[0] != data[1] || (data[0] != 'I' && data[0] != 'M')) return false;
  TiffBytes tiff{data, size, data[0] == 'I', 0};
  return directory_image_size(tiff, long_at(tiff, 4), width, height);
}

size_t output_size(uint32_t width, uint32_t height, int bit) {
  size_t row_bytes = static_cast<size_t>(width) * (bit == 16 ? 2 : 1);
  size_t strip_table_bytes = 4 + (row_bytes > kLargestShort ? 4 : 2);
  return (row_bytes + strip_table_bytes) * height + kOutputFixedBytes;
}

// One slice of io_floor 8|16. The buffers are kept between slices, as a
// careful converter would keep them.
void copy_slice(const char *input_name, const char *output_name, int bit, std::vector<uint8_t> *input,
                std::vector<uint8_t> *output) {
  int in = open(input_name, O_RDONLY);
  if (in < 0) fail(input_name, "cannot open file.");
  struct stat status;
  if (fstat(in, &status) != 0) fail(input_name, "cannot read file size.");
  size_t size = static_cast<size_t>(status.st_size);
  if (input->size() < size) input->resize(size);
  if (!read_at(in, input->data(), size, 0)) fail(input_name, "cannot read file.");
  close(in);

  uint32_t width = 0, height = 0;
  if (!image_size(input->data(), size, &width, &height)) fail(input_name, "no image size.");
  size_t out_size = output_size(width, height, bit);
  if (output->size() < out_size) output->resize(out_size);

  // An existing output is written over, then cut to size: the least work
  // there is for the file system.
  int out = open(output_name, O_WRONLY | O_CREAT, 0644);
  if (out < 0) fail(output_name, "cannot create file.");
  if (!write_all(out, output->data(), out_size)) fail(output_name, "cannot write file.");
  if (ftruncate(out, static_cast<off_t>(out_size)) != 0) fail(output_name, "cannot write file.");
  if (close(out) != 0) fail(output_name, "cannot write file.");
}

// One slice of io_floor 8|16 --streamed. The directory is parsed from the
// piece that holds it (a separate read only when it straddles two pieces),
// so the sizes cost next to no I/O.
constexpr size_t kStreamPieceBytes = size_t{256} << 10;

void stream_slice(const char *input_name, const char *output_name, int bit, std::vector<uint8_t> *piece,
                  std::vector<uint8_t> *out_piece) {
  int in = open(input_name, O_RDONLY);
  if (in < 0) fail(input_name, "cannot open file.");
  struct stat status;
  if (fstat(in, &status) != 0) fail(input_name, "cannot read file size.");
  const size_t size = static_cast<size_t>(status.st_size);
  int out = open(output_name, O_WRONLY | O_CREAT, 0644);  // written over, then cut to size
  if (out < 0) fail(output_name, "cannot create file.");
  piece->resize(kStreamPieceBytes);
  out_piece->resize(kStreamPieceBytes);
  size_t directory = 0, out_size = SIZE_MAX, written = 0;
  bool little_endian = true;
  uint32_t width = 0, height = 0;
  for (size_t at = 0; at < size; at += kStreamPieceBytes) {
    const size_t count = size - at < kStreamPieceBytes ? size - at : kStreamPieceBytes;
    if (!read_at(in, piece->data(), count, static_cast<off_t>(at))) fail(input_name, "cannot read file.");
    const uint8_t *bytes = piece->data();
    if (at == 0) {
      if (count < kHeaderBytes || (bytes[0] != 'I' && bytes[0] != 'M')) fail(input_name, "bad magic number.");
      little_endian = bytes[0] == 'I';
      directory = long_at({bytes, count, little_endian, 0}, 4);
    }
    if (out_size == SIZE_MAX && directory_image_size({bytes, count, little_endian, at}, directory, &width, &height)) {
      out_size = output_size(width, height, bit);
    }
    size_t out_count = count;
    if (bit == 8) {
      // The high byte of each little-endian sample.
      uint8_t *high = out_piece->data();
      out_count = count / 2;
      for (size_t i = 0; i < out_count; ++i) high[i] = bytes[2 * i + 1];
      bytes = high;
    }
    if (written + out_count > out_size) out_count = out_size > written ? out_size - written : 0;
    if (!write_all(out, bytes, out_count)) fail(output_name, "cannot write file.");
    written += out_count;
  }
  if (out_size == SIZE_MAX) {
    // The directory straddles two pieces.
    std::vector<uint8_t> whole(size);
    if (!read_at(in, whole.data(), size, 0) || !image_size(whole.data(), size, &width, &height)) {
      fail(input_name, "no image size.");
    }
    out_size = output_size(width, height, bit);
  }
  close(in);
  std::fill(out_piece->begin(), out_piece->end(), 0);
  for (size_t count; written < out_size; written += count) {
    count = std::min(out_size - written, out_piece->size());
    if (!write_all(out, out_piece->data(), count)) fail(output_name, "cannot write file.");
  }
  if (ftruncate(out, static_cast<off_t>(out_size)) != 0) fail(output_name, "cannot write file.");
  if (close(out) != 0) fail(output_name, "cannot write file.");
}

// One slice of io_floor 0: the header and the first directory.
void read_header(const char *input_name, std::vector<uint8_t> *directory) {
  int in = open(input_name, O_RDONLY);
  if (in < 0) fail(input_name, "cannot open file.");
  uint8_t header[kHeaderBytes];
  if (!read_at(in, header, sizeof header, 0)) fail(input_name, "cannot read header.");
  if (header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) fail(input_name, "bad magic number.");
  TiffBytes tiff{header, sizeof header, header[0] == 'I', 0};
  off_t directory_offset = long_at(tiff, 4);
  uint8_t count_bytes[2];
  if (!read_at(in, count_bytes, 2, directory_offset)) fail(input_name, "cannot read directory.");
  size_t entry_count = tiff.little_endian ? count_bytes[0] | count_bytes[1] << 8 : count_bytes[0] << 8 | count_bytes[1];
  directory->resize(entry_count * kEntryBytes);
  if (!read_at(in, directory->data(), directory->size(), directory_offset + 2)) {
    fail(input_name, "cannot read directory.");
  }
  close(in);
}

void output_name_of(int number, int bit, char (&name)[16]) {
  snprintf(name, sizeof name, bit == 16 ? "rh%04d.tif" : "ro%04d.tif", number);
}

// io_floor 8|16 --all-cpus and --streamed: the walk over the slice numbers
// first, then the slices copied by one thread per usable CPU, each with its
// own buffers.
int copy_on_all_cpus(int bit, bool streamed) {
  std::vector<int> numbers;
  for (int number = 0; number <= kLastSliceNumber; ++number) {
    char input_name[16];
    snprintf(input_name, sizeof input_name, "rec%04d.tif", number);
    if (access(input_name, F_OK) == 0) numbers.push_back(number);
  }
  if (numbers.empty()) {
    fputs("io_floor: no rec%04d.tif here.\n", stderr);
    return 1;
  }
  std::atomic<size_t> next_slice{0};
  auto copy_slices = [&]() {
    std::vector<uint8_t> input, output;
    for (size_t i = next_slice++; i < numbers.size(); i = next_slice++) {
      char input_name[16], output_name[16];
      snprintf(input_name, sizeof input_name, "rec%04d.tif", numbers[i]);
      output_name_of(numbers[i], bit, output_name);
      if (streamed) {
        stream_slice(input_name, output_name, bit, &input, &output);
      } else {
        copy_slice(input_name, output_name, bit, &input, &output);
      }
    }
  };
  size_t threads = usable_cpu_count();
  if (threads > numbers.size()) threads = numbers.size();
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(copy_slices);
  copy_slices();
  for (std::thread &helper : helpers) helper.join();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int bit = argc == 2 || argc == 3 ? atoi(argv[1]) : -1;
  const bool all_cpus = argc == 3 && strcmp(argv[2], "--all-cpus") == 0;
  const bool streamed = argc == 3 && strcmp(argv[2], "--streamed") == 0;
  if ((bit != 0 && bit != 8 && bit != 16) || (argc == 3 && ((!all_cpus && !streamed) || bit == 0))) {
    fputs("usage: io_floor 0|8|16, io_floor 8|16 --all-cpus|--streamed   (in the directory of rec%04d.tif)\n", stderr);
    return 1;
  }
  if (all_cpus || streamed) return copy_on_all_cpus(bit, streamed);
  std::vector<uint8_t> input, output, directory;
  int slices = 0;
  for (int number = 0; number <= kLastSliceNumber; ++number) {
    char input_name[16];
    snprintf(input_name, sizeof input_name, "rec%04d.tif", number);
    // The existence test every walk over the slice numbers makes.
    if (access(input_name, F_OK) != 0) continue;
    if (bit == 0) {
      read_header(input_name, &directory);
    } else {
      char output_name[16];
      output_name_of(number, bit, output_name);
      copy_slice(input_name, output_name, bit, &input, &output);
    }
    ++slices;
  }
  if (slices == 0) {
    fputs("io_floor: no rec%04d.tif here.\n", stderr);
    return 1;
  }
  return 0;
}

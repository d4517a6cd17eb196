// Reading and rewriting one SHORT value in the first directory of a written
// file: how the self-encoded slices get FillOrder and Predictor 2 after
// libtiff has written them as 1.
#include <cstdio>

#include "series_gen.h"

namespace {

constexpr uint16_t kTypeShort = 3;

struct FileCloser {
  FILE* file;
  ~FileCloser() {
    if (file) std::fclose(file);
  }
};

bool read_bytes(FILE* file, long position, unsigned char* bytes, size_t n) {
  return std::fseek(file, position, SEEK_SET) == 0 &&
         std::fread(bytes, 1, n, file) == n;
}

uint32_t number_from(const unsigned char* bytes, int size, bool big_endian) {
  uint32_t value = 0;
  for (int i = 0; i < size; ++i) {
    const int index = big_endian ? i : size - 1 - i;
    value = (value << 8) | bytes[index];
  }
  return value;
}

// Finds the entry of tag in the first directory; *value_position is where
// its SHORT value lies. The entry must be a SHORT of count 1.
bool find_short_entry(FILE* file, const std::string& path, uint16_t tag,
                      bool* big_endian, long* value_position,
                      std::string* error) {
  unsigned char header[8];
  if (!read_bytes(file, 0, header, sizeof header) || header[0] != header[1] ||
      (header[0] != 'I' && header[0] != 'M')) {
    *error = path + ": not a TIFF file";
    return false;
  }
  *big_endian = header[0] == 'M';
  if (number_from(header + 2, 2, *big_endian) != 42) {
    *error = path + ": not a classic TIFF file";
    return false;
  }
  const long directory = static_cast<long>(number_from(header + 4, 4, *big_endian));
  unsigned char count_bytes[2];
  if (!read_bytes(file, directory, count_bytes, 2)) {
    *error = path + ": directory cut short";
    return false;
  }
  const uint32_t count = number_from(count_bytes, 2, *big_endian);
  for (uint32_t i = 0; i < count; ++i) {
    const long entry = directory + 2 + 12 * static_cast<long>(i);
    unsigned char bytes[12];
    if (!read_bytes(file, entry, bytes, sizeof bytes)) {
      *error = path + ": directory cut short";
      return false;
    }
    if (number_from(bytes, 2, *big_endian) != tag) continue;
    if (number_from(bytes + 2, 2, *big_endian) != kTypeShort ||
        number_from(bytes + 4, 4, *big_endian) != 1) {
      *error = path + ": tag " + std::to_string(tag) + " is not one SHORT";
      return false;
    }
    *value_position = entry + 8;
    return true;
  }
  *error = path + ": tag " + std::to_string(tag) + " not in the directory";
  return false;
}

}  // namespace

bool read_directory_short(const std::string& path, uint16_t tag,
                          uint16_t* value, std::string* error) {
  FileCloser file{std::fopen(path.c_str(), "rb")};
  if (!file.file) {
    *error = "cannot open " + path;
    return false;
  }
  bool big_endian = false;
  long position = 0;
  unsigned char bytes[2];
  if (!find_short_entry(file.file, path, tag, &big_endian, &position, error))
    return false;
  if (!read_bytes(file.file, position, bytes, 2)) {
    *error = path + ": directory cut short";
    return false;
  }
  *value = static_cast<uint16_t>(number_from(bytes, 2, big_endian));
  return true;
}

bool patch_directory_short(const std::string& path, uint16_t tag,
                           uint16_t value, std::string* error) {
  FileCloser file{std::fopen(path.c_str(), "r+b")};
  if (!file.file) {
    *error = "cannot open " + path + " for update";
    return false;
  }
  bool big_endian = false;
  long position = 0;
  if (!find_short_entry(file.file, path, tag, &big_endian, &position, error))
    return false;
  const unsigned char high = static_cast<unsigned char>(value >> 8);
  const unsigned char low = static_cast<unsigned char>(value & 0xFF);
  const unsigned char bytes[2] = {big_endian ? high : low,
                                  big_endian ? low : high};
  bool written = std::fseek(file.file, position, SEEK_SET) == 0 &&
                 std::fwrite(bytes, 1, 2, file.file) == 2;
  written = std::fclose(file.file) == 0 && written;
  file.file = nullptr;
  if (!written) *error = "cannot rewrite tag " + std::to_string(tag) + " in " + path;
  return written;
}

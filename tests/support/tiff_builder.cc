#include "tiff_builder.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

const char kBasicCalibration[] =
    "0\t0.000000\t1000.000000\t-1.000000\t0.000000\t0\t0.000000\t0.000000";

namespace {

constexpr uint8_t kGapByte = 0xA5;  // filler of the directory and strip gaps

size_t value_size(uint16_t type) {
  switch (type) {
    case kTypeByte:
    case kTypeAscii:
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case kTypeShort:
    case 8:  // SSHORT
      return 2;
    default:
      return 4;
  }
}

void put_number(std::vector<uint8_t> &out, uint32_t value, size_t size, bool little_endian) {
  for (size_t i = 0; i < size; ++i) {
    size_t shift = 8 * (little_endian ? i : size - 1 - i);
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

uint32_t directory_size(const TiffFile &file) {
  return static_cast<uint32_t>(2 + 12 * file.entries.size() + 4);
}

std::vector<uint32_t> strip_sizes(const TiffFile &file) {
  std::vector<uint32_t> sizes;
  for (const auto &strip : file.strips) sizes.push_back(static_cast<uint32_t>(strip.size()));
  return sizes;
}

std::vector<uint32_t> strip_positions(const TiffFile &file) {
  std::vector<uint32_t> positions;
  uint32_t at = 8 + file.directory_gap + directory_size(file);
  for (const auto &strip : file.strips) {
    at += file.strip_gap;
    positions.push_back(at);
    at += static_cast<uint32_t>(strip.size());
  }
  return positions;
}

// The bytes an entry stores, inline or out of line; none for a raw value field.
std::vector<uint8_t> entry_payload(const TiffFile &file, const TiffEntry &entry) {
  std::vector<uint8_t> payload;
  if (entry.raw_value_field) return payload;
  if (entry.type == kTypeAscii) return std::vector<uint8_t>(entry.text.begin(), entry.text.end());
  std::vector<uint32_t> values = entry.values;
  if (entry.strip_table == StripTable::offsets) values = strip_positions(file);
  if (entry.strip_table == StripTable::byte_counts) values = strip_sizes(file);
  for (uint32_t value : values) put_number(payload, value, value_size(entry.type), file.little_endian);
  return payload;
}

uint32_t written_count(const TiffEntry &entry, const TiffFile &file) {
  if (entry.strip_table == StripTable::none) return entry.count;
  return static_cast<uint32_t>(file.strips.size());
}

}  // namespace

TiffEntry short_entry(uint16_t tag, std::vector<uint32_t> values) {
  uint32_t count = static_cast<uint32_t>(values.size());
  return typed_entry(tag, kTypeShort, count, std::move(values));
}

TiffEntry long_entry(uint16_t tag, std::vector<uint32_t> values) {
  uint32_t count = static_cast<uint32_t>(values.size());
  return typed_entry(tag, kTypeLong, count, std::move(values));
}

TiffEntry typed_entry(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint32_t> values) {
  TiffEntry entry;
  entry.tag = tag;
  entry.type = type;
  entry.count = count;
  entry.values = std::move(values);
  return entry;
}

TiffEntry ascii_entry(uint16_t tag, const std::string &text) {
  TiffEntry entry;
  entry.tag = tag;
  entry.type = kTypeAscii;
  entry.count = static_cast<uint32_t>(text.size());
  entry.text = text;
  return entry;
}

TiffEntry raw_entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value_field) {
  TiffEntry entry;
  entry.tag = tag;
  entry.type = type;
  entry.count = count;
  entry.raw_value_field = value_field;
  return entry;
}

TiffEntry strip_table_entry(StripTable table, uint16_t type) {
  TiffEntry entry;
  entry.tag = table == StripTable::offsets ? kTagStripOffsets : kTagStripByteCounts;
  entry.type = type;
  entry.strip_table = table;
  return entry;
}

void set_entry(TiffFile &file, const TiffEntry &entry) {
  auto &entries = file.entries;
  for (auto &existing : entries) {
    if (existing.tag == entry.tag) {
      existing = entry;
      return;
    }
  }
  auto higher = std::find_if(entries.begin(), entries.end(),
                             [&](const TiffEntry &e) { return e.tag > entry.tag; });
  entries.insert(higher, entry);
}

void remove_entry(TiffFile &file, uint16_t tag) {
  auto &entries = file.entries;
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [&](const TiffEntry &e) { return e.tag == tag; }),
                entries.end());
}

void append_entry(TiffFile &file, const TiffEntry &entry) { file.entries.push_back(entry); }

size_t row_byte_count(uint32_t width, int bits) {
  return (static_cast<size_t>(width) * static_cast<size_t>(bits) + 7) / 8;
}

TiffFile basic_slice(uint32_t width, uint32_t height, int bits, bool little_endian,
                     std::vector<uint8_t> strip_bytes) {
  if (strip_bytes.empty()) strip_bytes.assign(row_byte_count(width, bits) * height, 0);
  auto size_entry = [](uint16_t tag, uint32_t value) {
    return value <= 0xFFFF ? short_entry(tag, {value}) : long_entry(tag, {value});
  };
  TiffFile file;
  file.little_endian = little_endian;
  file.entries = {
      size_entry(kTagImageWidth, width),
      size_entry(kTagImageLength, height),
      short_entry(kTagBitsPerSample, {static_cast<uint32_t>(bits)}),
      short_entry(kTagCompression, {1}),
      short_entry(kTagPhotometric, {1}),
      ascii_entry(kTagImageDescription, std::string(kBasicCalibration, sizeof kBasicCalibration)),
      strip_table_entry(StripTable::offsets, kTypeLong),
      short_entry(kTagSamplesPerPixel, {1}),
      size_entry(kTagRowsPerStrip, height),
      strip_table_entry(StripTable::byte_counts, kTypeLong),
      short_entry(kTagPlanarConfiguration, {1}),
  };
  file.strips = {std::move(strip_bytes)};
  return file;
}

void split_strips(TiffFile &file, uint32_t width, uint32_t height, int bits,
                  uint32_t rows_per_strip) {
  std::vector<uint8_t> all;
  for (const auto &strip : file.strips) all.insert(all.end(), strip.begin(), strip.end());
  size_t strip_size = row_byte_count(width, bits) * rows_per_strip;
  file.strips.clear();
  for (uint32_t row = 0; row < height; row += rows_per_strip) {
    size_t begin = std::min(all.size(), row_byte_count(width, bits) * row);
    size_t end = std::min(all.size(), begin + strip_size);
    file.strips.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(begin),
                             all.begin() + static_cast<std::ptrdiff_t>(end));
  }
  set_entry(file, long_entry(kTagRowsPerStrip, {rows_per_strip}));
}

TiffLayout tiff_layout(const TiffFile &file) {
  TiffLayout layout;
  layout.directory_offset = 8 + file.directory_gap;
  layout.strip_offsets = strip_positions(file);
  uint32_t at = layout.directory_offset + directory_size(file);
  for (const auto &strip : file.strips) at += file.strip_gap + static_cast<uint32_t>(strip.size());
  for (const auto &entry : file.entries) {
    size_t size = entry_payload(file, entry).size();
    layout.payload_offsets.push_back(size > 4 ? at : 0);
    if (size > 4) at += static_cast<uint32_t>(size);
  }
  layout.file_size = at;
  return layout;
}

std::vector<uint8_t> build_tiff(const TiffFile &file) {
  const bool le = file.little_endian;
  TiffLayout layout = tiff_layout(file);
  std::vector<uint8_t> out;
  out.reserve(layout.file_size);

  std::array<uint8_t, 2> mark = le ? std::array<uint8_t, 2>{'I', 'I'} : std::array<uint8_t, 2>{'M', 'M'};
  if (file.byte_order_mark) mark = *file.byte_order_mark;
  out.push_back(mark[0]);
  out.push_back(mark[1]);
  put_number(out, file.version, 2, le);
  put_number(out, file.first_directory_offset.value_or(layout.directory_offset), 4, le);
  out.insert(out.end(), file.directory_gap, kGapByte);

  uint32_t entry_count = file.entry_count.value_or(static_cast<uint16_t>(file.entries.size()));
  put_number(out, entry_count, 2, le);
  for (size_t i = 0; i < file.entries.size(); ++i) {
    const TiffEntry &entry = file.entries[i];
    put_number(out, entry.tag, 2, le);
    put_number(out, entry.type, 2, le);
    put_number(out, written_count(entry, file), 4, le);
    std::vector<uint8_t> payload = entry_payload(file, entry);
    if (entry.raw_value_field) {
      put_number(out, *entry.raw_value_field, 4, le);
    } else if (payload.size() > 4) {
      put_number(out, layout.payload_offsets[i], 4, le);
    } else {
      payload.resize(4, 0);
      out.insert(out.end(), payload.begin(), payload.end());
    }
  }
  put_number(out, 0, 4, le);  // no next directory

  for (const auto &strip : file.strips) {
    out.insert(out.end(), file.strip_gap, kGapByte);
    out.insert(out.end(), strip.begin(), strip.end());
  }
  for (size_t i = 0; i < file.entries.size(); ++i) {
    if (layout.payload_offsets[i] == 0) continue;
    std::vector<uint8_t> payload = entry_payload(file, file.entries[i]);
    out.insert(out.end(), payload.begin(), payload.end());
  }

  if (file.truncate_at && *file.truncate_at < out.size()) out.resize(*file.truncate_at);
  return out;
}

void write_file(const TiffFile &file, const std::string &path) {
  std::vector<uint8_t> bytes = build_tiff(file);
  FILE *stream = fopen(path.c_str(), "wb");
  if (!stream) throw std::runtime_error("cannot create " + path);
  size_t written = fwrite(bytes.data(), 1, bytes.size(), stream);
  bool closed = fclose(stream) == 0;
  if (written != bytes.size() || !closed) throw std::runtime_error("cannot write " + path);
}

namespace {

std::string scratch_directory;

void remove_scratch_directory() { rmdir(scratch_directory.c_str()); }

}  // namespace

std::string write_scratch_file(const TiffFile &file, const std::string &name) {
  if (scratch_directory.empty()) {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/crafted_tiff_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create " + pattern);
    scratch_directory = pattern;
    atexit(remove_scratch_directory);
  }
  std::string path = scratch_directory + "/" + name;
  write_file(file, path);
  return path;
}

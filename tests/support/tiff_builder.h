// Crafted classic TIFF files for reader tests, valid or deliberately broken.
//
// A TiffFile describes a file as data: the header fields, the directory
// entries in the order they are written (duplicates and unsorted tags stay
// as given), the strip data blobs and an optional cut of the finished file.
// Values are kept as numbers and encoded in the file's byte order only when
// the file is built, so one description serves both byte orders.
//
// Layout of a built file: the 8-byte header, `directory_gap` filler bytes,
// the directory (entry count, 12-byte entries, a zero next-directory
// offset), the strips in order, then the out-of-line values of the entries
// in entry order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr uint16_t kTypeByte = 1;
constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;

constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagBitsPerSample = 258;
constexpr uint16_t kTagCompression = 259;
constexpr uint16_t kTagPhotometric = 262;
constexpr uint16_t kTagFillOrder = 266;
constexpr uint16_t kTagImageDescription = 270;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagSamplesPerPixel = 277;
constexpr uint16_t kTagRowsPerStrip = 278;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagPlanarConfiguration = 284;
constexpr uint16_t kTagPredictor = 317;
constexpr uint16_t kTagSampleFormat = 339;

// The calibration line that basic_slice stores as ImageDescription.
extern const char kBasicCalibration[];

// Entries whose values the builder fills in from the strips at build time.
enum class StripTable { none, offsets, byte_counts };

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;  // written as given; need not match the values
  // SHORT values are written in 2 bytes, LONG and unknown types in 4, BYTE
  // in 1. Ignored for ASCII entries, which write `text`.
  std::vector<uint32_t> values;
  std::string text;  // ASCII payload byte for byte, zero bytes included
  // When set, the value field holds exactly this LONG and no payload is
  // written anywhere: an offset to nowhere, or hand-made inline bytes.
  std::optional<uint32_t> raw_value_field;
  StripTable strip_table = StripTable::none;
};

struct TiffFile {
  bool little_endian = true;  // encoding of every number in the file
  // Overrides of the header; unset, the mark follows little_endian ("II" or
  // "MM") and the first directory offset is where the directory lies.
  std::optional<std::array<uint8_t, 2>> byte_order_mark;
  uint16_t version = 42;
  std::optional<uint32_t> first_directory_offset;
  uint32_t directory_gap = 0;  // filler bytes between the header and the directory
  std::optional<uint16_t> entry_count;  // unset: the number of entries
  std::vector<TiffEntry> entries;
  std::vector<std::vector<uint8_t>> strips;
  // Filler bytes put before every strip, so that no strip starts where the
  // one before it ended.
  uint32_t strip_gap = 0;
  std::optional<size_t> truncate_at;  // the built file is cut to this length
};

// Where the parts of a built file lie (before any cut).
struct TiffLayout {
  uint32_t directory_offset = 0;
  std::vector<uint32_t> strip_offsets;
  std::vector<uint32_t> payload_offsets;  // per entry; 0 when its value is inline
  uint32_t file_size = 0;
};

TiffEntry short_entry(uint16_t tag, std::vector<uint32_t> values);
TiffEntry long_entry(uint16_t tag, std::vector<uint32_t> values);
// An entry of any type with an explicit count and values.
TiffEntry typed_entry(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint32_t> values);
// ASCII with the count equal to the text length (include any zero byte).
TiffEntry ascii_entry(uint16_t tag, const std::string &text);
// An entry whose value field holds `value_field` verbatim.
TiffEntry raw_entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value_field);
// StripOffsets or StripByteCounts of type SHORT or LONG, filled from the
// strips when the file is built, with the count equal to the strip count.
TiffEntry strip_table_entry(StripTable table, uint16_t type);

// Replaces the first entry with the same tag where it stands, or inserts the
// entry before the first one with a higher tag.
void set_entry(TiffFile &file, const TiffEntry &entry);
// Removes every entry with this tag.
void remove_entry(TiffFile &file, uint16_t tag);
// Appends the entry after all others, whatever its tag.
void append_entry(TiffFile &file, const TiffEntry &entry);

// A valid uncompressed single-channel slice: ImageWidth and ImageLength
// (SHORT when they fit, else LONG), BitsPerSample, Compression 1,
// PhotometricInterpretation 1, the calibration ImageDescription, LONG
// StripOffsets and StripByteCounts, SamplesPerPixel 1, RowsPerStrip equal
// to the height, PlanarConfiguration 1. `strip_bytes` is the stored sample
// data of all rows as one strip; empty gives zero bytes of the right length.
TiffFile basic_slice(uint32_t width, uint32_t height, int bits, bool little_endian,
                     std::vector<uint8_t> strip_bytes = {});

// Bytes that one stored row of `width` samples of `bits` bits occupies.
size_t row_byte_count(uint32_t width, int bits);

// Cuts the file's single strip into strips of `rows_per_strip` rows (the
// last one may be shorter) and sets RowsPerStrip to match, as LONG.
void split_strips(TiffFile &file, uint32_t width, uint32_t height, int bits,
                  uint32_t rows_per_strip);

TiffLayout tiff_layout(const TiffFile &file);
std::vector<uint8_t> build_tiff(const TiffFile &file);
void write_file(const TiffFile &file, const std::string &path);

// Writes the file into a directory private to this process and returns its
// path; `name` must be unique within the process.
std::string write_scratch_file(const TiffFile &file, const std::string &name);

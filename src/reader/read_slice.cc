// The read itself: header, directory checks, description, strip tables.
//
// No directory is held in memory: every tag lookup seeks back to the first
// directory and scans its entries. The checks run in a fixed order, so a file
// that breaks several rules always gets the same message.
#include <cstdlib>

#include "memory_limit.h"
#include "slice_reader.h"

namespace {

constexpr int kTypeAscii = 2;
constexpr int kTypeShort = 3;
constexpr int kTypeLong = 4;

constexpr int kTagImageWidth = 256;
constexpr int kTagImageLength = 257;
constexpr int kTagBitsPerSample = 258;
constexpr int kTagCompression = 259;
constexpr int kTagPhotometric = 262;
constexpr int kTagFillOrder = 266;
constexpr int kTagImageDescription = 270;
constexpr int kTagStripOffsets = 273;
constexpr int kTagSamplesPerPixel = 277;
constexpr int kTagRowsPerStrip = 278;
constexpr int kTagStripByteCounts = 279;
constexpr int kTagPlanarConfiguration = 284;
constexpr int kTagPredictor = 317;
constexpr int kTagSampleFormat = 339;

constexpr uint32_t kSizeLimit = 0x80000000u;  // widths, heights and sample counts stay below 2^31

// Searches the first directory for `tag`; returns the field type of the first
// matching entry, with the reading at its count field, or 0 when absent.
int find_entry(SliceReader &reader, int tag) {
  ByteSource &source = reader.source;
  seek_to(source, reader.first_directory);
  int entry_count = source.read_short(source);
  for (int i = 0; i < entry_count; ++i) {
    if (source.read_short(source) == tag) return source.read_short(source);
    skip_bytes(source, 10);
  }
  return 0;
}

// A tag holding one SHORT (or, where allowed, one LONG) value. False when the
// tag is absent, of another type or of another count.
bool read_single_value(SliceReader &reader, int tag, bool long_allowed, uint32_t *value) {
  ByteSource &source = reader.source;
  int type = find_entry(reader, tag);
  if (type != kTypeShort && !(long_allowed && type == kTypeLong)) return false;
  if (source.read_long(source) != 1) return false;
  *value = type == kTypeShort ? static_cast<uint32_t>(source.read_short(source)) : source.read_long(source);
  return true;
}

// A one-SHORT field with a default for every other form of the tag.
uint32_t read_short_or_default(SliceReader &reader, int tag, uint32_t default_value) {
  uint32_t value;
  return read_single_value(reader, tag, false, &value) ? value : default_value;
}

// ImageWidth or ImageLength: present, SHORT or LONG, count 1, not 0.
uint32_t read_dimension(SliceReader &reader, int tag) {
  uint32_t value;
  if (!read_single_value(reader, tag, true, &value) || value == 0) {
    reader_fail("primary image attribute not found.");
  }
  return value;
}

// Ends the read unless `count` more bytes follow the reading position, so
// that nothing is allocated for values the file does not hold.
void require_bytes(const ByteSource &source, uint64_t count) {
  uint64_t position = source_position(source);
  if (position > source.file_size || count > source.file_size - position) {
    reader_fail("unexpected end of file.");
  }
}

// Messages of one strip table.
struct StripTableMessages {
  const char *not_found;
  const char *bad_number;
  const char *allocation_error;
};

// Reads a SHORT or LONG array tag of exactly `count` values into a new array,
// stored in `*values` (which the read owns) before any value is read.
// The tag, its count and the presence of its values in the file are checked
// before the array is allocated, so a broken table costs no memory.
void read_strip_array(SliceReader &reader, int tag, uint32_t count, const StripTableMessages &messages,
                      uint32_t **values) {
  ByteSource &source = reader.source;
  int type = find_entry(reader, tag);
  if (type != kTypeShort && type != kTypeLong) reader_fail(messages.not_found);
  if (source.read_long(source) != count) reader_fail(messages.bad_number);
  // Values that do not fit in the 4-byte value field lie elsewhere.
  uint64_t value_size = type == kTypeShort ? 2 : 4;
  if (count * value_size > 4) seek_to(source, source.read_long(source));
  require_bytes(source, count * value_size);
  uint32_t *array = static_cast<uint32_t *>(malloc(count * sizeof(uint32_t)));
  if (array == nullptr) reader_fail(messages.allocation_error);
  *values = array;
  for (uint32_t i = 0; i < count; ++i) {
    array[i] = type == kTypeShort ? static_cast<uint32_t>(source.read_short(source)) : source.read_long(source);
  }
}

// The ImageDescription text, or null when the tag is absent or not ASCII.
// The stored count includes the terminating zero; the text ends at its first
// zero byte either way.
char *read_description(SliceReader &reader) {
  ByteSource &source = reader.source;
  if (find_entry(reader, kTagImageDescription) != kTypeAscii) return nullptr;
  uint32_t length = source.read_long(source);
  if (length > 4) seek_to(source, source.read_long(source));
  // A count running past the end of the file is refused before anything
  // is allocated for it.
  require_bytes(source, length);
  auto text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) reader_fail("image description memory allocation error.");
  reader.in_progress.description = text;
  read_bytes(source, reinterpret_cast<uint8_t *>(text), length);
  text[length] = '\0';
  return text;
}

void read_header(SliceReader &reader) {
  ByteSource &source = reader.source;
  int first = read_byte(source);
  if (first != 0x49 && first != 0x4D) reader_fail("bad magic number.");
  bool little_endian = first == 0x49;
  source.read_short = little_endian ? read_short_le : read_short_be;
  source.read_long = little_endian ? read_long_le : read_long_be;
  if (read_byte(source) != first) reader_fail("bad magic number.");
  if (source.read_short(source) != 42) reader_fail("bad magic number.");
  reader.first_directory = source.read_long(source);
}

// Reads the strip tables and decodes every row into the allocated image.
void read_strips(SliceReader &reader, StripLayout &layout) {
  ReadInProgress &in_progress = reader.in_progress;
  uint32_t height = static_cast<uint32_t>(layout.height);
  uint32_t per_strip;
  if (!read_single_value(reader, kTagRowsPerStrip, true, &per_strip)) per_strip = height;
  if (per_strip == 0) reader_fail("bad rows per strip.");
  uint32_t strip_count = height / per_strip + (height % per_strip != 0 ? 1 : 0);

  read_strip_array(reader, kTagStripOffsets, strip_count,
                   {"strip offset not found.", "bad number of strip offset.", "strip offset memory allocation error."},
                   &in_progress.strip_offsets);
  read_strip_array(reader, kTagStripByteCounts, strip_count,
                   {"strip bytes count not found.", "bad number of strip bytes count.",
                    "strip bytes count memory allocation error."},
                   &in_progress.strip_byte_counts);

  layout.rows_per_strip = per_strip;
  layout.strip_offsets = in_progress.strip_offsets;
  layout.strip_byte_counts = in_progress.strip_byte_counts;
  decode_rows(reader.source, layout, &in_progress.image);

  free(in_progress.strip_byte_counts);
  free(in_progress.strip_offsets);
  in_progress.strip_byte_counts = nullptr;
  in_progress.strip_offsets = nullptr;
}

}  // namespace

int read_slice_or_fail(SliceReader &reader, const char *file_name, int *width_out, int *height_out, int *bits_out,
                       uint16_t ***image_out, char **description_out, const RowConsumer *consumer) {
  ByteSource &source = reader.source;
  ReadInProgress &in_progress = reader.in_progress;
  in_progress = ReadInProgress{};
  // The first pass reads a few hundred bytes of each file; the second pass
  // streams the strips.
  if (!open_byte_source(source, file_name, image_out != nullptr ? kStripReadSize : kDirectoryReadSize)) {
    return kSliceNotOpened;
  }

  read_header(reader);

  // Presence first, then sizes, then the photometric value: a file that
  // breaks several rules gets the message of the earliest check.
  uint32_t width = read_dimension(reader, kTagImageWidth);
  uint32_t height = read_dimension(reader, kTagImageLength);
  uint32_t photometric;
  if (!read_single_value(reader, kTagPhotometric, false, &photometric) || photometric == 65535) {
    reader_fail("primary image attribute not found.");
  }
  if (width >= kSizeLimit || height >= kSizeLimit) reader_fail("too large image size.");
  // The mapping and the output count a slice's samples in 32 bits.
  if (static_cast<uint64_t>(width) * height >= kSizeLimit) reader_fail("too large image size.");
  if (photometric != 0 && photometric != 1 && photometric != 3 && photometric != 4) {
    reader_fail("bad photometric interpretation.");
  }

  if (read_short_or_default(reader, kTagSamplesPerPixel, 1) > 1) reader_fail("too many samples per pixel.");
  uint32_t bits = read_short_or_default(reader, kTagBitsPerSample, 1);
  if (bits > 16) reader_fail("too many bits per sample.");
  // Signed or floating samples read as unsigned would give wrong physical values.
  if (read_short_or_default(reader, kTagSampleFormat, 1) != 1) reader_fail("unsupported sample format.");
  if (read_short_or_default(reader, kTagPlanarConfiguration, 1) != 1) reader_fail("bad planar configuration.");
  uint32_t compression = read_short_or_default(reader, kTagCompression, 1);
  if (compression != kCodingNone && compression != kCodingLzw && compression != kCodingMpb) {
    reader_fail("unknown image compression method.");
  }
  uint32_t fill_order = read_short_or_default(reader, kTagFillOrder, 1);
  if (fill_order != 1 && fill_order != 2) reader_fail("bad fill order.");
  uint32_t predictor = read_short_or_default(reader, kTagPredictor, 1);
  if (predictor != 1 && predictor != 2) reader_fail("unknown differencing predictor.");

  if (width_out != nullptr) *width_out = static_cast<int>(width);
  if (height_out != nullptr) *height_out = static_cast<int>(height);
  if (bits_out != nullptr) *bits_out = static_cast<int>(bits);

  char *description = description_out != nullptr ? read_description(reader) : nullptr;

  if (image_out != nullptr) {
    StripLayout layout{};
    layout.width = static_cast<int32_t>(width);
    layout.height = static_cast<int32_t>(height);
    layout.bits = static_cast<int>(bits);
    layout.little_endian = source.read_short == read_short_le;
    layout.coding = static_cast<StripCoding>(compression);
    layout.reversed = fill_order == 2;
    layout.difference_mask = static_cast<uint16_t>(predictor == 2 ? (1u << bits) - 1 : 0u);

    if (slice_image_bytes(width, height) > effective_memory_limit()) reader_fail("cell memory allocation error.");
    const bool streamed = consumer != nullptr && consumer->wants_rows(consumer->context, layout.width, layout.height,
                                                                       description);
    if (streamed) {
      stream_rows(layout.width, consumer->take_row, consumer->context, &in_progress.image);
    } else {
      allocate_rows(layout.height, &in_progress.image);
    }
    read_strips(reader, layout);
    *image_out = streamed ? nullptr : in_progress.image.rows;
    if (streamed) free_rows(&in_progress.image);
  }

  close_byte_source(source);
  if (description_out != nullptr) *description_out = description;
  in_progress = ReadInProgress{};
  return kSliceRead;
}

// Differential sweep: a few hundred slices written by libtiff (through the
// series generator) are decoded both by read_slice and by libtiff's
// TIFFReadEncodedStrip, and every sample must be equal.
//
// The sweep covers what both readers accept: uncompressed, LZW and PackBits
// strips, both byte orders, 1 to 16 bits per sample, single and multi-strip
// layouts, and sizes drawn from a fixed pseudo-random sequence. libtiff
// returns 8-bit samples as bytes and 16-bit samples in host order; other
// depths come back as the packed bit stream, which this test unpacks (most
// significant bit first, each row starting on a byte boundary).
//
// Large slices, whose strips run past the reader's read buffer, are
// compared the same way; rebuilt with their directory first, they are also
// cut short inside their strip, which must be refused as
// "unexpected end of file." wherever the cut falls.
//
// Deliberate differences, left out of the sweep:
// - FillOrder 2 is compared only for uncompressed strips. libtiff reverses
//   the bits of the *encoded* strip bytes before its codec; read_slice
//   reverses the *decoded* bytes after its codec. For uncompressed strips
//   the two are the same bytes; for LZW and PackBits they are not, so such
//   files read differently on purpose.
// - Predictor 2 is compared only where libtiff undoes it: LZW at 8 and 16
//   bits. libtiff refuses other depths and ignores the field for
//   uncompressed and PackBits strips.
// - read_slice demands exact strip lengths; libtiff tolerates strips with
//   bytes left over. libtiff never writes such strips, so every file here is
//   one both accept.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byte_source.h"
#include "libtiff_messages.h"
#include "read_slice.h"
#include "reader_failure.h"
#include "run_tool.h"
#include "series_gen.h"
#include "tiff_builder.h"

namespace {

struct SweepCase {
  std::string name;
  SeriesOptions options;
};

// A decoded slice: width x height samples, row-major.
struct Decoded {
  uint32_t width = 0;
  uint32_t height = 0;
  int bits = 0;
  std::string description;
  std::vector<uint16_t> samples;
};

uint64_t next_random(uint64_t *state) {  // splitmix64: the same sweep everywhere
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t random_between(uint64_t *state, uint32_t low, uint32_t high) {
  return low + static_cast<uint32_t>(next_random(state) % (high - low + 1));
}

struct Shape {
  uint32_t width;
  uint32_t height;
};
// Extremes that a random draw would rarely give; one of them per layout.
constexpr Shape kEdgeShapes[] = {{1, 1}, {97, 1}, {1, 61}, {97, 61}};

// Rows per strip: one strip (0), one row per strip, a random split, or a
// value above the height (still one strip).
uint32_t random_rows_per_strip(uint64_t *state, uint32_t height) {
  switch (next_random(state) % 4) {
    case 0: return 0;
    case 1: return 1;
    case 2: return random_between(state, 1, height);
    default: return height + random_between(state, 1, 5);
  }
}

std::string case_name(const SeriesOptions &o) {
  char name[96];
  snprintf(name, sizeof name, "c%d_%s_b%d_p%d_f%d_%ux%u_r%u", o.compression, o.big_endian ? "be" : "le",
           o.bits_per_sample, o.predictor, o.fill_order, o.width, o.height, o.rows_per_strip);
  return name;
}

void add_case(std::vector<SweepCase> *cases, uint64_t *state, SeriesOptions options, const Shape *shape) {
  options.width = shape != nullptr ? shape->width : random_between(state, 1, 97);
  options.height = shape != nullptr ? shape->height : random_between(state, 1, 61);
  options.rows_per_strip = random_rows_per_strip(state, options.height);
  options.seed = next_random(state);
  cases->push_back({case_name(options), options});
}

// Three slices of every compression, byte order and depth (two random
// sizes, one edge shape), three of every depth and byte order with
// FillOrder 2 uncompressed, and four of each Predictor 2 layout that libtiff
// decodes.
std::vector<SweepCase> sweep_cases() {
  std::vector<SweepCase> cases;
  uint64_t state = 20240601;
  int edge = 0;
  auto next_edge = [&edge]() { return &kEdgeShapes[edge++ % 4]; };
  for (int compression : {1, 5, 32773}) {
    for (bool big_endian : {false, true}) {
      for (int bits = 1; bits <= 16; ++bits) {
        SeriesOptions options;
        options.compression = compression;
        options.big_endian = big_endian;
        options.bits_per_sample = bits;
        add_case(&cases, &state, options, nullptr);
        add_case(&cases, &state, options, nullptr);
        add_case(&cases, &state, options, next_edge());
        if (compression == 1) {
          options.fill_order = 2;
          add_case(&cases, &state, options, nullptr);
          add_case(&cases, &state, options, nullptr);
          add_case(&cases, &state, options, next_edge());
        }
        if (compression == 5 && (bits == 8 || bits == 16)) {
          options.predictor = 2;
          for (int i = 0; i < 3; ++i) add_case(&cases, &state, options, nullptr);
          add_case(&cases, &state, options, next_edge());
        }
      }
    }
  }
  return cases;
}

// libtiff's messages about one file, kept for the failure report.
void keep_message(void *context, const char *module, const char *format, va_list arguments) {
  char text[512];
  vsnprintf(text, sizeof text, format, arguments);
  *static_cast<std::string *>(context) += std::string(module != nullptr ? module : "libtiff") + ": " + text + "\n";
}

// Samples of one row from the bytes libtiff returns for it.
void unpack_row(const uint8_t *bytes, uint32_t width, int bits, uint16_t *row) {
  if (bits == 8) {
    for (uint32_t x = 0; x < width; ++x) row[x] = bytes[x];
  } else if (bits == 16) {
    memcpy(row, bytes, size_t{width} * 2);  // libtiff hands out host order
  } else {
    uint64_t bit = 0;
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t value = 0;
      for (int k = 0; k < bits; ++k, ++bit) value = (value << 1) | ((bytes[bit / 8] >> (7 - bit % 8)) & 1u);
      row[x] = static_cast<uint16_t>(value);
    }
  }
}

bool decode_with_libtiff(const std::string &path, Decoded *out, std::string *error) {
  std::string messages;
  LibtiffMessageCatcher catcher(keep_message, keep_message, &messages);
  TIFF *tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) {
    *error = "libtiff cannot open it: " + messages;
    return false;
  }
  uint32_t width = 0, height = 0, rows_per_strip = 0;
  uint16_t bits = 0;
  char *description = nullptr;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description) == 1) out->description = description;
  out->width = width;
  out->height = height;
  out->bits = bits;
  out->samples.assign(size_t{width} * height, 0);

  const size_t row_bytes = (size_t{width} * bits + 7) / 8;
  std::vector<uint8_t> strip;
  bool ok = true;
  for (uint32_t first_row = 0; ok && first_row < height; first_row += rows_per_strip) {
    const uint32_t rows = std::min(rows_per_strip, height - first_row);
    strip.assign(rows * row_bytes, 0);
    const tmsize_t size = static_cast<tmsize_t>(strip.size());
    const uint32_t index = TIFFComputeStrip(tiff, first_row, 0);
    if (TIFFReadEncodedStrip(tiff, index, strip.data(), size) != size) {
      *error = "libtiff cannot read strip " + std::to_string(index) + ": " + messages;
      ok = false;
      break;
    }
    for (uint32_t r = 0; r < rows; ++r) {
      unpack_row(strip.data() + r * row_bytes, width, bits, &out->samples[size_t{first_row + r} * width]);
    }
  }
  TIFFClose(tiff);
  return ok;
}

bool decode_with_reader(const std::string &path, Decoded *out, std::string *error) {
  int width = 0, height = 0, bits = 0;
  uint16_t **rows = nullptr;
  char *description = nullptr;
  try {
    if (read_slice(path.c_str(), &width, &height, &bits, &rows, &description) != 0) {
      *error = "read_slice cannot open it";
      return false;
    }
  } catch (const ReaderFailure &failure) {
    *error = "read_slice refuses it: " + failure.message;
    return false;
  }
  out->width = static_cast<uint32_t>(width);
  out->height = static_cast<uint32_t>(height);
  out->bits = bits;
  if (description != nullptr) out->description = description;
  out->samples.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    memcpy(&out->samples[static_cast<size_t>(y) * static_cast<size_t>(width)], rows[y],
           static_cast<size_t>(width) * sizeof(uint16_t));
    free(rows[y]);
  }
  free(rows);
  free(description);
  return true;
}

// The reader's other face: rows handed over one at a time (for 16-bit
// uncompressed rows, often straight from its read buffer). It must give
// the samples, or the message, that read_slice gives.
bool decode_rows_with_reader(const std::string &path, Decoded *out, std::string *error) {
  SliceReader *reader = create_slice_reader();
  const RowConsumer consumer{[](void *context, int width, int, const char *) {
                               static_cast<Decoded *>(context)->width = static_cast<uint32_t>(width);
                               return true;
                             },
                             [](void *context, int, const uint16_t *row) {
                               auto *decoded = static_cast<Decoded *>(context);
                               decoded->samples.insert(decoded->samples.end(), row, row + decoded->width);
                             },
                             out};
  int width = 0, height = 0;
  uint16_t **rows = nullptr;
  const char *failure = nullptr;
  const int outcome = read_slice_rows_with(reader, path.c_str(), &width, &height, &rows, nullptr, &failure, consumer);
  destroy_slice_reader(reader);
  if (outcome == kSliceRead) return true;
  *error = outcome == kSliceNotOpened ? "read_slice cannot open it" : std::string("read_slice refuses it: ") + failure;
  return false;
}

// Empty when the two decodings agree, else what first differs.
std::string first_difference(const Decoded &reader, const Decoded &libtiff) {
  if (reader.width != libtiff.width || reader.height != libtiff.height || reader.bits != libtiff.bits) {
    return "size: read_slice " + std::to_string(reader.width) + "x" + std::to_string(reader.height) + " at " +
           std::to_string(reader.bits) + " bits, libtiff " + std::to_string(libtiff.width) + "x" +
           std::to_string(libtiff.height) + " at " + std::to_string(libtiff.bits) + " bits";
  }
  if (reader.description != libtiff.description) {
    return "description: read_slice \"" + reader.description + "\", libtiff \"" + libtiff.description + "\"";
  }
  for (size_t i = 0; i < reader.samples.size(); ++i) {
    if (reader.samples[i] != libtiff.samples[i]) {
      return "row " + std::to_string(i / reader.width) + " column " + std::to_string(i % reader.width) +
             ": read_slice " + std::to_string(reader.samples[i]) + ", libtiff " + std::to_string(libtiff.samples[i]);
    }
  }
  return "";
}

// Slices larger than the reader's read buffer: strips cross its refills, and
// the widest rows are read past the buffer in one block.
std::vector<SweepCase> large_cases() {
  struct Large {
    int compression;
    int bits;
    bool big_endian;
    int predictor;
    uint32_t width;
    uint32_t height;
    uint32_t rows_per_strip;
    SamplePattern pattern = SamplePattern::phantom;
  };
  const Large kLarge[] = {
      {1, 16, false, 1, 512, 512, 0},    {1, 8, true, 1, 300000, 2, 0},  {1, 16, true, 1, 140000, 3, 1},
      {1, 3, false, 1, 1500, 500, 0},    {5, 16, true, 2, 512, 512, 0},  {5, 8, false, 1, 1024, 512, 0},
      {5, 12, false, 1, 700, 500, 0},    {5, 8, true, 1, 300000, 2, 1},  {32773, 16, false, 1, 512, 512, 0},
      {32773, 8, true, 1, 300000, 2, 0}, {32773, 4, true, 1, 1024, 700, 0},
      // One strip of 700 rows, nine tenths of each the empty field of view:
      // runs of one sample (a zero difference) that give LZW strings of
      // hundreds of bytes, copied onto themselves, and clear codes and
      // strings across rows.
      {5, 16, true, 2, 6000, 700, 0},
      // Strings as long as the table lets them grow: a ramp, and one sample
      // value throughout, in strips of many rows.
      {5, 16, false, 1, 4096, 300, 0, SamplePattern::ramp},
      {5, 8, true, 1, 3000, 800, 400, SamplePattern::constant},
  };
  std::vector<SweepCase> cases;
  uint64_t seed = 7;
  for (const Large &large : kLarge) {
    SeriesOptions options;
    options.compression = large.compression;
    options.bits_per_sample = large.bits;
    options.big_endian = large.big_endian;
    options.predictor = large.predictor;
    options.width = large.width;
    options.height = large.height;
    options.rows_per_strip = large.rows_per_strip;
    options.pattern = large.pattern;
    options.seed = seed++;
    cases.push_back({case_name(options), options});
  }
  return cases;
}

// Writes the slice through libtiff and checks that both readers decode it
// alike; false, with a failure reported, when they do not.
bool write_and_compare(const std::string &path, const SeriesOptions &options) {
  std::string error;
  if (!write_slice_file(path, options, 0, &error)) {
    ADD_FAILURE() << error;
    return false;
  }
  if (!uses_libtiff_encoding(options)) {
    ADD_FAILURE() << "libtiff did not encode this layout itself";
    return false;
  }
  Decoded by_reader, by_libtiff;
  if (!decode_with_reader(path, &by_reader, &error) || !decode_with_libtiff(path, &by_libtiff, &error)) {
    ADD_FAILURE() << error;
    return false;
  }
  const std::string difference = first_difference(by_reader, by_libtiff);
  if (!difference.empty()) {
    ADD_FAILURE() << difference;
    return false;
  }
  Decoded by_rows;
  if (!decode_rows_with_reader(path, &by_rows, &error) || by_rows.samples != by_reader.samples) {
    ADD_FAILURE() << "rows handed over one at a time differ: " << error;
    return false;
  }
  return true;
}

// The strip that libtiff wrote for a single-strip slice, as stored.
std::vector<uint8_t> stored_strip(const std::string &path) {
  std::vector<uint8_t> strip;
  // "c": the strip as stored, not cut into the smaller strips that libtiff
  // otherwise makes of a large uncompressed one.
  TIFF *tiff = TIFFOpen(path.c_str(), "rc");
  if (tiff == nullptr) return strip;
  uint64_t *byte_counts = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &byte_counts) != 1) byte_counts = nullptr;
  const tmsize_t size = byte_counts != nullptr ? static_cast<tmsize_t>(byte_counts[0]) : 0;
  strip.resize(static_cast<size_t>(size));
  if (TIFFReadRawStrip(tiff, 0, strip.data(), size) != size) strip.clear();
  TIFFClose(tiff);
  return strip;
}

// The same slice with its directory before its one strip and no
// description, so that a cut shortens the strip and nothing else.
TiffFile directory_first(const SeriesOptions &options, std::vector<uint8_t> strip) {
  TiffFile file = basic_slice(options.width, options.height, options.bits_per_sample, !options.big_endian,
                              std::move(strip));
  remove_entry(file, kTagImageDescription);
  set_entry(file, short_entry(kTagCompression, {static_cast<uint32_t>(options.compression)}));
  if (options.predictor == 2) set_entry(file, short_entry(kTagPredictor, {2}));
  return file;
}

// How a read of `path` ends: "read" or the reader's message, the same
// whether the rows are kept or handed over.
std::string read_outcome(const std::string &path) {
  Decoded decoded, by_rows;
  std::string error, rows_error;
  const std::string outcome = decode_with_reader(path, &decoded, &error) ? "read" : error;
  EXPECT_EQ(decode_rows_with_reader(path, &by_rows, &rows_error) ? "read" : rows_error, outcome);
  return outcome;
}

TEST(DifferentialSweep, ReadSliceAndLibtiffDecodeEverySampleAlike) {
  ScratchDirectory dir;
  const std::vector<SweepCase> cases = sweep_cases();
  int equal = 0;
  for (const SweepCase &sweep_case : cases) {
    SCOPED_TRACE(sweep_case.name);
    const std::string path = dir.file(sweep_case.name + ".tif");
    if (write_and_compare(path, sweep_case.options)) ++equal;
    remove(path.c_str());
  }
  const int compared = static_cast<int>(cases.size());
  if (equal == compared) {
    printf("differential sweep: %d files, all equal\n", compared);
  } else {
    printf("differential sweep: %d files, %d differ or were refused\n", compared, compared - equal);
  }
}

TEST(DifferentialSweep, LargeSlicesAcrossTheReadBufferDecodeAlike) {
  ScratchDirectory dir;
  for (const SweepCase &large : large_cases()) {
    SCOPED_TRACE(large.name);
    const std::string path = dir.file(large.name + ".tif");
    write_and_compare(path, large.options);
    remove(path.c_str());
  }
}

TEST(DifferentialSweep, LargeSlicesCutInsideTheirStripEndAsUnexpectedEndOfFile) {
  ScratchDirectory dir;
  const uint32_t buffer = kStripReadSize;
  for (const SweepCase &large : large_cases()) {
    if (large.options.rows_per_strip != 0) continue;
    SCOPED_TRACE(large.name);
    const std::string written = dir.file(large.name + ".tif");
    if (!write_and_compare(written, large.options)) continue;
    TiffFile file = directory_first(large.options, stored_strip(written));
    remove(written.c_str());

    const TiffLayout layout = tiff_layout(file);
    const uint32_t strip_start = layout.strip_offsets.at(0);
    const std::string whole = dir.file("whole.tif");
    write_file(file, whole);
    ASSERT_EQ(read_outcome(whole), "read") << "the rebuilt slice must read whole";
    // Cuts just after the strip's start, one byte before its end, and on
    // either side of every place where the read buffer may be refilled:
    // multiples of its size from the start of the file (the buffer that
    // read the directory also holds the strip's start) or from the strip.
    std::vector<uint32_t> cuts = {strip_start + 1, layout.file_size - 1};
    for (uint32_t start : {0u, strip_start}) {
      for (uint32_t refill = start + buffer; refill <= layout.file_size; refill += buffer) {
        for (uint32_t cut : {refill - 1, refill, refill + 1}) {
          if (cut > strip_start && cut < layout.file_size) cuts.push_back(cut);
        }
      }
    }
    for (uint32_t cut : cuts) {
      file.truncate_at = cut;
      const std::string path = dir.file("cut.tif");
      write_file(file, path);
      EXPECT_EQ(read_outcome(path), "read_slice refuses it: unexpected end of file.") << "cut at byte " << cut;
    }
  }
}

}  // namespace

// libtiff_convert: the same conversion as `sl_depth 8|16`, written the
// ordinary way on top of libtiff, as a yardstick for sl_depth's speed and an
// independent check of its output.
//
//   libtiff_convert 8|16    (in the directory of rec%04d.tif)
//
// First pass: the calibration line of every slice widens the series range.
// Second pass: each slice is read strip by strip with TIFFReadEncodedStrip,
// its samples go through a 65536-entry table of codes built once per slice,
// and each row is written as one raw strip of ro%04d.tif / rh%04d.tif with
// the same ten fields in the same order as sl_depth sets them, so for the
// same input the two programs write the same bytes.
//
// Only 8- and 16-bit single-channel slices are taken, in the codings libtiff
// decodes the way sl_depth does (FillOrder 1; a predictor only with LZW).
// Anything else, and any libtiff failure, ends the run with status 1.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kLastSliceNumber = 9999;
constexpr int kCodeTableSize = 65536;

// The eight fields of a calibration line; one record serves the whole run,
// and a line that matches fewer fields leaves the rest as they were.
struct Calibration {
  int field1 = 0;
  double field2 = 0;
  double scale = 0;
  float offset = 0;
  double field5 = 0;
  int field6 = 0;
  double field7 = 0;
  double field8 = 0;
};

struct Scaling {
  double div;
  double base;
  int max_code;
};

[[noreturn]] void fail(const char *name, const char *what) {
  fprintf(stderr, "libtiff_convert: %s : %s\n", name, what);
  exit(1);
}

void read_calibration(TIFF *tiff, const char *name, Calibration *c) {
  const char *line = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &line) != 1 || line == nullptr) {
    fail(name, "no calibration line.");
  }
  sscanf(line, "%d\t%lf\t%lf\t%f\t%lf\t%d\t%lf\t%lf", &c->field1, &c->field2, &c->scale, &c->offset, &c->field5,
         &c->field6, &c->field7, &c->field8);
}

TIFF *open_slice(const char *name) {
  TIFF *tiff = TIFFOpen(name, "r");
  if (tiff == nullptr) fail(name, "cannot open file.");
  return tiff;
}

// code = trunc((v / scale + offset - base) * div) within 0..max_code; a NaN
// product or one beyond the signed 32-bit range gives 0. The sum is grouped
// as v / scale + (offset - base), the way sl_depth forms it, so that the two
// programs agree to the last code.
void build_code_table(double scale, float offset, const Scaling &scaling, uint16_t *codes) {
  double shift = static_cast<double>(offset) - scaling.base;
  for (int v = 0; v < kCodeTableSize; ++v) {
    double t = (v / scale + shift) * scaling.div;
    int code = 0;
    if (t >= 0.0 && t < 2147483648.0) {
      int n = static_cast<int>(t);
      code = n > scaling.max_code ? scaling.max_code : n;
    }
    codes[v] = static_cast<uint16_t>(code);
  }
}

// The slice's samples, checked to be something this program decodes like
// sl_depth does.
struct SliceLayout {
  uint32_t width;
  uint32_t height;
  uint16_t bits;
  uint32_t rows_per_strip;
};

SliceLayout read_layout(TIFF *tiff, const char *name) {
  SliceLayout layout{};
  uint16_t samples = 1, compression = 1, fill_order = 1, predictor = 1;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &layout.rows_per_strip);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fill_order);
  if (compression == COMPRESSION_LZW) TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
  if (layout.bits != 8 && layout.bits != 16) fail(name, "only 8- and 16-bit slices are taken.");
  if (samples != 1) fail(name, "only single-channel slices are taken.");
  if (TIFFIsTiled(tiff)) fail(name, "tiled slices are not taken.");
  if (fill_order != FILLORDER_MSB2LSB) fail(name, "FillOrder 2 is not taken.");
  if (predictor != PREDICTOR_NONE && predictor != PREDICTOR_HORIZONTAL) fail(name, "unknown predictor.");
  if (layout.rows_per_strip > layout.height) layout.rows_per_strip = layout.height;
  return layout;
}

template <typename Sample, typename Code>
void map_samples(const Sample *samples, uint32_t width, const uint16_t *codes, Code *out) {
  for (uint32_t x = 0; x < width; ++x) out[x] = static_cast<Code>(codes[samples[x]]);
}

// One row of samples (8 or 16 bits, host order as libtiff hands them out)
// to one row of output codes (16 bits, or their low bytes for 8).
void map_row(const uint8_t *samples, uint16_t bits, uint32_t width, int bit, const uint16_t *codes, uint8_t *out) {
  auto *out16 = reinterpret_cast<uint16_t *>(out);
  if (bits == 16) {
    auto *samples16 = reinterpret_cast<const uint16_t *>(samples);
    if (bit == 16) map_samples(samples16, width, codes, out16);
    else map_samples(samples16, width, codes, out);
  } else {
    if (bit == 16) map_samples(samples, width, codes, out16);
    else map_samples(samples, width, codes, out);
  }
}

void write_fields(TIFF *out, uint32_t width, uint32_t height, int bit, const char *line) {
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, bit);
  TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, 1);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, line);
  TIFFSetField(out, TIFFTAG_ARTIST, "Tevrak");
}

// Buffers kept from slice to slice, in 16-bit units so that 16-bit samples
// and codes are read and written through their own type; 8-bit ones go
// through a byte pointer.
struct Work {
  std::vector<uint16_t> strip;
  std::vector<uint16_t> row;
  std::vector<uint16_t> codes = std::vector<uint16_t>(kCodeTableSize);
};

void convert_slice(const char *name, const char *output_name, int bit, const Scaling &scaling, Calibration *c,
                   Work *work) {
  TIFF *in = open_slice(name);
  read_calibration(in, name, c);
  SliceLayout layout = read_layout(in, name);
  build_code_table(c->scale, c->offset, scaling, work->codes.data());

  char line[2048];
  snprintf(line, sizeof line, "%d\t%f\t%f\t%f\t%f\t%d\t%f\t%f", c->field1, c->field2, scaling.div, scaling.base,
           c->field5, c->field6, c->field7, c->field8);
  TIFF *out = TIFFOpen(output_name, "wl");
  if (out == nullptr) fail(output_name, "cannot create file.");
  write_fields(out, layout.width, layout.height, bit, line);

  const size_t in_sample_bytes = layout.bits / 8u;
  const size_t out_sample_bytes = static_cast<size_t>(bit / 8);
  const size_t strip_bytes = static_cast<size_t>(layout.width) * layout.rows_per_strip * in_sample_bytes;
  if (work->strip.size() * 2 < strip_bytes) work->strip.resize(strip_bytes / 2 + 1);
  const size_t row_bytes = static_cast<size_t>(layout.width) * out_sample_bytes;
  if (work->row.size() * 2 < row_bytes) work->row.resize(row_bytes / 2 + 1);
  auto *strip = reinterpret_cast<uint8_t *>(work->strip.data());
  auto *out_row = reinterpret_cast<uint8_t *>(work->row.data());

  const uint32_t strips = TIFFNumberOfStrips(in);
  uint32_t row = 0;
  for (uint32_t s = 0; s < strips; ++s) {
    const uint32_t rows = std::min(layout.rows_per_strip, layout.height - row);
    const tmsize_t want = static_cast<tmsize_t>(static_cast<size_t>(layout.width) * rows * in_sample_bytes);
    if (TIFFReadEncodedStrip(in, s, strip, want) != want) fail(name, "cannot read strip.");
    for (uint32_t r = 0; r < rows; ++r, ++row) {
      const uint8_t *samples = strip + static_cast<size_t>(r) * layout.width * in_sample_bytes;
      map_row(samples, layout.bits, layout.width, bit, work->codes.data(), out_row);
      const tmsize_t written = TIFFWriteRawStrip(out, row, out_row, static_cast<tmsize_t>(row_bytes));
      if (written != static_cast<tmsize_t>(row_bytes)) {
        fail(output_name, "cannot write strip.");
      }
    }
  }
  TIFFClose(in);
  if (TIFFFlush(out) != 1) fail(output_name, "cannot write file.");
  TIFFClose(out);
}

}  // namespace

// The 16-bit codes go to the file as they lie in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit rows are written as stored in memory");

int main(int argc, char **argv) {
  int bit = argc == 2 ? atoi(argv[1]) : 0;
  if (bit != 8 && bit != 16) {
    fputs("usage: libtiff_convert 8|16   (in the directory of rec%04d.tif)\n", stderr);
    return 1;
  }

  Calibration calibration;
  double low = 1000.0, high = -1000.0;
  int slices = 0;
  for (int number = 0; number <= kLastSliceNumber; ++number) {
    char name[16];
    snprintf(name, sizeof name, "rec%04d.tif", number);
    if (access(name, F_OK) != 0) continue;
    TIFF *tiff = open_slice(name);
    read_calibration(tiff, name, &calibration);
    TIFFClose(tiff);
    double offset = calibration.offset;
    double top = 65536.0 / calibration.scale + offset;
    if (offset < low) low = offset;
    if (top > high) high = top;
    ++slices;
  }
  if (slices == 0) fail(".", "no rec%04d.tif here.");

  Scaling scaling;
  scaling.div = std::exp2(static_cast<double>(bit)) / (high - low);
  scaling.base = static_cast<float>(low);
  scaling.max_code = (1 << bit) - 1;
  printf("\nmax=%f\tmin=%f\n", high, low);
  printf("div=%f\tbase=%f\n", scaling.div, scaling.base);
  fflush(stdout);

  Work work;
  for (int number = 0; number <= kLastSliceNumber; ++number) {
    char name[16], output_name[16];
    snprintf(name, sizeof name, "rec%04d.tif", number);
    if (access(name, F_OK) != 0) continue;
    snprintf(output_name, sizeof output_name, bit == 16 ? "rh%04d.tif" : "ro%04d.tif", number);
    convert_slice(name, output_name, bit, scaling, &calibration, &work);
  }
  return 0;
}

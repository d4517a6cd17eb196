#include "output_check.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>

ExpectedScaling expected_scaling(const std::vector<SliceCalibration> &slices, int bit) {
  double low = 1000.0, high = -1000.0;
  for (const SliceCalibration &slice : slices) {
    double offset = static_cast<float>(slice.offset);
    double top = 65536.0 / slice.scale + offset;
    if (offset < low) low = offset;
    if (top > high) high = top;
  }
  return {std::pow(2.0, bit) / (high - low), low, (1 << bit) - 1};
}

int expected_code(uint16_t v, const SliceCalibration &slice, const ExpectedScaling &scaling) {
  double offset = static_cast<float>(slice.offset);
  double t = (v / slice.scale + (offset - scaling.base)) * scaling.div;
  if (!(t > -2147483649.0 && t < 2147483648.0)) return 0;
  long long n = static_cast<long long>(t);
  return n < 0 ? 0 : n >= scaling.max_code ? scaling.max_code : static_cast<int>(n);
}

OutputSlice read_output_slice(const std::string &path) {
  OutputSlice slice;
  TIFF *tiff = TIFFOpen(path.c_str(), "r");
  EXPECT_NE(tiff, nullptr) << path;
  if (tiff == nullptr) return slice;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &slice.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &slice.height);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &slice.bits);
  TIFFGetField(tiff, TIFFTAG_COMPRESSION, &slice.compression);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &slice.photometric);
  TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &slice.samples_per_pixel);
  TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &slice.planar);
  TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &slice.rows_per_strip);
  char *text = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text) == 1) slice.description = text;
  if (TIFFGetField(tiff, TIFFTAG_ARTIST, &text) == 1) slice.artist = text;
  slice.little_endian = !TIFFIsBigEndian(tiff);
  slice.strip_count = TIFFNumberOfStrips(tiff);

  const size_t row_bytes = static_cast<size_t>(slice.width) * (slice.bits == 16 ? 2 : 1);
  slice.strips_are_rows = slice.strip_count == slice.height;
  std::vector<uint8_t> strip(row_bytes + 1);
  for (uint32_t s = 0; s < slice.strip_count; ++s) {
    tmsize_t n = TIFFReadRawStrip(tiff, s, strip.data(), static_cast<tmsize_t>(strip.size()));
    if (n != static_cast<tmsize_t>(row_bytes)) slice.strips_are_rows = false;
    for (size_t j = 0; j < static_cast<size_t>(n) && j < row_bytes; j += slice.bits == 16 ? 2 : 1) {
      slice.codes.push_back(slice.bits == 16 ? static_cast<uint16_t>(strip[j] | strip[j + 1] << 8) : strip[j]);
    }
  }
  TIFFClose(tiff);
  return slice;
}

// Writing one slice through libtiff: packing the phantom into strip bytes,
// either for libtiff to encode with its own fill order and predictor or as
// the exact decoded stream the reader expects (self-encoded path), and the
// directory patch that finishes the self-encoded path.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libtiff_messages.h"
#include "series_gen.h"

namespace {

constexpr uint16_t kTagFillOrder = 266;
constexpr uint16_t kTagPredictor = 317;

uint64_t bytes_per_row(const SeriesOptions& o) {
  return (uint64_t{o.width} * static_cast<uint64_t>(o.bits_per_sample) + 7) / 8;
}

// Horizontal differencing, the inverse of what the reader undoes: each
// sample but the first of a row becomes its difference to the sample
// before, modulo 2^bits.
void difference_rows(const SeriesOptions& o, std::vector<uint16_t>* samples) {
  const uint32_t mask = (uint32_t{1} << o.bits_per_sample) - 1;
  for (uint32_t row = 0; row < o.height; ++row) {
    uint16_t* line = samples->data() + size_t{row} * o.width;
    for (uint32_t m = o.width - 1; m >= 1; --m)
      line[m] = static_cast<uint16_t>((line[m] - line[m - 1]) & mask);
  }
}

// 16-bit samples go in host order: libtiff swaps them for big-endian files.
std::vector<uint8_t> pack_rows(const SeriesOptions& o,
                               const std::vector<uint16_t>& samples) {
  const uint64_t row_bytes = bytes_per_row(o);
  std::vector<uint8_t> packed(row_bytes * o.height, 0);
  if (o.bits_per_sample == 16) {
    std::memcpy(packed.data(), samples.data(), packed.size());
    return packed;
  }
  for (uint32_t row = 0; row < o.height; ++row) {
    uint8_t* out = packed.data() + row * row_bytes;
    const uint16_t* in = samples.data() + size_t{row} * o.width;
    if (o.bits_per_sample == 8) {
      for (uint32_t m = 0; m < o.width; ++m) out[m] = static_cast<uint8_t>(in[m]);
      continue;
    }
    uint64_t bit = 0;  // position in the row, most significant bit first
    for (uint32_t m = 0; m < o.width; ++m) {
      for (int b = o.bits_per_sample - 1; b >= 0; --b, ++bit) {
        if ((in[m] >> b) & 1) out[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
      }
    }
  }
  return packed;
}

void reverse_bits_of_bytes(std::vector<uint8_t>* bytes) {
  for (uint8_t& byte : *bytes) {
    uint8_t reversed = 0;
    for (int b = 0; b < 8; ++b) reversed |= static_cast<uint8_t>(((byte >> b) & 1) << (7 - b));
    byte = reversed;
  }
}

// libtiff's errors while a slice is written, kept for the caller's error
// line instead of going to the console.
void keep_libtiff_error(void* context, const char* module, const char* format,
                        va_list arguments) {
  auto* message = static_cast<std::string*>(context);
  if (!message->empty()) return;  // the first error is the cause
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  *message = std::string(module ? module : "libtiff") + ": " + text;
}

// Uncompressed and PackBits strips have no Predictor field in libtiff; the
// self-encoded path still needs the entry in the directory to patch it.
bool ensure_predictor_field(TIFF* tiff) {
  static const TIFFFieldInfo predictor_field[] = {
      {TIFFTAG_PREDICTOR, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0,
       const_cast<char*>("Predictor")}};
  if (TIFFFindField(tiff, TIFFTAG_PREDICTOR, TIFF_ANY)) return true;
  return TIFFMergeFieldInfo(tiff, predictor_field, 1) == 0;
}

bool set_fields(TIFF* tiff, const SeriesOptions& o, int slice_index,
                bool by_libtiff) {
  const uint32_t rows_per_strip = o.rows_per_strip ? o.rows_per_strip : o.height;
  const int fill_order = by_libtiff ? o.fill_order : 1;
  const int predictor = by_libtiff ? o.predictor : 1;
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, o.width) &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, o.height) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, o.bits_per_sample) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
            TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, o.compression) &&
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows_per_strip) &&
            TIFFSetField(tiff, TIFFTAG_FILLORDER, fill_order);
  // The Predictor entry is written when the codec has one (LZW) or when the
  // self-encoded path will turn it into 2.
  if (ok && (o.compression == COMPRESSION_LZW || o.predictor == 2))
    ok = ensure_predictor_field(tiff) &&
         TIFFSetField(tiff, TIFFTAG_PREDICTOR, predictor);
  if (ok && o.description_mode == DescriptionMode::calibration)
    ok = TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION,
                      calibration_line(o, slice_index).c_str());
  if (ok && o.description_mode == DescriptionMode::fixed_text)
    ok = TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, o.description_text.c_str());
  return ok;
}

// libtiff may change the bytes it is given (byte swapping, differencing),
// so each strip's part of the buffer is handed over once.
bool write_strips(TIFF* tiff, const SeriesOptions& o, std::vector<uint8_t>* stream) {
  const uint64_t rows_per_strip = o.rows_per_strip ? o.rows_per_strip : o.height;
  const uint64_t row_bytes = bytes_per_row(o);
  uint32_t strip = 0;
  for (uint64_t row = 0; row < o.height; row += rows_per_strip, ++strip) {
    const uint64_t rows = std::min<uint64_t>(rows_per_strip, o.height - row);
    const tmsize_t size = static_cast<tmsize_t>(rows * row_bytes);
    if (TIFFWriteEncodedStrip(tiff, strip, stream->data() + row * row_bytes, size) != size)
      return false;
  }
  return true;
}

bool patch_to_two(const std::string& path, const SeriesOptions& o, std::string* error) {
  return (o.fill_order != 2 || patch_directory_short(path, kTagFillOrder, 2, error)) &&
         (o.predictor != 2 || patch_directory_short(path, kTagPredictor, 2, error));
}

}  // namespace

bool uses_libtiff_encoding(const SeriesOptions& o) {
  const bool fill_order_same = o.fill_order == 1 || o.compression == COMPRESSION_NONE;
  const bool predictor_same =
      o.predictor == 1 || (o.compression == COMPRESSION_LZW &&
                           (o.bits_per_sample == 8 || o.bits_per_sample == 16));
  return fill_order_same && predictor_same;
}

bool write_slice_file(const std::string& path, const SeriesOptions& o,
                      int slice_index, std::string* error) {
  std::string reason;
  if (!check_series_options(o, &reason)) {
    *error = path + ": " + reason;
    return false;
  }
  const bool by_libtiff = uses_libtiff_encoding(o);
  std::vector<uint16_t> samples = phantom_samples(o, slice_index);
  if (!by_libtiff && o.predictor == 2) difference_rows(o, &samples);
  std::vector<uint8_t> stream = pack_rows(o, samples);
  if (!by_libtiff && o.fill_order == 2) reverse_bits_of_bytes(&stream);

  std::string libtiff_error;
  LibtiffMessageCatcher catcher(keep_libtiff_error, nullptr, &libtiff_error);
  TIFF* tiff = TIFFOpen(path.c_str(), o.big_endian ? "wb" : "wl");
  if (!tiff) {
    *error = "cannot create " + path + ": " + libtiff_error;
    return false;
  }
  bool written = set_fields(tiff, o, slice_index, by_libtiff) &&
                 write_strips(tiff, o, &stream) && TIFFFlush(tiff) == 1;
  TIFFClose(tiff);
  if (!written) {
    *error = "cannot write " + path + ": " +
             (libtiff_error.empty() ? "libtiff refused a field" : libtiff_error);
  } else if (!by_libtiff) {
    written = patch_to_two(path, o, error);
  }
  if (!written) std::remove(path.c_str());
  return written;
}

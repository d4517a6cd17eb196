#include "strip_writers.h"

#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace {

constexpr int kFirstFreeCode = 258;
constexpr int kCodeLimit = 4096;

// Follows the code width the way a decoder does, code by code.
struct LzwWidthTracker {
  int width = 9;
  int next_code = kFirstFreeCode;
  bool table_empty = true;         // the next data code follows a clear code
  bool raised_by_last_code = false;
};

void track_code(LzwWidthTracker &tracker, int code) {
  tracker.raised_by_last_code = false;
  if (code == kLzwClear) {
    tracker = LzwWidthTracker{};
  } else if (code == kLzwEnd) {
    // Ends the strip; defines nothing.
  } else if (tracker.table_empty) {
    tracker.table_empty = false;  // the first code after a clear defines no entry
  } else if (tracker.next_code < kCodeLimit) {
    ++tracker.next_code;
    if (tracker.next_code == (1 << tracker.width) - 1 && tracker.width < 12) {
      ++tracker.width;
      tracker.raised_by_last_code = true;
    }
  }
}

// The end code, or a clear code directly followed by the end code.
bool ends_strip(const std::vector<int> &codes, size_t index) {
  if (codes[index] == kLzwEnd) return true;
  return codes[index] == kLzwClear && index + 1 < codes.size() && codes[index + 1] == kLzwEnd;
}

}  // namespace

void put_code(LzwCodeWriter &writer, int code, int width) {
  if (width < 1 || width > 16 || code < 0 || code >= (1 << width)) {
    throw std::invalid_argument("code " + std::to_string(code) + " does not fit " +
                                std::to_string(width) + " bits");
  }
  writer.pending = (writer.pending << width) | static_cast<uint32_t>(code);
  writer.pending_count += width;
  while (writer.pending_count >= 8) {
    writer.pending_count -= 8;
    writer.bytes.push_back(static_cast<uint8_t>(writer.pending >> writer.pending_count));
  }
  writer.pending &= (1u << writer.pending_count) - 1;
}

Bytes finish_codes(LzwCodeWriter &writer) {
  if (writer.pending_count > 0) {
    writer.bytes.push_back(static_cast<uint8_t>(writer.pending << (8 - writer.pending_count)));
    writer.pending = 0;
    writer.pending_count = 0;
  }
  return writer.bytes;
}

Bytes lzw_strip(const std::vector<int> &codes, LzwEndWidth end_width) {
  LzwCodeWriter writer;
  LzwWidthTracker tracker;
  for (size_t i = 0; i < codes.size(); ++i) {
    const bool narrow = tracker.raised_by_last_code && end_width == LzwEndWidth::before_raise &&
                        ends_strip(codes, i);
    put_code(writer, codes[i], narrow ? tracker.width - 1 : tracker.width);
    track_code(tracker, codes[i]);
  }
  return finish_codes(writer);
}

bool lzw_last_code_raises_width(const std::vector<int> &codes) {
  LzwWidthTracker tracker;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (ends_strip(codes, i)) return tracker.raised_by_last_code;
    track_code(tracker, codes[i]);
  }
  return tracker.raised_by_last_code;
}

std::vector<int> lzw_encode_codes(const Bytes &data, int clear_at) {
  if (clear_at <= kFirstFreeCode || clear_at > kCodeLimit) {
    throw std::invalid_argument("clear_at must lie in 259 to 4096");
  }
  std::vector<int> codes{kLzwClear};
  if (data.empty()) {
    codes.push_back(kLzwEnd);
    return codes;
  }
  std::unordered_map<int, int> table;  // (prefix code << 8 | byte) -> code
  int free_code = kFirstFreeCode;
  int current = data[0];
  for (size_t i = 1; i < data.size(); ++i) {
    const int key = (current << 8) | data[i];
    const auto found = table.find(key);
    if (found != table.end()) {
      current = found->second;
      continue;
    }
    codes.push_back(current);
    current = data[i];
    table[key] = free_code++;
    if (free_code == clear_at) {
      codes.push_back(kLzwClear);
      table.clear();
      free_code = kFirstFreeCode;
    }
  }
  codes.push_back(current);
  if (free_code + 1 == clear_at) codes.push_back(kLzwClear);
  codes.push_back(kLzwEnd);
  return codes;
}

Bytes lzw_encode(const Bytes &data, const LzwEncoding &encoding) {
  return lzw_strip(lzw_encode_codes(data, encoding.clear_at), encoding.end_width);
}

Bytes mpb_literal(const Bytes &bytes) {
  if (bytes.empty() || bytes.size() > 128) throw std::invalid_argument("literal run of 1 to 128 bytes");
  Bytes run{static_cast<uint8_t>(bytes.size() - 1)};
  run.insert(run.end(), bytes.begin(), bytes.end());
  return run;
}

Bytes mpb_repeat(uint8_t byte, int count) {
  if (count < 2 || count > 128) throw std::invalid_argument("repeat run of 2 to 128 copies");
  return {static_cast<uint8_t>(257 - count), byte};
}

Bytes mpb_encode(const Bytes &data) {
  Bytes strip;
  Bytes literal;
  auto flush_literal = [&] {
    if (literal.empty()) return;
    const Bytes run = mpb_literal(literal);
    strip.insert(strip.end(), run.begin(), run.end());
    literal.clear();
  };
  size_t i = 0;
  while (i < data.size()) {
    size_t run_end = i + 1;
    while (run_end < data.size() && run_end - i < 128 && data[run_end] == data[i]) ++run_end;
    const size_t count = run_end - i;
    if (count >= 2) {
      flush_literal();
      const Bytes run = mpb_repeat(data[i], static_cast<int>(count));
      strip.insert(strip.end(), run.begin(), run.end());
    } else {
      literal.push_back(data[i]);
      if (literal.size() == 128) flush_literal();
    }
    i = run_end;
  }
  flush_literal();
  return strip;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes random_bytes(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(count);
  for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(generator() & 0xFF);
  return bytes;
}

Bytes libtiff_strip(const Bytes &data, uint16_t compression) {
  if (data.empty()) throw std::invalid_argument("libtiff writes no row of width 0");
  const char *tmp = getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/strip_XXXXXX";
  const int descriptor = mkstemp(path.data());
  if (descriptor < 0) throw std::runtime_error("cannot create " + path);
  close(descriptor);

  TIFF *out = TIFFOpen(path.c_str(), "w");
  if (!out) throw std::runtime_error("libtiff cannot create " + path);
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(data.size()));
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, 1u);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, 1u);
  TIFFSetField(out, TIFFTAG_COMPRESSION, compression);
  Bytes row = data;  // libtiff may encode in place
  const tmsize_t written = TIFFWriteEncodedStrip(out, 0, row.data(), static_cast<tmsize_t>(row.size()));
  TIFFClose(out);

  Bytes strip;
  TIFF *in = written < 0 ? nullptr : TIFFOpen(path.c_str(), "r");
  if (in) {
    uint64_t *byte_counts = nullptr;
    if (TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &byte_counts) != 1) byte_counts = nullptr;
    const tmsize_t size = byte_counts != nullptr ? static_cast<tmsize_t>(byte_counts[0]) : 0;
    strip.resize(static_cast<size_t>(size));
    if (TIFFReadRawStrip(in, 0, strip.data(), size) != size) strip.clear();
    TIFFClose(in);
  }
  unlink(path.c_str());
  if (strip.empty()) throw std::runtime_error("libtiff strip round trip failed for " + path);
  return strip;
}

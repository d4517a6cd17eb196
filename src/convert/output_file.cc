#include "output_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform.h"

namespace {

constexpr size_t kBufferSize = 1 << 20;

// The one output file open at a time. Bytes [buffer_start, buffer_start +
// buffered) of the file are held in `buffer`; `position` and `size` are the
// file as libtiff sees it.
struct OutputFile {
  FileHandle file = -1;
  const char *name = nullptr;
  bool buffering = false;
  bool failed = false;
  int error = 0;  // errno of the first failure
  uint64_t position = 0;
  uint64_t size = 0;
  uint64_t buffer_start = 0;
  size_t buffered = 0;
  uint8_t buffer[kBufferSize];
};

OutputFile output;

bool write_at(uint64_t offset, const uint8_t *bytes, size_t count) {
  int error = 0;
  if (write_file_at(output.file, bytes, count, offset, &error)) return true;
  if (!output.failed) output.error = error;
  output.failed = true;
  return false;
}

bool flush_buffer() {
  bool ok = output.failed ? false : write_at(output.buffer_start, output.buffer, output.buffered);
  output.buffered = 0;
  return ok;
}

tmsize_t write_proc(thandle_t, void *data, tmsize_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  const size_t count = static_cast<size_t>(size);
  bool ok;
  if (output.buffering && output.position == output.buffer_start + output.buffered &&
      output.buffered + count <= kBufferSize) {
    memcpy(output.buffer + output.buffered, bytes, count);
    output.buffered += count;
    ok = !output.failed;
  } else {
    ok = flush_buffer();
    if (ok && output.buffering && count < kBufferSize) {
      output.buffer_start = output.position;
      memcpy(output.buffer, bytes, count);
      output.buffered = count;
    } else if (ok) {
      ok = write_at(output.position, bytes, count);
    }
  }
  if (!ok) {
    errno = output.error;
    return -1;
  }
  output.position += count;
  if (output.position > output.size) output.size = output.position;
  return size;
}

// libtiff does not read back a file it is creating; answered from the file
// itself after a flush all the same.
tmsize_t read_proc(thandle_t, void *data, tmsize_t size) {
  if (!flush_buffer()) return -1;
  size_t n = read_file_at(output.file, data, static_cast<size_t>(size), output.position);
  output.position += n;
  return static_cast<tmsize_t>(n);
}

toff_t seek_proc(thandle_t, toff_t offset, int whence) {
  uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? output.position : output.size;
  output.position = base + offset;
  return output.position;
}

// The file itself is closed by close_output_file, which alone knows
// whether it is complete.
int close_proc(thandle_t) { return flush_buffer() ? 0 : -1; }

toff_t size_proc(thandle_t) { return output.size; }

int map_proc(thandle_t, void **, toff_t *) { return 0; }

void unmap_proc(thandle_t, void *, toff_t) {}

}  // namespace

TIFF *open_output_file(const char *name) {
  FileHandle file;
  int error = 0;
  if (!create_output_file(name, &file, &error)) {
    TIFFErrorExt(nullptr, "TIFFOpen", "%s: %s", name, error_text(error));
    return nullptr;
  }
  output.file = file;
  output.name = name;
  output.buffering = false;
  output.failed = false;
  output.error = 0;
  output.position = output.size = output.buffer_start = 0;
  output.buffered = 0;
  TIFF *tiff = TIFFClientOpen(name, "wl", &output, read_proc, write_proc, seek_proc, close_proc, size_proc,
                              map_proc, unmap_proc);
  if (tiff == nullptr) {
    // This run created or emptied the file; what its header left is removed.
    discard_output_file(name, output.file);
    output.file = -1;
    return nullptr;
  }
  output.buffering = true;
  return tiff;
}

bool close_output_file(TIFF *tiff, int *error) {
  // The directory is written here, into the buffer; libtiff reports a
  // failure of its own writes.
  bool directory_written = TIFFFlush(tiff) == 1;
  bool flushed = flush_buffer();
  TIFFClose(tiff);
  bool complete = directory_written && flushed && !output.failed;
  int close_error = 0;
  if (complete && close_output_file_handle(output.file, &close_error)) {
    output.file = -1;
    return true;
  }
  *error = output.failed ? output.error : close_error;
  if (complete) {
    // The file is closed already; only its name is left to remove.
    discard_output_file(output.name, -1);
  } else {
    discard_output_file(output.name, output.file);
  }
  output.file = -1;
  return false;
}

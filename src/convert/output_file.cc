#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kBufferSize = 1 << 20;

// The one output file open at a time. Bytes [buffer_start, buffer_start +
// buffered) of the file are held in `buffer`; `position` and `size` are the
// file as libtiff sees it.
struct OutputFile {
  int fd = -1;
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
  while (count > 0) {
    ssize_t written = pwrite(output.fd, bytes, count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (!output.failed) output.error = written < 0 ? errno : ENOSPC;
      output.failed = true;
      return false;
    }
    bytes += written;
    offset += static_cast<uint64_t>(written);
    count -= static_cast<size_t>(written);
  }
  return true;
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
  ssize_t n = pread(output.fd, data, static_cast<size_t>(size), static_cast<off_t>(output.position));
  if (n > 0) output.position += static_cast<uint64_t>(n);
  return n;
}

toff_t seek_proc(thandle_t, toff_t offset, int whence) {
  uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? output.position : output.size;
  output.position = base + offset;
  return output.position;
}

int close_proc(thandle_t) {
  flush_buffer();
  if (close(output.fd) != 0 && !output.failed) {
    output.failed = true;
    output.error = errno;
  }
  output.fd = -1;
  return output.failed ? -1 : 0;
}

toff_t size_proc(thandle_t) { return output.size; }

int map_proc(thandle_t, void **, toff_t *) { return 0; }

void unmap_proc(thandle_t, void *, toff_t) {}

}  // namespace

TIFF *open_output_file(const char *name) {
  int fd = open(name, O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    TIFFErrorExt(nullptr, "TIFFOpen", "%s: %s", name, strerror(errno));
    return nullptr;
  }
  output.fd = fd;
  output.name = name;
  output.buffering = false;
  output.failed = false;
  output.error = 0;
  output.position = output.size = output.buffer_start = 0;
  output.buffered = 0;
  TIFF *tiff = TIFFClientOpen(name, "wl", &output, read_proc, write_proc, seek_proc, close_proc, size_proc,
                              map_proc, unmap_proc);
  if (tiff == nullptr) {
    if (output.fd >= 0) close(output.fd);
    output.fd = -1;
    return nullptr;
  }
  output.buffering = true;
  return tiff;
}

bool close_output_file(TIFF *tiff) {
  // The directory is written here, into the buffer; libtiff reports a
  // failure of its own writes.
  bool directory_written = TIFFFlush(tiff) == 1;
  bool flushed = flush_buffer();
  // A failure of the last block reaches no libtiff call, so it is reported
  // through libtiff's handler here.
  if (directory_written && !flushed) TIFFErrorExt(nullptr, output.name, "%s", strerror(output.error));
  TIFFClose(tiff);
  return directory_written && flushed && !output.failed;
}

#include "output_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform.h"

// One output file open at a time. Bytes [buffer_start, buffer_start +
// buffered) of the file are held in `buffer`; `position` and `size` are the
// file as libtiff sees it.
struct OutputWriter {
  FileHandle file = -1;
  bool buffering = false;
  bool failed = false;
  int error = 0;  // errno of the first failure
  uint64_t position = 0;
  uint64_t size = 0;
  uint64_t buffer_start = 0;
  size_t buffered = 0;
  // Rows that lie in the caller's code buffer, which outlives the file,
  // are not copied: consecutive rows stand in the buffer one after the
  // other, so they are written in one piece from there. Bytes [span_start,
  // span_start + span_size) of the file are span[0 .. span_size). Either
  // the span or the buffer holds bytes, never both.
  const uint8_t *stable_begin = nullptr;
  const uint8_t *stable_end = nullptr;
  const uint8_t *span = nullptr;
  size_t span_size = 0;
  uint64_t span_start = 0;
  uint8_t buffer[kOutputBufferBytes];
};

namespace {

OutputWriter main_writer;

bool write_at(OutputWriter &output, uint64_t offset, const uint8_t *bytes, size_t count) {
  int error = 0;
  if (write_file_at(output.file, bytes, count, offset, &error)) return true;
  if (!output.failed) output.error = error;
  output.failed = true;
  return false;
}

// Writes out what the buffer or the span holds.
bool flush_buffer(OutputWriter &output) {
  bool ok = !output.failed;
  if (ok && output.buffered > 0) ok = write_at(output, output.buffer_start, output.buffer, output.buffered);
  if (ok && output.span_size > 0) ok = write_at(output, output.span_start, output.span, output.span_size);
  output.buffered = 0;
  output.span_size = 0;
  return ok;
}

bool is_stable(const OutputWriter &output, const uint8_t *bytes, size_t count) {
  const auto address = reinterpret_cast<uintptr_t>(bytes);
  const auto begin = reinterpret_cast<uintptr_t>(output.stable_begin);
  const auto end = reinterpret_cast<uintptr_t>(output.stable_end);
  return address >= begin && address <= end && count <= end - address;
}

// Adds the bytes to the span, or starts a new span with them.
bool write_stable(OutputWriter &output, const uint8_t *bytes, size_t count) {
  if (output.span_size > 0 && bytes == output.span + output.span_size &&
      output.position == output.span_start + output.span_size) {
    output.span_size += count;
    return !output.failed;
  }
  bool ok = flush_buffer(output);
  output.span = bytes;
  output.span_size = count;
  output.span_start = output.position;
  return ok;
}

// Adds a copy of the bytes to the buffer, or writes them straight through.
bool write_copied(OutputWriter &output, const uint8_t *bytes, size_t count) {
  if (output.span_size == 0 && output.position == output.buffer_start + output.buffered &&
      output.buffered + count <= kOutputBufferBytes) {
    memcpy(output.buffer + output.buffered, bytes, count);
    output.buffered += count;
    return !output.failed;
  }
  bool ok = flush_buffer(output);
  if (ok && count < kOutputBufferBytes) {
    output.buffer_start = output.position;
    memcpy(output.buffer, bytes, count);
    output.buffered = count;
  } else if (ok) {
    ok = write_at(output, output.position, bytes, count);
  }
  return ok;
}

OutputWriter &writer_of(thandle_t handle) { return *static_cast<OutputWriter *>(handle); }

tmsize_t write_proc(thandle_t handle, void *data, tmsize_t size) {
  OutputWriter &output = writer_of(handle);
  const auto *bytes = static_cast<const uint8_t *>(data);
  const size_t count = static_cast<size_t>(size);
  bool ok;
  if (!output.buffering) {
    ok = write_at(output, output.position, bytes, count);
  } else if (is_stable(output, bytes, count)) {
    ok = write_stable(output, bytes, count);
  } else {
    ok = write_copied(output, bytes, count);
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
tmsize_t read_proc(thandle_t handle, void *data, tmsize_t size) {
  OutputWriter &output = writer_of(handle);
  if (!flush_buffer(output)) return -1;
  size_t n = read_file_at(output.file, data, static_cast<size_t>(size), output.position);
  output.position += n;
  return static_cast<tmsize_t>(n);
}

toff_t seek_proc(thandle_t handle, toff_t offset, int whence) {
  OutputWriter &output = writer_of(handle);
  uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? output.position : output.size;
  output.position = base + offset;
  return output.position;
}

// The file itself stays open: its owner alone knows what becomes of it.
int close_proc(thandle_t handle) { return flush_buffer(writer_of(handle)) ? 0 : -1; }

toff_t size_proc(thandle_t handle) { return writer_of(handle).size; }

int map_proc(thandle_t, void **, toff_t *) { return 0; }

void unmap_proc(thandle_t, void *, toff_t) {}

#if SL_TIFF_OPEN_OPTIONS

// Drops libtiff's messages about a file written quietly.
int drop_message(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// The handle with handlers of its own when quiet, libtiff's process-wide
// ones otherwise.
TIFF *client_open(OutputWriter &output, const char *name, bool quiet) {
  TIFFOpenOptions *options = nullptr;
  if (quiet) {
    options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, drop_message, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, drop_message, nullptr);
  }
  TIFF *tiff = TIFFClientOpenExt(name, "wl", &output, read_proc, write_proc, seek_proc, close_proc, size_proc,
                                 map_proc, unmap_proc, options);
  if (options != nullptr) TIFFOpenOptionsFree(options);
  return tiff;
}

void end_quiet() {}

#else

// Without handlers per handle, libtiff's messages go to process-wide ones,
// while workers write quietly as the main thread writes aloud. Each thread
// writes one file at a time, so the handlers installed here ask the thread
// that calls them: a thread writing quietly drops the message, any other
// hands it to the handler that was there before (libtiff's own), so the
// console gets the same bytes as with handlers per handle.
thread_local bool quiet_thread = false;
TIFFErrorHandler earlier_error_handler = nullptr;
TIFFErrorHandler earlier_warning_handler = nullptr;

void route_error(const char *module, const char *format, va_list arguments) {
  if (!quiet_thread && earlier_error_handler != nullptr) earlier_error_handler(module, format, arguments);
}

void route_warning(const char *module, const char *format, va_list arguments) {
  if (!quiet_thread && earlier_warning_handler != nullptr) earlier_warning_handler(module, format, arguments);
}

// Installed as the program starts, before any thread can write.
[[maybe_unused]] const bool messages_routed = [] {
  earlier_error_handler = TIFFSetErrorHandler(route_error);
  earlier_warning_handler = TIFFSetWarningHandler(route_warning);
  return true;
}();

// The thread stays quiet until end_quiet, which finish_output_tiff calls
// once the handle is closed.
TIFF *client_open(OutputWriter &output, const char *name, bool quiet) {
  quiet_thread = quiet;
  TIFF *tiff = TIFFClientOpen(name, "wl", &output, read_proc, write_proc, seek_proc, close_proc, size_proc,
                              map_proc, unmap_proc);
  if (tiff == nullptr) quiet_thread = false;
  return tiff;
}

void end_quiet() { quiet_thread = false; }

#endif

}  // namespace

OutputWriter *main_output_writer() { return &main_writer; }

OutputWriter *create_output_writer() { return new (std::nothrow) OutputWriter; }

void destroy_output_writer(OutputWriter *writer) { delete writer; }

TIFF *open_output_tiff(OutputWriter *writer, const char *name, FileHandle file, const void *stable,
                       size_t stable_size, bool quiet) {
  OutputWriter &output = *writer;
  output.file = file;
  output.buffering = false;
  output.failed = false;
  output.error = 0;
  output.position = output.size = output.buffer_start = 0;
  output.buffered = 0;
  output.stable_begin = static_cast<const uint8_t *>(stable);
  output.stable_end = output.stable_begin + stable_size;
  output.span_size = 0;
  TIFF *tiff = client_open(output, name, quiet);
  output.buffering = tiff != nullptr;
  return tiff;
}

bool finish_output_tiff(OutputWriter *writer, TIFF *tiff, int *error) {
  OutputWriter &output = *writer;
  // The directory is written here, into the buffer; libtiff reports a
  // failure of its own writes.
  bool directory_written = TIFFFlush(tiff) == 1;
  bool flushed = flush_buffer(output);
  TIFFClose(tiff);
  end_quiet();
  *error = output.failed ? output.error : 0;
  output.file = -1;
  return directory_written && flushed && !output.failed;
}

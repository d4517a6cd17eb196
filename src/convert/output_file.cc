#include "output_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"

// Bytes at the start of a file of which a writer keeps a copy: libtiff's
// header, which it writes first and patches last.
constexpr size_t kHeadBytes = 16;

// One output file open at a time. `position` and `size` are the file as
// libtiff sees it. The bytes not yet handed to the system are held in
// three pieces, in file order: [0, head_size) in `head`; the rows, [span_start,
// span_start + span_size) of the file, in the caller's stable buffer at
// `span`; and [buffer_start, buffer_start + buffered) in `buffer`, which
// takes writes anywhere in its window, zeros filling what lies between
// them (a file libtiff creates reads as zeros there anyway). A write that
// fits none of them sends what is held to the file first.
struct OutputWriter {
  FileHandle file = -1;
  bool buffering = false;  // false while libtiff writes the header aloud: straight to the file
  bool deferred = false;   // nothing reaches the file before the end
  bool failed = false;
  int error = 0;  // errno of the first failure
  bool flushed_early = false;  // held bytes had to reach the file before the end
  uint64_t position = 0;
  uint64_t size = 0;
  const uint8_t *stable_begin = nullptr;
  const uint8_t *stable_end = nullptr;
  size_t head_size = 0;
  const uint8_t *span = nullptr;
  size_t span_size = 0;
  uint64_t span_start = 0;
  uint64_t buffer_start = 0;
  size_t buffered = 0;
  uint8_t head[kHeadBytes];
  uint8_t buffer[kOutputBufferBytes];
  // The frame kept (keep_last_frame): its key, with the line copied, and
  // its bytes, the head then the tail; all malloc'd, reused.
  bool frame_kept = false;
  FrameKey frame_key{};
  char *frame_line = nullptr;
  size_t frame_line_capacity = 0;
  uint8_t *frame = nullptr;
  size_t frame_capacity = 0;
  size_t frame_head = 0;
  size_t frame_tail = 0;
};

namespace {

OutputWriter main_writer;

void note_failure(OutputWriter &output, int error) {
  if (!output.failed) output.error = error;
  output.failed = true;
}

bool write_at(OutputWriter &output, uint64_t offset, const uint8_t *bytes, size_t count) {
  int error = 0;
  if (write_file_at(output.file, bytes, count, offset, &error)) return true;
  note_failure(output, error);
  return false;
}

// Hands what is held to the file: the pieces that join up in one call.
bool flush_held(OutputWriter &output) {
  struct Held {
    uint64_t start;
    FilePiece piece;
  } held[3] = {{0, {output.head, output.head_size}},
               {output.span_start, {output.span, output.span_size}},
               {output.buffer_start, {output.buffer, output.buffered}}};
  bool ok = !output.failed;
  for (int i = 0; i < 3 && ok;) {
    if (held[i].piece.count == 0) {
      ++i;
      continue;
    }
    FilePiece pieces[3];
    int count = 0;
    uint64_t end = held[i].start;
    const uint64_t start = end;
    for (; i < 3 && (held[i].piece.count == 0 || held[i].start == end); ++i) {
      if (held[i].piece.count == 0) continue;
      pieces[count++] = held[i].piece;
      end += held[i].piece.count;
    }
    if (output.file == -1) {
      // Nowhere to go: a file held only must fit the pieces.
      note_failure(output, 0);
      ok = false;
      break;
    }
    int error = 0;
    ok = write_file_pieces(output.file, pieces, count, start, &error);
    if (!ok) note_failure(output, error);
  }
  output.head_size = output.span_size = output.buffered = 0;
  return ok;
}

// What does not fit the pieces sends them to the file first.
bool flush_early(OutputWriter &output) {
  if (output.head_size + output.span_size + output.buffered == 0) return !output.failed;
  output.flushed_early = true;
  return flush_held(output);
}

bool is_stable(const OutputWriter &output, const uint8_t *bytes, size_t count) {
  const auto address = reinterpret_cast<uintptr_t>(bytes);
  const auto begin = reinterpret_cast<uintptr_t>(output.stable_begin);
  const auto end = reinterpret_cast<uintptr_t>(output.stable_end);
  return address >= begin && address <= end && count <= end - address;
}

// Where held bytes end: what the buffer may follow without overlapping them.
uint64_t held_end(const OutputWriter &output) {
  if (output.span_size > 0) return output.span_start + output.span_size;
  return output.head_size;
}

// The header and its patch: bytes below kHeadBytes, before anything else
// is held beyond them.
bool fits_head(const OutputWriter &output, uint64_t position, size_t count) {
  if (position > output.head_size || position + count > kHeadBytes) return false;
  if (output.span_size > 0 && position + count > output.span_start) return false;
  return output.buffered == 0 || position + count <= output.buffer_start;
}

bool write_head(OutputWriter &output, const uint8_t *bytes, size_t count) {
  const size_t at = static_cast<size_t>(output.position);
  memcpy(output.head + at, bytes, count);
  if (at + count > output.head_size) output.head_size = at + count;
  return !output.failed;
}

// Adds the bytes to the span, or starts a new span with them.
bool write_stable(OutputWriter &output, const uint8_t *bytes, size_t count) {
  if (output.span_size > 0 && bytes == output.span + output.span_size &&
      output.position == output.span_start + output.span_size && output.buffered == 0) {
    output.span_size += count;
    return !output.failed;
  }
  bool ok = true;
  if (output.span_size > 0 || output.buffered > 0 || output.position < held_end(output)) ok = flush_early(output);
  output.span = bytes;
  output.span_size = count;
  output.span_start = output.position;
  return ok;
}

// Copies the bytes into the buffer's window, or writes them straight
// through when they are larger than the window.
bool write_copied(OutputWriter &output, const uint8_t *bytes, size_t count) {
  uint64_t position = output.position;
  bool ok = true;
  if (output.buffered == 0) {
    // A fresh window starts where the held bytes end, when the write lies
    // within reach of it, so that the pieces join up.
    const uint64_t end = held_end(output);
    output.buffer_start = position >= end && position + count - end <= kOutputBufferBytes ? end : position;
  }
  const bool fits = position >= output.buffer_start && position >= held_end(output) &&
                    position + count - output.buffer_start <= kOutputBufferBytes;
  if (!fits) {
    ok = flush_early(output);
    if (count >= kOutputBufferBytes) return ok && write_at(output, position, bytes, count);
    output.buffer_start = position;
  }
  const size_t at = static_cast<size_t>(position - output.buffer_start);
  if (at > output.buffered) memset(output.buffer + output.buffered, 0, at - output.buffered);
  memcpy(output.buffer + at, bytes, count);
  if (at + count > output.buffered) output.buffered = at + count;
  return ok && !output.failed;
}

OutputWriter &writer_of(thandle_t handle) { return *static_cast<OutputWriter *>(handle); }

tmsize_t write_proc(thandle_t handle, void *data, tmsize_t size) {
  OutputWriter &output = writer_of(handle);
  const auto *bytes = static_cast<const uint8_t *>(data);
  const size_t count = static_cast<size_t>(size);
  bool ok = true;
  if (fits_head(output, output.position, count)) {
    // Held, and written aloud now as well while the header goes straight to
    // the file; the end writes it again, patched.
    ok = write_head(output, bytes, count);
    if (!output.buffering && !output.deferred) ok = write_at(output, output.position, bytes, count) && ok;
  } else if (!output.buffering && !output.deferred) {
    ok = flush_early(output) && write_at(output, output.position, bytes, count);
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
  if (!flush_early(output)) return -1;
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
int close_proc(thandle_t) { return 0; }

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

void destroy_output_writer(OutputWriter *writer) {
  if (writer == nullptr) return;
  free(writer->frame_line);
  free(writer->frame);
  delete writer;
}

TIFF *open_output_tiff(OutputWriter *writer, const char *name, FileHandle file, const void *stable,
                       size_t stable_size, bool quiet) {
  OutputWriter &output = *writer;
  output.file = file;
  output.buffering = false;
  output.deferred = quiet || file == -1;
  output.failed = output.flushed_early = false;
  output.error = 0;
  output.position = output.size = output.buffer_start = output.span_start = 0;
  output.head_size = output.span_size = output.buffered = 0;
  output.stable_begin = static_cast<const uint8_t *>(stable);
  output.stable_end = output.stable_begin + stable_size;
  TIFF *tiff = client_open(output, name, quiet);
  output.buffering = tiff != nullptr;
  return tiff;
}

// The pieces held when the file is complete, if they are its whole:
// header, rows, directory, joined up.
bool held_as_frame(const OutputWriter &output) {
  const size_t rows = static_cast<size_t>(output.stable_end - output.stable_begin);
  return !output.flushed_early && !output.failed && output.head_size > 0 && output.span == output.stable_begin &&
         output.span_size == rows && output.span_start == output.head_size &&
         output.buffer_start == output.span_start + output.span_size && output.buffered > 0 &&
         output.size == output.buffer_start + output.buffered;
}

bool finish_output_tiff(OutputWriter *writer, TIFF *tiff, int *error) {
  OutputWriter &output = *writer;
  // The directory is written here, into the buffer; libtiff reports a
  // failure of its own writes.
  bool directory_written = TIFFFlush(tiff) == 1;
  TIFFClose(tiff);
  end_quiet();
  bool flushed = true;
  if (output.file != -1) {
    // What is held stays held for last_output_frame.
    const size_t head = output.head_size, span = output.span_size, buffered = output.buffered;
    flushed = flush_held(output);
    output.head_size = head;
    output.span_size = span;
    output.buffered = buffered;
  }
  *error = output.failed ? output.error : 0;
  output.file = -1;
  return directory_written && flushed && !output.failed;
}

bool last_output_frame(const OutputWriter *writer, FrameBytes *frame) {
  const OutputWriter &output = *writer;
  if (!held_as_frame(output)) return false;
  *frame = {output.head, output.head_size, output.buffer, output.buffered};
  return true;
}

namespace {

// Grows a reused block to `size` bytes at least; false when it cannot.
template <typename T>
bool reserve(T **block, size_t *capacity, size_t size) {
  if (size <= *capacity) return true;
  void *grown = realloc(*block, size);
  if (grown == nullptr) return false;
  *block = static_cast<T *>(grown);
  *capacity = size;
  return true;
}

}  // namespace

void keep_last_frame(OutputWriter *writer, const FrameKey &key) {
  FrameBytes bytes;
  if (!last_output_frame(writer, &bytes)) return;
  OutputWriter &output = *writer;
  const size_t line_size = strlen(key.line) + 1;
  output.frame_kept = false;
  if (!reserve(&output.frame_line, &output.frame_line_capacity, line_size) ||
      !reserve(&output.frame, &output.frame_capacity, bytes.head_size + bytes.tail_size)) {
    return;
  }
  memcpy(output.frame_line, key.line, line_size);
  // The head and the tail are the writer's own buffers: copied before the
  // next file reuses them.
  memcpy(output.frame, bytes.head, bytes.head_size);
  memcpy(output.frame + bytes.head_size, bytes.tail, bytes.tail_size);
  output.frame_head = bytes.head_size;
  output.frame_tail = bytes.tail_size;
  output.frame_key = {key.width, key.height, key.bit, output.frame_line};
  output.frame_kept = true;
}

bool kept_frame(const OutputWriter *writer, const FrameKey &key, FrameBytes *frame) {
  const OutputWriter &output = *writer;
  const FrameKey &kept = output.frame_key;
  if (!output.frame_kept || kept.width != key.width || kept.height != key.height || kept.bit != key.bit ||
      strcmp(kept.line, key.line) != 0) {
    return false;
  }
  *frame = {output.frame, output.frame_head, output.frame + output.frame_head, output.frame_tail};
  return true;
}

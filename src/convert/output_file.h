// A buffered output file for libtiff. libtiff writes each strip with its
// own write call; for one-row strips that is a system call per row. A
// writer collects libtiff's writes and hands them to the system together,
// so the bytes on disk are the same, in fewer calls: the header it writes
// first and patches last, the rows, which lie in the caller's code buffer
// and are written from there uncopied, and the directory after them, in
// one call at the end. Each thread that writes outputs has a writer of its
// own.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>

#include "platform.h"

// Bytes each writer holds back before handing them to the system.
constexpr size_t kOutputBufferBytes = size_t{1} << 20;

struct OutputWriter;

// The main thread's writer, always there.
OutputWriter *main_output_writer();
// A writer for another thread, or null when it cannot be allocated.
OutputWriter *create_output_writer();
void destroy_output_writer(OutputWriter *writer);

// Starts libtiff on `file`, an empty file open for writing, in mode "wl".
// While libtiff writes the header, writes go straight to the file, so a
// header that cannot be written fails the open as it would without
// buffering. Returns null, after libtiff's message, when the header cannot
// be written. `stable` .. `stable` + `stable_size` is memory that stays
// unchanged until the file is finished (the rows). When `quiet`, libtiff's
// messages about this file are dropped instead of printed, and nothing at
// all reaches the file before finish_output_tiff: a quiet write that fails
// is made again aloud. `file` -1 writes nothing anywhere: the writer only
// holds what libtiff wrote, for last_output_frame.
TIFF *open_output_tiff(OutputWriter *writer, const char *name, FileHandle file, const void *stable,
                       size_t stable_size, bool quiet);

// Flushes the last buffered bytes and frees the handle; the file stays
// open. Returns false when any write failed, with *error the system's
// reason (0 when only libtiff failed, after its own message).
bool finish_output_tiff(OutputWriter *writer, TIFF *tiff, int *error);

// What libtiff wrote around the rows of the file last finished through the
// writer: the bytes before them (its header) and after them (its
// directory), valid until the writer's next file. False when that file was
// not written as header, the whole stable memory as rows, directory, or
// some of it reached the file before the end.
struct FrameBytes {
  const uint8_t *head;
  size_t head_size;
  const uint8_t *tail;
  size_t tail_size;
};
bool last_output_frame(const OutputWriter *writer, FrameBytes *frame);

// What libtiff writes around an output's rows depends only on its width,
// height, depth and calibration line: outputs that share them differ in
// their rows alone. A writer keeps the frame of one such output, to write
// the next ones around their rows without libtiff.
struct FrameKey {
  int32_t width;
  int32_t height;
  int bit;
  const char *line;
};

// Keeps last_output_frame under `key`, in place of the frame kept before;
// nothing when there is none or it cannot be copied.
void keep_last_frame(OutputWriter *writer, const FrameKey &key);

// The frame kept under `key`, valid until the next keep_last_frame.
bool kept_frame(const OutputWriter *writer, const FrameKey &key, FrameBytes *frame);

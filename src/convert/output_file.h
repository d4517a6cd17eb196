// A buffered output file for libtiff. libtiff writes each strip with its
// own write call; for one-row strips that is a system call per row. A
// writer collects libtiff's writes and hands them to the system in large
// blocks, so the bytes on disk are the same, in fewer calls. Rows that lie
// in the caller's code buffer are written from there, uncopied. Each thread
// that writes outputs has a writer of its own.
#pragma once

#include <tiffio.h>

#include <cstddef>

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
// messages about this file are dropped instead of printed.
TIFF *open_output_tiff(OutputWriter *writer, const char *name, FileHandle file, const void *stable,
                       size_t stable_size, bool quiet);

// Flushes the last buffered bytes and frees the handle; the file stays
// open. Returns false when any write failed, with *error the system's
// reason (0 when only libtiff failed, after its own message).
bool finish_output_tiff(OutputWriter *writer, TIFF *tiff, int *error);

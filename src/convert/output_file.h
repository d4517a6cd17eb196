// A buffered output file for libtiff. libtiff writes each strip with its
// own write call; for one-row strips that is a system call per row. This
// file collects libtiff's writes and hands them to the system in large
// blocks, so the bytes on disk are the same, in fewer calls. Rows that lie
// in the caller's code buffer are written from there, uncopied.
#pragma once

#include <tiffio.h>

#include <cstddef>

// Creates or truncates `name` and opens it for libtiff in mode "wl". While
// libtiff writes the header, writes go straight to the file, so a header
// that cannot be written fails the open as it would without buffering.
// Returns null, after libtiff's message, when the file cannot be created or
// its header cannot be written; in the second case the file is removed, in
// the first nothing on disk is touched. `stable` .. `stable` + `stable_size`
// is memory that stays unchanged until the file is closed (the rows).
TIFF *open_output_file(const char *name, const void *stable, size_t stable_size);

// Flushes the last buffered bytes, closes the file and frees the handle.
// Returns false when any write or the close failed: the file is then
// emptied and removed, and *error holds the system's reason (0 when only
// libtiff failed, after its own message).
bool close_output_file(TIFF *tiff, int *error);

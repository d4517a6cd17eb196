// Outputs written ahead as their rows are mapped. Once a writer keeps the
// frame of an output's size, depth and line (output_file.h), a worker needs
// no buffer of the whole slice's codes: each row is mapped into a piece of
// the output that stays in the processor's cache, and a full piece goes
// straight to the unseen file, as a streaming copy of the slice would.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output_file.h"
#include "platform.h"

// Bytes of codes a piece holds before it is written.
constexpr size_t kStreamPieceBytes = size_t{128} << 10;

struct StreamedOutput {
  FileHandle file = -1;
  FrameBytes frame{};     // the writer's kept frame, unchanged while the output streams
  uint8_t *piece = nullptr;  // malloc'd; the frame's head in front of the first rows
  size_t capacity = 0;
  size_t filled = 0;
  uint64_t piece_start = 0;  // file offset of piece[0]
  bool failed = false;
  int error = 0;
};

// Starts the output `name` unseen (create_unpublished_output) when
// `writer` keeps the frame of `key`, for rows of `row_bytes` bytes. False,
// with nothing open and *error set (EEXIST when the name exists, 0 when
// there is no such frame or no memory), when it cannot.
bool start_streamed_output(OutputWriter *writer, const FrameKey &key, const char *name, size_t row_bytes,
                           StreamedOutput *output, int *error);

// Where the next row's `row_bytes` codes go; the piece before is written
// out when it has no room left for them.
uint8_t *next_streamed_row(StreamedOutput *output, size_t row_bytes);

// Writes the last piece and the frame's tail. True with *file the complete
// output (for publish_output); false with nothing left and *error set.
bool finish_streamed_output(StreamedOutput *output, FileHandle *file, int *error);

// Drops an output that will not be complete.
void abandon_streamed_output(StreamedOutput *output);

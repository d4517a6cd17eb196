#include "streamed_output.h"

#include <cstdlib>
#include <cstring>

namespace {

void write_piece(StreamedOutput *output, const FilePiece *pieces, int count) {
  int error = 0;
  if (!output->failed && !write_file_pieces(output->file, pieces, count, output->piece_start, &error)) {
    output->failed = true;
    output->error = error;
  }
}

}  // namespace

bool start_streamed_output(OutputWriter *writer, const FrameKey &key, const char *name, size_t row_bytes,
                           StreamedOutput *output, int *error) {
  *output = StreamedOutput{};
  *error = 0;
  if (!kept_frame(writer, key, &output->frame)) return false;
  // A piece takes at least one row.
  output->capacity = output->frame.head_size + (row_bytes > kStreamPieceBytes ? row_bytes : kStreamPieceBytes);
  output->piece = static_cast<uint8_t *>(malloc(output->capacity));
  if (output->piece == nullptr) return false;
  if (!create_unpublished_output(name, &output->file, error)) {
    free(output->piece);
    output->piece = nullptr;
    return false;
  }
  memcpy(output->piece, output->frame.head, output->frame.head_size);
  output->filled = output->frame.head_size;
  return true;
}

uint8_t *next_streamed_row(StreamedOutput *output, size_t row_bytes) {
  if (output->capacity - output->filled < row_bytes) {
    const FilePiece piece = {output->piece, output->filled};
    write_piece(output, &piece, 1);
    output->piece_start += output->filled;
    output->filled = 0;
  }
  uint8_t *row = output->piece + output->filled;
  output->filled += row_bytes;
  return row;
}

bool finish_streamed_output(StreamedOutput *output, FileHandle *file, int *error) {
  const FilePiece pieces[] = {{output->piece, output->filled}, {output->frame.tail, output->frame.tail_size}};
  write_piece(output, pieces, 2);
  free(output->piece);
  output->piece = nullptr;
  if (output->failed) {
    *error = output->error;
    drop_unpublished_output(output->file);
    output->file = -1;
    return false;
  }
  *file = output->file;
  output->file = -1;
  return true;
}

void abandon_streamed_output(StreamedOutput *output) {
  free(output->piece);
  output->piece = nullptr;
  if (output->file != -1) drop_unpublished_output(output->file);
  output->file = -1;
}

// The reader's state and its two faces: read_slice_with, which turns a
// refusal into a result, and read_slice, which reports it.
#include "slice_reader.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "reader_fail.h"

namespace {

// The single-threaded face's one reader.
SliceReader process_reader;

// Closes the file and frees everything a refused read still owns, leaving
// the reader ready for the next read.
void abandon_read(SliceReader &reader) {
  ReadInProgress &held = reader.in_progress;
  close_byte_source(reader.source);
  free_rows(&held.image);
  free(held.strip_offsets);
  free(held.strip_byte_counts);
  free(held.description);
  held = ReadInProgress{};
}

}  // namespace

void reader_fail(const char *message) { throw ReaderRefusal{message}; }

SliceReader *create_slice_reader() { return new (std::nothrow) SliceReader(); }

void destroy_slice_reader(SliceReader *reader) { delete reader; }

uint64_t slice_reader_bytes() { return sizeof(SliceReader) + kLzwWindowLargest; }

namespace {

// True when a refusal says the read ran out of memory (its slice image,
// description or a strip table could not be allocated): with more memory
// free, the same read may succeed.
bool refused_for_memory(const char *failure) {
  // Every allocation message of the reader ends alike.
  static const char kEnding[] = "memory allocation error.";
  const size_t length = failure != nullptr ? strlen(failure) : 0;
  return length >= sizeof kEnding - 1 && strcmp(failure + length - (sizeof kEnding - 1), kEnding) == 0;
}

int read_or_refuse(SliceReader *reader, const char *file_name, int *width, int *height, int *bits,
                   uint16_t ***image, char **description, const char **failure, const RowConsumer *consumer) {
  if (failure != nullptr) *failure = nullptr;
  try {
    const int outcome = read_slice_or_fail(*reader, file_name, width, height, bits, image, description, consumer);
    reader->may_succeed_later = outcome == kSliceNotOpened;
    return outcome;
  } catch (const ReaderRefusal &refusal) {
    reader->may_succeed_later = refused_for_memory(refusal.message) || reader->source.short_read;
    abandon_read(*reader);
    if (failure != nullptr) *failure = refusal.message;
    return kSliceRefused;
  }
}

}  // namespace

int read_slice_with(SliceReader *reader, const char *file_name, int *width, int *height, int *bits,
                    uint16_t ***image, char **description, const char **failure) {
  return read_or_refuse(reader, file_name, width, height, bits, image, description, failure, nullptr);
}

int read_slice_rows_with(SliceReader *reader, const char *file_name, int *width, int *height, uint16_t ***image,
                         char **description, const char **failure, const RowConsumer &consumer) {
  return read_or_refuse(reader, file_name, width, height, nullptr, image, description, failure, &consumer);
}

bool read_may_succeed_later(const SliceReader *reader) { return reader->may_succeed_later; }

int read_slice(const char *file_name, int *width, int *height, int *bits, uint16_t ***image, char **description) {
  const char *failure = nullptr;
  const int outcome = read_slice_with(&process_reader, file_name, width, height, bits, image, description, &failure);
  if (outcome == kSliceRefused) reader_report(file_name, failure);
  return outcome;
}

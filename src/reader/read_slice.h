// The slice reader: the one face the rest of the tool uses.
//
// A read takes the first image of a TIFF file from the accepted subset:
// classic TIFF in either byte order, one channel of 0 to 16 bits per sample,
// unsigned integer samples, strips stored uncompressed, LZW-coded or PackBits
// (MPB) run-coded, FillOrder 1 or 2, Predictor 1 or 2. Every strip must hold
// exactly the bytes its rows consume.
//
// Results (each out argument may be null; a null one is not stored):
//   width, height, bits  the slice's dimensions and bits per sample.
//   image                when not null, the decoded slice: `height` row
//                        pointers, each to `width` unsigned 16-bit samples as
//                        stored (0 to 2^bits - 1). The caller frees each row,
//                        then the row array, with free(). When null, the
//                        reader stops after the directory checks and the
//                        description, and never reads the strip tables.
//   description          when not null, the ImageDescription text (malloc'd,
//                        ended by a zero byte, freed by the caller), or null
//                        when the file has none of ASCII type.
//
// All of a read's state lives in a SliceReader: reads with different readers
// may run at the same time on different threads, while one reader serves one
// read at a time. The only setting they share is reader_memory_limit
// (memory_limit.h), which reads never change.
#pragma once

#include <cstdint>

// One reader's state; one per thread, reused from read to read.
struct SliceReader;

// A new reader, or null when it cannot be allocated.
SliceReader *create_slice_reader();
// Frees the reader (null is allowed); no read may be running on it.
void destroy_slice_reader(SliceReader *reader);
// The most memory one reader holds of its own between reads: its state,
// with the read buffer, and the LZW window at its largest.
uint64_t slice_reader_bytes();
// Bytes that the rows and row pointers of a width × height slice image take
// on the heap, with the allocator's overhead of each row.
uint64_t slice_image_bytes(uint32_t width, uint32_t height);

enum ReadOutcome { kSliceRead = 0, kSliceNotOpened = 1, kSliceRefused = 2 };

// Reads `file_name` with `reader`, storing the results above.
//   kSliceRead       a complete read; every non-null out argument is stored.
//   kSliceNotOpened  the file cannot be opened for reading (no such file, a
//                    directory, no read access); nothing is stored.
//   kSliceRefused    any other fault. *failure (when `failure` is not null)
//                    is the reader's fixed message, a string literal such as
//                    "LZW too few codes."; image and description are not
//                    stored, width, height and bits may be. The file is
//                    closed and everything the read allocated is freed.
// *failure is null after the other two outcomes. Never exits, never throws.
int read_slice_with(SliceReader *reader, const char *file_name, int *width, int *height, int *bits,
                    uint16_t ***image, char **description, const char **failure);

// A read that may hand its rows over one at a time instead of keeping a
// slice image, so a caller that turns each row into something smaller
// never holds the whole slice.
struct RowConsumer {
  // Called once the description is read (null when there is none), before
  // any row is decoded: true to take the rows through take_row, false for
  // a slice image as read_slice_with gives.
  bool (*wants_rows)(void *context, int width, int height, const char *description);
  // Row j (0, 1, 2, ... in turn) of `width` samples, valid during the call.
  void (*take_row)(void *context, int j, const uint16_t *row);
  void *context;
};

// read_slice_with, asking `consumer` how to take the rows; after a complete
// read whose rows were taken, *image is null. The checks, the messages and
// the memory test of the slice image are the same either way.
int read_slice_rows_with(SliceReader *reader, const char *file_name, int *width, int *height, uint16_t ***image,
                         char **description, const char **failure, const RowConsumer &consumer);

// True when the last read with `reader` did not succeed for a cause that
// may be gone when the same read is made again, alone: its file could not
// be opened (the file's own state, or the process's: too many open files,
// no memory), memory ran out, or the file gave fewer bytes than its size
// promised (a failed read, or a file changed meanwhile). Only a refusal for
// what the file holds is sure to come again.
bool read_may_succeed_later(const SliceReader *reader);

// The single-threaded face: read_slice_with on one process-wide reader, so
// one read_slice runs at a time. Returns kSliceRead or kSliceNotOpened; a
// refusal goes to reader_report(file_name, message) (reader_fail.h), which
// the tool links as one line "<file name> : <message>" on standard error and
// exit status 1, and tests as throwing ReaderFailure.
int read_slice(const char *file_name, int *width, int *height, int *bits,
               uint16_t ***image, char **description);

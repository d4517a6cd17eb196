// The slice reader: the one operation the rest of the tool uses.
//
// read_slice reads the first image of a TIFF file from the accepted subset:
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
// Returns 0 after a complete read and 1, silently, when the file cannot be
// opened for reading (no such file, a directory, no read access). Every other
// fault ends the process through reader_fail with one line
// "<file name> : <message>" on standard error and exit status 1.
//
// The reader keeps its decoding state in one process-wide record, so one
// read_slice runs at a time.
#pragma once

#include <cstdint>

int read_slice(const char *file_name, int *width, int *height, int *bits,
               uint16_t ***image, char **description);

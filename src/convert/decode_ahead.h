// Decoding ahead: while the main thread maps and writes slice k, worker
// threads decode the slices after it. Slices are started in ascending order
// and handed over in that order; at most `window` slices are started beyond
// the one the main thread is working on, so memory stays bounded by
// window + 1 slices.
#pragma once

#include <cstdint>

#include "output_file.h"
#include "read_slice.h"

struct DecodeAhead;

// How many workers decode ahead, besides the main thread: one per CPU
// (`cpus`), never more than the slices, and never more slices at once than
// half of `memory` holds, at `slice_bytes` each and the stack, reader and
// output buffer of each worker.
// 0 on one CPU, or with memory for one slice only: each slice is then
// decoded right before it is written.
int decode_workers(unsigned cpus, uint64_t memory, uint64_t slice_bytes, int slices);

// How many slices may be started beyond the main thread's: one per worker,
// and for smaller slices more, up to some tens of MiB of them, so that the
// workers and the main thread each go through several slices between two
// hand-overs; never more than half of `memory` holds beside the workers'
// own.
int decode_window(int workers, uint64_t memory, uint64_t slice_bytes);

// What a worker does with slice `index`: decode it with the worker's own
// reader into the caller's storage for that index, and perhaps write its
// output with the worker's own writer.
using DecodeSlice = void (*)(SliceReader *reader, OutputWriter *writer, int index, void *context);

// Starts up to `workers` threads over the slices 0 to count - 1, at most
// `window` slices ahead. Null when not one worker could be started (no
// memory for a reader or a writer, no thread): the caller then decodes on
// its own.
DecodeAhead *start_decode_ahead(int count, int workers, int window, DecodeSlice decode, void *context);

// Waits until slice `index` is decoded; its storage is then the caller's.
// Called for 0, 1, 2, ... in turn; each call lets the workers start one more.
void wait_decoded(DecodeAhead *ahead, int index);

// Starts no further slice, waits for the workers and frees the pipeline.
// Afterwards no worker touches the caller's storage; slices decoded but not
// waited for are the caller's to free.
void stop_decode_ahead(DecodeAhead *ahead);

// Tables of codes: the code of every sample value under one scale and
// offset, so that a slice maps with one lookup per sample. Slices of a
// series mostly share their scale and offset, so a table is built once per
// distinct pair and read by every slice that has it, on whichever thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vector_codes.h"
#include "mapping.h"

constexpr size_t kSampleValues = 65536;

struct CodeTable {
  uint16_t codes[kSampleValues];
  uint8_t low_bytes[kSampleValues];  // the codes' low bytes, for 8-bit outputs; also
                                     // the bytes after `codes` that gathered loads read
  CodeSteps steps;                   // the codes of 8-bit outputs, in steps
};

// Fills the table: every entry exactly the code that sample_code gives.
void build_code_table(const RowMapping &mapping, CodeTable *table);

// The tables shared by the slices of one pass: a few, each kept with the
// mapping (scale, shift and series scaling) it was built for.
struct TableStore;

// Null when it cannot be allocated; every slice then has tables of its own.
TableStore *create_table_store();
void destroy_table_store(TableStore *store);

// The store's table for `mapping`, built now when the store has none yet:
// at once for a slice of more samples than the table has entries
// (`worth_building`), and for a smaller slice once a slice before it asked
// for the same mapping. Null when the slice is to map on its own: a first
// small slice, every table in use by slices of other mappings, or no memory.
// A table returned stays unchanged until release_code_table.
const CodeTable *acquire_code_table(TableStore *store, const RowMapping &mapping, bool worth_building);
void release_code_table(TableStore *store, const CodeTable *table);

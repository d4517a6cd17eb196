#include "code_tables.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Where a product t falls: below 0 and beyond 2^31 give code 0, within
// them the truncation, clamped; NaN gives 0 on its own terms.
enum Region { kBelow, kWithin, kBeyond, kNotANumber };

Region region_of(double t) {
  if (t >= 0.0) return t < 2147483648.0 ? kWithin : kBeyond;
  return t < 0.0 ? kBelow : kNotANumber;
}

void store_entry(CodeTable *table, size_t v, int32_t code) {
  table->codes[v] = static_cast<uint16_t>(code);
  table->low_bytes[v] = static_cast<uint8_t>(code);
}

// Spans this short are evaluated value by value.
constexpr size_t kShortSpan = 16;

// Fills the entries between lo and hi, whose products are known. Each step
// of the product (v / scale, + shift, * div, each rounded) is monotone in
// v, and so is t where it is not NaN; NaN arises only at v = 0 or on a run
// of values reaching one end (where v / scale overflows to infinity). So
// when both ends are numbers in the same region, every value between them
// has a product between theirs, in that region, and within it the code is
// monotone too: equal codes at both ends are the code of every value
// between. Otherwise the span is halved. A table of 8-bit codes thus costs
// a few thousand evaluations, not 65536, and every entry is still exactly
// sample_code's.
void fill_between(const RowMapping &mapping, CodeTable *table, size_t lo, double t_lo, size_t hi, double t_hi) {
  if (hi - lo < 2) return;
  const int32_t code = code_of_product(t_lo, mapping.max_code);
  const Region region = region_of(t_lo);
  if (region != kNotANumber && region == region_of(t_hi) && code == code_of_product(t_hi, mapping.max_code)) {
    for (size_t v = lo + 1; v < hi; ++v) store_entry(table, v, code);
    return;
  }
  if (hi - lo <= kShortSpan) {
    for (size_t v = lo + 1; v < hi; ++v) store_entry(table, v, sample_code(static_cast<uint16_t>(v), mapping));
    return;
  }
  const size_t mid = lo + (hi - lo) / 2;
  const double t_mid = product_of(static_cast<uint16_t>(mid), mapping);
  store_entry(table, mid, code_of_product(t_mid, mapping.max_code));
  fill_between(mapping, table, lo, t_lo, mid, t_mid);
  fill_between(mapping, table, mid, t_mid, hi, t_hi);
}

constexpr int kSharedTables = 2;

struct SharedTable {
  RowMapping mapping{};  // what the table was built for
  CodeTable *table = nullptr;
  int users = 0;
  uint64_t last_use = 0;
};

// Mappings are the same when every number that enters a code is the same,
// bit for bit (so a NaN scale matches itself).
bool same_mapping(const RowMapping &a, const RowMapping &b) {
  return memcmp(&a.scale, &b.scale, sizeof a.scale) == 0 && memcmp(&a.shift, &b.shift, sizeof a.shift) == 0 &&
         memcmp(&a.div, &b.div, sizeof a.div) == 0 && a.max_code == b.max_code;
}

}  // namespace

struct TableStore {
  std::mutex lock;
  SharedTable tables[kSharedTables];
  RowMapping last_asked{};  // the mapping the last slice asked for
  bool asked = false;
  uint64_t uses = 0;
};

void build_code_table(const RowMapping &mapping, CodeTable *table) {
  const size_t last = kSampleValues - 1;
  const double t_first = product_of(0, mapping), t_last = product_of(static_cast<uint16_t>(last), mapping);
  store_entry(table, 0, code_of_product(t_first, mapping.max_code));
  store_entry(table, last, code_of_product(t_last, mapping.max_code));
  fill_between(mapping, table, 0, t_first, last, t_last);
  build_code_steps(table->codes, &table->steps);
}

TableStore *create_table_store() { return new (std::nothrow) TableStore; }

void destroy_table_store(TableStore *store) {
  if (store == nullptr) return;
  for (SharedTable &shared : store->tables) free(shared.table);
  delete store;
}

const CodeTable *acquire_code_table(TableStore *store, const RowMapping &mapping, bool worth_building) {
  std::lock_guard<std::mutex> hold(store->lock);
  const uint64_t use = ++store->uses;
  SharedTable *free_slot = nullptr;
  for (SharedTable &shared : store->tables) {
    if (shared.table != nullptr && same_mapping(shared.mapping, mapping)) {
      ++shared.users;
      shared.last_use = use;
      return shared.table;
    }
    if (shared.users == 0 && (free_slot == nullptr || shared.last_use < free_slot->last_use)) free_slot = &shared;
  }
  const bool asked_before = store->asked && same_mapping(store->last_asked, mapping);
  store->last_asked = mapping;
  store->asked = true;
  if ((!worth_building && !asked_before) || free_slot == nullptr) return nullptr;
  // Built while the store is held: other slices wait for at most one table,
  // and a slice of the same mapping finds it complete.
  if (free_slot->table == nullptr) free_slot->table = static_cast<CodeTable *>(malloc(sizeof(CodeTable)));
  if (free_slot->table == nullptr) return nullptr;
  free_slot->mapping = mapping;
  build_code_table(mapping, free_slot->table);
  free_slot->users = 1;
  free_slot->last_use = use;
  return free_slot->table;
}

void release_code_table(TableStore *store, const CodeTable *table) {
  std::lock_guard<std::mutex> hold(store->lock);
  for (SharedTable &shared : store->tables) {
    if (shared.table == table) --shared.users;
  }
}

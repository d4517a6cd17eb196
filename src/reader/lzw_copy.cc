// The LZW decoder's block face: strings copied, not unwound.
//
// Every string of a strip's table stands, whole, earlier in the strip's
// decoded output: an entry is the previous code's string followed by the
// first byte of the string after it, and those two were written one after
// the other. So the decoder writes every string into a window that keeps
// the strip's output since the last clear code, notes for each entry where
// in the window its string starts and how long it is, and decodes a code by
// copying that many bytes from there to the window's end, 16 at a time.
// The single-byte strings sit at the window's start, so every code takes
// the same path. Decoded bytes are handed out from the window.
//
// Codes are read exactly as the byte-at-a-time face reads them, only as
// many as the bytes asked for need, so every refusal comes at the same
// point. A strip is decoded through one face only: each keeps its own table.
//
// On noisy slices most strings are one or two bytes long, so the cost is
// per code: the loop reads four codes per refill of the bit buffer, counts
// in advance how many such blocks need no check of the table's width and
// fill, the window's room or the read buffer, and tells a defined string
// from the clear and end codes by its length.
#include <cstdlib>
#include <cstring>

#include "byte_source.h"
#include "lzw.h"
#include "lzw_code_reader.h"

namespace {

// Strings are copied in blocks of this many bytes, so the window keeps a
// longest string and a block of room after its end.
constexpr uint32_t kCopyBlock = 16;
constexpr uint32_t kLongestString = kLzwCodeLimit;
constexpr uint32_t kWindowRoom = kLongestString + kCopyBlock;
constexpr uint32_t kFirstWindowCapacity = 1 << 16;

// After a clear code the first string is one byte long and each entry is
// at most one byte longer than the longest before it, so no string of a
// table is longer than its entries less one. A copy writes whole blocks
// from the window's end: the room after the end takes the longest string
// and all but one byte of a block beyond it.
constexpr uint32_t kTableEntries = kLzwCodeLimit - kLzwFirstFreeCode;
static_assert(kLongestString >= kTableEntries + 2, "a string of a full table fits the room");
static_assert(kWindowRoom >= kLongestString + kCopyBlock - 1, "a copied string never writes past the window");

// Between two clear codes the window takes the single-byte strings, the
// strings of at most kTableEntries + 2 codes (the i-th at most i bytes
// long: the last one finds the table full) and the room; doubled from its
// first capacity it stays within kLzwWindowLargest.
constexpr uint64_t kWindowNeededAtMost =
    kLzwWindowStart + uint64_t{kTableEntries + 2} * (kTableEntries + 3) / 2 + kWindowRoom + 1;
static_assert(kWindowNeededAtMost <= kLzwWindowLargest && kLzwWindowLargest % kFirstWindowCapacity == 0,
              "the window's largest capacity bounds a reader's memory");

// Makes room for `needed` bytes of window. Between two clear codes a strip
// defines at most 3838 entries, each one byte longer than some earlier
// string, so the window never outgrows some 7.4 MB, whatever the strip.
void grow_window(ByteSource &source, uint32_t needed) {
  uint32_t capacity = source.window_capacity == 0 ? kFirstWindowCapacity : source.window_capacity;
  while (capacity < needed) capacity *= 2;
  auto window = static_cast<uint8_t *>(realloc(source.window, capacity));
  if (window == nullptr) reader_fail("cell memory allocation error.");
  if (source.window == nullptr) {
    for (uint32_t byte = 0; byte < kLzwWindowStart; ++byte) window[byte] = static_cast<uint8_t>(byte);
  }
  source.window = window;
  source.window_capacity = capacity;
}

// One block, read whole before it is written: the two may overlap.
LZW_INLINE void copy_block(uint8_t *to, const uint8_t *from) {
  uint8_t block[kCopyBlock];
  memcpy(block, from, kCopyBlock);
  memcpy(to, block, kCopyBlock);
}

// Copies `length` bytes from `from` to `to`, in whole blocks: up to a block
// less one byte beyond both is read and written. `to` lies after `from`;
// where they are closer than `length`, each block is read after the ones
// before it are written, which gives the bytes copied as they are repeated.
LZW_INLINE void copy_string(uint8_t *to, const uint8_t *from, uint32_t length) {
  copy_block(to, from);
  for (uint32_t done = kCopyBlock; done < length; done += kCopyBlock) copy_block(to + done, from + done);
}

// copy_string out of line, for strings longer than a block.
__attribute__((noinline)) void copy_long_string(uint8_t *window, size_t to, size_t from, uint32_t length) {
  copy_string(window + to, window + from, length);
}

// The code at which the table next needs attention: the width goes up one
// code early, and past entry 4095 no data code has room.
LZW_INLINE size_t next_event(int32_t width) {
  return width < kLzwMaxWidth ? (size_t{1} << width) - 1 : size_t{kLzwCodeLimit};
}

// The decoder's fields as the loop below keeps them: in locals, which the
// compiler can hold in registers as long as no address of them escapes
// (the loop's stores into the window and the table may alias the byte
// source). The bits not yet consumed stand at the top of the bit buffer,
// the bits below them are zero or the next bits of the strip. The input
// position and the strip's end in the read buffer stand for the count of
// strip bytes not yet taken.
struct CopyLoop {
  uint64_t bit_buffer;
  int32_t bit_count;
  int32_t width;
  int32_t rest;  // 64 - width: the bits below a code at the top
  size_t next;   // the next free code
  size_t event;  // next_event(width)
  uint32_t in;   // read buffer position
  uint64_t strip_end;
  int64_t fast_last;  // fast refills load 8 bytes while `in` is at most this
};

LZW_INLINE CopyLoop enter_loop(const LzwState &state) {
  const uint64_t strip_end = uint64_t{state.buffer_position} + state.remaining;
  const uint64_t fast_end = strip_end < state.buffer_length ? strip_end : state.buffer_length;
  return {state.bit_count == 0 ? 0 : state.bit_buffer << (64 - state.bit_count),
          state.bit_count,
          state.code_width,
          64 - state.code_width,
          static_cast<size_t>(state.next_code),
          next_event(state.code_width),
          state.buffer_position,
          strip_end,
          static_cast<int64_t>(fast_end) - 8};
}

LZW_INLINE LzwState leave_loop(const ByteSource &source, const CopyLoop &loop) {
  return {loop.bit_count == 0 ? 0 : loop.bit_buffer >> (64 - loop.bit_count),
          loop.bit_count,
          static_cast<int32_t>(loop.next),
          loop.width,
          (1 << loop.width) - 1,
          source.old_code,
          static_cast<uint32_t>(loop.strip_end - loop.in),
          loop.in,
          source.buffer_length};
}

// The helpers below run out of line and take and give the loop's fields
// by value, so that no address of them escapes.

// The slow refill: near the end of the strip or of the read buffer, or
// when the buffer must be refilled from the file.
__attribute__((noinline)) CopyLoop need_bits_slowly(ByteSource &source, CopyLoop loop) {
  LzwState state = leave_loop(source, loop);
  need_bits(source, state, loop.width);
  return enter_loop(state);
}

// After a clear code: reads the first code of the fresh table into
// source.old_code.
__attribute__((noinline)) CopyLoop restart_table(ByteSource &source, CopyLoop loop) {
  clear_string_lengths(source, static_cast<int32_t>(loop.next));
  LzwState state = leave_loop(source, loop);
  read_first_code(source, state);
  save_lzw_state(source, state);
  return enter_loop(state);
}

// A code at or above the next free one: the entry it defines, or a refusal.
__attribute__((noinline)) void check_code_from_next(const ByteSource &source, CopyLoop loop, size_t code) {
  check_data_code(leave_loop(source, loop), static_cast<int32_t>(code));
}

// Takes the code at the top of the bit buffer: shifted down for the code,
// and the buffer shifted up past it.
LZW_INLINE size_t take_code(CopyLoop &loop) {
  const size_t code = loop.bit_buffer >> loop.rest;
  loop.bit_buffer <<= loop.width;
  loop.bit_count -= loop.width;
  return code;
}

// What a step of the loop below tells it.
enum class Step { next_code, refill, stop };

// Decodes codes into the window until it holds at least `count` bytes not
// yet handed out, then hands out `count` bytes. At a clear code the bytes
// pending go out first, and the window starts over.
LZW_INLINE void decode_strings(ByteSource &source, uint8_t *destination, size_t count) {
  CopyLoop loop = enter_loop(load_lzw_state(source));
  // Window positions are held at full register width: they index memory.
  size_t read = source.window_read;
  size_t end = source.window_end;
  size_t last = source.last_string_start;
  uint32_t last_length = static_cast<uint32_t>(end - last);  // the string that ends the window
  uint8_t *window = source.window;
  // Decoding stops when enough bytes are pending, and pauses to grow the
  // window when it may lack room for one more string.
  size_t target = read + count;
  auto stop_at = [&]() {
    const size_t room_end = source.window_capacity - kWindowRoom;
    return target < room_end ? target : room_end;
  };
  size_t stop = stop_at();

  // One code. Without `watch_table` the caller knows that the table needs
  // no attention before the code, without `fetch_bits` that the code's
  // bits are in the bit buffer, and without `check_stop` that the window
  // holds fewer bytes than `stop` while each code before it in the block
  // gave at most a block: a longer string ends the block.
  auto step = [&](bool watch_table, bool fetch_bits, bool check_stop) __attribute__((always_inline)) {
    if (watch_table && loop.next >= loop.event) {
      // The entry just defined raised the width or filled the table, or a
      // code found the table full (and was copied like any other).
      if (loop.next > kLzwCodeLimit) reader_fail("LZW code table overflow.");
      if (loop.next < kLzwCodeLimit) {
        ++loop.width;
        loop.rest = 64 - loop.width;
        loop.event = next_event(loop.width);
      }
    }
    if (check_stop && end >= stop) {
      if (end >= target) return Step::stop;
      grow_window(source, static_cast<uint32_t>(end + kWindowRoom + 1));
      window = source.window;
      stop = stop_at();
    }
    if (fetch_bits && loop.bit_count < loop.width) loop = need_bits_slowly(source, loop);
    const size_t code = take_code(loop);

    // Only defined entries have a length: not the clear and end codes, nor
    // the entry this code would define, nor any after it (their lengths
    // are cleared with the table).
    const size_t entry = loop.next;
    const uint32_t length = source.string_length[code];
    // A defined string: its entry is the last string and its own first
    // byte, and its first block is copied at once.
    auto copy_defined = [&]() __attribute__((always_inline)) {
      const uint32_t start = source.string_start[code];
      source.string_start[entry] = static_cast<uint32_t>(last);
      source.string_length[entry] = static_cast<uint16_t>(last_length + 1);
      loop.next = entry + 1;
      copy_block(window + end, window + start);
      last = end;
      last_length = length;
      end += length;
      return start;
    };
    // One test for the usual string, defined and at most a block long.
    if (__builtin_expect(length - 1 < kCopyBlock, 1)) {
      copy_defined();
      return Step::next_code;
    }
    if (length != 0) {
      const uint32_t start = copy_defined();
      copy_long_string(window, last, start, length);
      return check_stop ? Step::next_code : Step::refill;
    }
    if (code == kLzwClearCode || code == kLzwEndCode) {
      if (code == kLzwEndCode) reader_fail("LZW unexpected end of code.");
      memcpy(destination, window + read, end - read);
      destination += end - read;
      count -= end - read;
      read = end = kLzwWindowStart;
      target = read + count;
      stop = stop_at();
      loop = restart_table(source, loop);
      window[end] = static_cast<uint8_t>(source.old_code);
      last = end;
      last_length = 1;
      end += 1;
      return Step::refill;
    }
    check_code_from_next(source, loop, code);
    // The code names the entry it defines: the previous string followed by
    // its own first byte. The copy may read that byte's place before
    // writing it, so it is written again after.
    const uint32_t own_length = static_cast<uint32_t>(last_length + 1);
    source.string_start[entry] = static_cast<uint32_t>(last);
    source.string_length[entry] = static_cast<uint16_t>(own_length);
    loop.next = entry + 1;
    copy_string(window + end, window + last, own_length);
    window[end + own_length - 1] = window[last];
    last = end;
    last_length = own_length;
    end += own_length;
    return check_stop || own_length <= kCopyBlock ? Step::next_code : Step::refill;
  };

  // Four codes of at most 12 bits from one refill of 56 or more. The
  // refill loads 8 bytes below the bits held and counts the whole ones that
  // fit: the bits of a byte only partly loaded are loaded again, the same,
  // next time. Loading bytes of the strip early changes no outcome: whole
  // bytes in the bit buffer count as not yet taken.
  auto refill = [&]() __attribute__((always_inline)) {
    if (loop.bit_count < 56) {
      uint64_t bytes;
      memcpy(&bytes, source.buffer + loop.in, sizeof bytes);
      loop.bit_buffer |= __builtin_bswap64(bytes) >> loop.bit_count;
      loop.in += static_cast<uint32_t>(63 - loop.bit_count) >> 3;
      loop.bit_count |= 56;
    }
  };
  // How many blocks of four codes in a row need no check at all: as long
  // as each code defines one entry and gives at most a block of bytes (a
  // longer string, or a clear code, ends the run) and each refill takes at
  // most seven bytes, the table needs no attention and the window reaches
  // neither `stop` nor the end of the fast refills.
  auto quiet_blocks = [&]() __attribute__((always_inline)) {
    if (static_cast<int64_t>(loop.in) > loop.fast_last || loop.event < loop.next + 8 ||
        stop <= end + 3 * kCopyBlock) {
      return size_t{0};
    }
    size_t blocks = (loop.event - loop.next) / 4 - 1;
    const size_t by_window = (stop - end - 3 * kCopyBlock - 1) / (4 * kCopyBlock) + 1;
    const size_t by_input = static_cast<size_t>(loop.fast_last - static_cast<int64_t>(loop.in)) / 7 + 1;
    if (blocks > by_window) blocks = by_window;
    return blocks < by_input ? blocks : by_input;
  };

  for (;;) {
    for (size_t blocks = quiet_blocks(); blocks > 0; --blocks) {
      refill();
      Step done = step(false, false, false);
      if (done == Step::next_code) done = step(false, false, false);
      if (done == Step::next_code) done = step(false, false, false);
      if (done == Step::next_code) done = step(false, false, false);
      if (done != Step::next_code) break;
    }
    // Near an event, the window's stop or the end of the fast refills,
    // or after a string that ended a run: one block with every check.
    if (static_cast<int64_t>(loop.in) <= loop.fast_last) {
      refill();
      Step done = step(true, false, true);
      if (done == Step::next_code) done = step(true, false, true);
      if (done == Step::next_code) done = step(true, false, true);
      if (done == Step::next_code) done = step(true, false, true);
      if (done == Step::stop) break;
    } else {
      if (step(true, true, true) == Step::stop) break;
    }
  }

  save_lzw_state(source, leave_loop(source, loop));
  source.last_string_start = static_cast<uint32_t>(last);
  source.window_end = static_cast<uint32_t>(end);
  memcpy(destination, window + read, count);
  source.window_read = static_cast<uint32_t>(read + count);
}

__attribute__((noinline)) void decode_strings_plain(ByteSource &source, uint8_t *destination, size_t count) {
  decode_strings(source, destination, count);
}

// The same code where shifts by a register are one instruction each
// (BMI2): the loop shifts twice per code.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((noinline, target("bmi2"))) void decode_strings_bmi2(ByteSource &source, uint8_t *destination,
                                                                    size_t count) {
  decode_strings(source, destination, count);
}

bool has_bmi2() {
  static const bool has = __builtin_cpu_supports("bmi2");
  return has;
}
#endif

}  // namespace

void clear_string_lengths(ByteSource &source, int32_t end) {
  if (end > kLzwFirstFreeCode) {
    memset(source.string_length + kLzwFirstFreeCode, 0,
           static_cast<size_t>(end - kLzwFirstFreeCode) * sizeof source.string_length[0]);
  }
}

void lzw_read_bytes(ByteSource &source, uint8_t *destination, size_t count) {
  if (source.window == nullptr) grow_window(source, kFirstWindowCapacity);
  const uint32_t read = source.window_read;
  if (source.window_end - read >= count) {
    memcpy(destination, source.window + read, count);
    source.window_read = read + static_cast<uint32_t>(count);
    return;
  }
#if defined(__x86_64__) || defined(__i386__)
  if (has_bmi2()) return decode_strings_bmi2(source, destination, count);
#endif
  decode_strings_plain(source, destination, count);
}

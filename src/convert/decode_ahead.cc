#include "decode_ahead.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform.h"

struct DecodeAhead {
  int count;
  int ahead;  // slices that may be started beyond the one being taken
  DecodeSlice decode;
  void *context;
  std::mutex lock;
  std::condition_variable slice_done;  // a worker finished a slice
  std::condition_variable slice_taken; // the main thread moved on, or stop
  int next = 0;      // the next slice to start
  int taken = 0;     // slices the main thread has waited for
  bool stopping = false;
  // Who waits, so that a hand-over wakes a thread only when one waits: the
  // main thread, for the slice it needs and a later one (-1: it does not
  // wait), and the workers waiting for room in the window.
  int main_needs = -1;
  int main_waits_for = -1;
  int workers_waiting = 0;
  std::vector<char> done;  // per slice: decoded
  std::vector<SliceReader *> readers;
  std::vector<OutputWriter *> writers;
  std::vector<std::thread> threads;
};

namespace {

// A window of small slices holds up to this many bytes of them, and this
// many slices at most (each written ahead holds a descriptor).
constexpr uint64_t kWindowBytes = uint64_t{32} << 20;
constexpr uint64_t kMostAhead = 16;

bool main_may_go_on(const DecodeAhead &ahead) {
  return ahead.main_needs >= 0 && ahead.done[static_cast<size_t>(ahead.main_needs)] != 0 &&
         ahead.done[static_cast<size_t>(ahead.main_waits_for)] != 0;
}

void run_worker(DecodeAhead *ahead, SliceReader *reader, OutputWriter *writer) {
  keep_interrupts_off_this_thread();
  std::unique_lock<std::mutex> hold(ahead->lock);
  for (;;) {
    while (!ahead->stopping && ahead->next < ahead->count && ahead->next >= ahead->taken + ahead->ahead) {
      ++ahead->workers_waiting;
      ahead->slice_taken.wait(hold);
      --ahead->workers_waiting;
    }
    if (ahead->stopping || ahead->next >= ahead->count) return;
    int index = ahead->next++;
    hold.unlock();
    ahead->decode(reader, writer, index, ahead->context);
    hold.lock();
    ahead->done[static_cast<size_t>(index)] = 1;
    if (main_may_go_on(*ahead)) {
      // Woken after the lock is let go, it does not wait for the lock at once.
      hold.unlock();
      ahead->slice_done.notify_one();
      hold.lock();
    }
  }
}

}  // namespace

int decode_workers(unsigned cpus, uint64_t memory, uint64_t slice_bytes, int slices) {
  if (cpus < 2 || slices < 2) return 0;
  int workers = static_cast<int>(cpus) < slices ? static_cast<int>(cpus) : slices;
  // The main thread's slice, then per worker one slice, its stack, its
  // reader and its output buffer.
  const uint64_t half = memory / 2;
  if (half < slice_bytes) return 0;
  const uint64_t worker = slice_bytes + kWorkerStackBytes + slice_reader_bytes() + kOutputBufferBytes;
  const uint64_t fit = (half - slice_bytes) / worker;
  if (fit < static_cast<uint64_t>(workers)) workers = static_cast<int>(fit);
  return workers;
}

int decode_window(int workers, uint64_t memory, uint64_t slice_bytes) {
  const uint64_t half = memory / 2;
  const uint64_t worker = slice_bytes + kWorkerStackBytes + slice_reader_bytes() + kOutputBufferBytes;
  const uint64_t slice = slice_bytes > 0 ? slice_bytes : 1;
  // decode_workers left room for `workers` slices and their workers.
  const uint64_t room = half - slice_bytes - static_cast<uint64_t>(workers) * (worker - slice_bytes);
  uint64_t window = kWindowBytes / slice;
  if (window > room / slice) window = room / slice;
  if (window > kMostAhead) window = kMostAhead;
  return window > static_cast<uint64_t>(workers) ? static_cast<int>(window) : workers;
}

DecodeAhead *start_decode_ahead(int count, int workers, int window, DecodeSlice decode, void *context) {
  auto *ahead = new (std::nothrow) DecodeAhead;
  if (ahead == nullptr) return nullptr;
  ahead->count = count;
  ahead->ahead = window;
  ahead->decode = decode;
  ahead->context = context;
  try {
    ahead->done.assign(static_cast<size_t>(count), 0);
    ahead->readers.reserve(static_cast<size_t>(workers));
    ahead->writers.reserve(static_cast<size_t>(workers));
    for (int i = 0; i < workers; ++i) {
      SliceReader *reader = create_slice_reader();
      OutputWriter *writer = create_output_writer();
      ahead->readers.push_back(reader);
      ahead->writers.push_back(writer);
      if (reader == nullptr || writer == nullptr) break;
      ahead->threads.emplace_back(run_worker, ahead, reader, writer);
    }
  } catch (const std::system_error &) {
    // Fewer threads than asked for; the ones started do the work.
  } catch (const std::bad_alloc &) {
  }
  if (ahead->threads.empty()) {
    stop_decode_ahead(ahead);
    return nullptr;
  }
  return ahead;
}

void wait_decoded(DecodeAhead *ahead, int index) {
  // The call for the slice before left `taken` at `index`.
  std::unique_lock<std::mutex> hold(ahead->lock);
  if (ahead->done[static_cast<size_t>(index)] == 0) {
    // Caught up with the workers: it waits for a few slices at once, so
    // that neither side is woken for every slice.
    int last = index + ahead->ahead / 2;
    if (last > ahead->next - 1) last = ahead->next - 1;
    ahead->main_needs = index;
    ahead->main_waits_for = last > index ? last : index;
    ahead->slice_done.wait(hold, [ahead] { return main_may_go_on(*ahead); });
    ahead->main_needs = ahead->main_waits_for = -1;
  }
  ahead->taken = index + 1;
  // Workers waiting for room are woken once half the window is free, so
  // that each wakes to start several slices. At the latest that is when no
  // slice is left in flight: the main thread never waits for a slice that
  // no worker will start.
  const bool wake = ahead->workers_waiting > 0 && ahead->next - ahead->taken <= ahead->ahead / 2;
  hold.unlock();
  if (wake) ahead->slice_taken.notify_all();
}

void stop_decode_ahead(DecodeAhead *ahead) {
  {
    std::lock_guard<std::mutex> hold(ahead->lock);
    ahead->stopping = true;
  }
  ahead->slice_taken.notify_all();
  for (std::thread &thread : ahead->threads) thread.join();
  for (SliceReader *reader : ahead->readers) destroy_slice_reader(reader);
  for (OutputWriter *writer : ahead->writers) destroy_output_writer(writer);
  delete ahead;
}

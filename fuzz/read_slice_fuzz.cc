// libFuzzer target for the slice reader.
//
// read_slice takes a file name, so each input is written to a file private
// to this process (under /dev/shm, to stay off the disk) and read twice, as
// the run flow does: first without the slice image (directory checks and
// description only), then in full. Every input must end in a complete read
// or a ReaderFailure; the sanitizers catch everything else.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "memory_limit.h"
#include "read_slice.h"
#include "reader_failure.h"

// Allocations above 1 GiB fail with a null pointer instead of ending the
// run, so the reader's own allocation checks are exercised, and a slice that
// merely declares a huge size does not count as running out of memory.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

namespace {

const std::string &input_path() {
  static const std::string path = [] {
    const char *dir = getenv("SL_FUZZ_DIR");
    return std::string(dir != nullptr ? dir : "/dev/shm") + "/read_slice_fuzz." +
           std::to_string(getpid()) + ".tif";
  }();
  return path;
}

void remove_input() { unlink(input_path().c_str()); }

bool write_input(const uint8_t *data, size_t size) {
  FILE *file = fopen(input_path().c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = fwrite(data, 1, size, file) == size;
  return fclose(file) == 0 && written;
}

void free_image(uint16_t **image, int height) {
  for (int j = 0; j < height; ++j) free(image[j]);
  free(image);
}

// One read; a refused read has freed what it held before the report throws,
// so the leak check covers the refusal path too.
void read_once(bool with_image) {
  int width = 0, height = 0, bits = 0;
  uint16_t **image = nullptr;
  char *description = nullptr;
  try {
    if (read_slice(input_path().c_str(), &width, &height, &bits, with_image ? &image : nullptr,
                   &description) == 0) {
      if (image != nullptr) free_image(image, height);
      free(description);
    }
  } catch (const ReaderFailure &) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  atexit(remove_input);
  // Slices are refused above 256 MiB of rows, well inside the fuzzer's
  // limit of 2 GiB resident, instead of above the machine's memory.
  reader_memory_limit = uint64_t{256} << 20;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!write_input(data, size)) {
    perror(input_path().c_str());
    abort();
  }
  read_once(false);
  read_once(true);
  return 0;
}

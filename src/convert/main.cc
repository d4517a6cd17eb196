#include <malloc.h>

#include "run.h"

int main(int argc, char **argv) {
  // Every slice allocates and frees buffers of the same few sizes. Keeping
  // them in the heap instead of returning them to the system after each
  // slice saves mapping and faulting in every page again for the next one;
  // the peak stays that of the largest slice.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  return run(argc, argv);
}

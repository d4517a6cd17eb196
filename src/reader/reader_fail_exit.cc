// The tool's fatal report: one line naming the file, exit status 1.
#include <cstdio>
#include <cstdlib>

#include "reader_fail.h"

void reader_fail(const char *message) {
  fprintf(stderr, "%s : %s\n", reader_file_name(), message);
  exit(1);
}

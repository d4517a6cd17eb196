// The tool's report of a refused slice: one line naming the file, exit status 1.
#include <cstdio>
#include <cstdlib>

#include "reader_fail.h"

void reader_report(const char *file_name, const char *message) {
  fprintf(stderr, "%s : %s\n", file_name, message);
  exit(1);
}

// interrupt_steps for the names an output can have when Ctrl-C comes. Wine
// has no Windows symbolic links or junctions (it follows a Linux link as
// the file it leads to), so compare_under_wine.sh builds this and runs it
// under Wine. Prints "N passed, N failed"; status 1 on a failure.
#include <cstdio>

#include "interrupt_win32.h"

int main() {
  struct Case {
    const char *name;
    DWORD attributes;
    unsigned steps;
  } const cases[] = {
      {"file", FILE_ATTRIBUTE_ARCHIVE, kDeleteThroughHandle},
      {"file-normal", FILE_ATTRIBUTE_NORMAL, kDeleteThroughHandle},
      {"symbolic-link", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, kEmptyThroughHandle | kDeleteName},
      {"junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, kEmptyThroughHandle | kDeleteName},
      {"directory", FILE_ATTRIBUTE_DIRECTORY, kEmptyThroughHandle},
      {"name-gone", INVALID_FILE_ATTRIBUTES, kEmptyThroughHandle},
  };
  int failed = 0;
  for (const Case &c : cases) {
    unsigned steps = interrupt_steps(c.attributes);
    if (steps != c.steps) printf("%s: steps %u, not %u\n", c.name, steps, c.steps);
    failed += steps != c.steps;
  }
  printf("%d passed, %d failed\n", static_cast<int>(sizeof cases / sizeof cases[0]) - failed, failed);
  return failed == 0 ? 0 : 1;
}

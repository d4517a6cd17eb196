/* Loaded into the tool with LD_PRELOAD by an end-to-end test: the link that
   would give an output written ahead the name in SL_TEST_TAKEN_NAME finds
   that name made already, as if another program had made it between the
   output's writing and its turn. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*LinkAt)(int, const char *, int, const char *, int);

int linkat(int from_directory, const char *from, int to_directory, const char *to, int flags) {
  static LinkAt real_linkat;
  if (real_linkat == NULL) real_linkat = (LinkAt)dlsym(RTLD_NEXT, "linkat");
  const char *taken = getenv("SL_TEST_TAKEN_NAME");
  if (taken != NULL && strcmp(to, taken) == 0) {
    int fd = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ssize_t written = write(fd, "taken", 5);
      (void)written;
      close(fd);
    }
  }
  return real_linkat(from_directory, from, to_directory, to, flags);
}

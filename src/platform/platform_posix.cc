// The operating-system calls on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cgroup_limits.h"
#include "platform.h"

namespace {

// The output file being written, for the interrupt handler: its name and
// descriptor, or an empty name when none is open. Only the handler and the
// functions below touch it, with the interrupts held.
char output_in_progress[64];
volatile int output_in_progress_fd = -1;

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// Empties the output being written (also through a symbolic link) and
// removes its name, then ends the process by the same signal. Only
// async-signal-safe calls.
void on_interrupt(int signal_number) {
  if (output_in_progress[0] != '\0') {
    if (ftruncate(output_in_progress_fd, 0) != 0) {
      // Nothing more can be done for the file's contents; its name still goes.
    }
    unlink(output_in_progress);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal_number, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
}

void install_interrupt_handler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kInterrupts) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : kInterrupts) {
    // An interrupt the caller chose to ignore stays ignored.
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

// Holds the interrupts of this thread while the record of the output in
// progress changes, so that the handler never sees half of it.
struct InterruptsHeld {
  sigset_t previous;
  InterruptsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : kInterrupts) sigaddset(&set, signal_number);
    pthread_sigmask(SIG_BLOCK, &set, &previous);
  }
  ~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

}  // namespace

void prepare_process() {
  // A write beyond the file size limit (ulimit -f) would end the process
  // by SIGXFSZ, without a word and with the output cut short; ignored, the
  // write fails with EFBIG, which the run reports and cleans up after like
  // a full disk.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, nullptr);
  // Every slice allocates and frees buffers of the same few sizes. Keeping
  // them in the heap instead of returning them to the system after each
  // slice saves mapping and faulting in every page again for the next one;
  // the peak stays that of the largest slice.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  // One heap for every thread: a heap of its own per thread would reserve
  // 64 MiB of address space each, and keep what its thread freed from the
  // others, so a slice that fits on one thread might not fit after slices
  // were decoded on several.
  mallopt(M_ARENA_MAX, 1);
  // Worker threads decode and map flat buffers on the heap; the default
  // stack would reserve 8 MiB of address space each.
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) == 0) {
    pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
  }
  usable_memory_bytes();
}

bool open_input_file(const char *name, FileHandle *file, uint64_t *size) {
  // Without O_NONBLOCK the open of a FIFO waits for a writer. The flag has
  // no effect on reads of a regular file, so it stays: taking it back would
  // cost two more calls per slice (read_file_at takes it back should a
  // file system ever answer "try again").
  int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return false;
  }
  *file = fd;
  *size = static_cast<uint64_t>(status.st_size);
  return true;
}

size_t read_file_at(FileHandle file, void *destination, size_t count, uint64_t offset) {
  auto *bytes = static_cast<uint8_t *>(destination);
  const int fd = static_cast<int>(file);
  size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int flags = fcntl(fd, F_GETFL);
      if (flags != -1 && (flags & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1) continue;
    }
    if (n <= 0) break;  // the end of the file, or a file that cannot be read further
    done += static_cast<size_t>(n);
  }
  return done;
}

void close_input_file(FileHandle file) { close(static_cast<int>(file)); }

bool create_output_file(const char *name, FileHandle *file, int *error, bool keep_contents) {
  install_interrupt_handler();
  InterruptsHeld held;
  int fd = open(name, O_RDWR | O_CREAT | (keep_contents ? 0 : O_TRUNC) | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  // Output names are short ("ro0012.tif"); a longer one is never recorded
  // half. A device written to in place of a file is not the interrupt's to
  // remove.
  struct stat status;
  if (strlen(name) < sizeof output_in_progress && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    output_in_progress_fd = fd;
    strcpy(output_in_progress, name);
  }
  *file = fd;
  return true;
}

bool write_file_at(FileHandle file, const void *source, size_t count, uint64_t offset, int *error) {
  const auto *bytes = static_cast<const uint8_t *>(source);
  while (count > 0) {
    ssize_t written = pwrite(static_cast<int>(file), bytes, count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *error = written < 0 ? errno : ENOSPC;
      return false;
    }
    bytes += written;
    offset += static_cast<uint64_t>(written);
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool write_file_pieces(FileHandle file, const FilePiece *pieces, int count, uint64_t offset, int *error) {
  // One call for all of them, then again for what a short write left.
  constexpr int kMostPieces = 8;
  iovec vectors[kMostPieces];
  int first = 0;
  size_t done_in_first = 0;  // bytes of pieces[first] already written
  while (first < count) {
    int used = 0;
    for (int i = first; i < count && used < kMostPieces; ++i, ++used) {
      const size_t skip = i == first ? done_in_first : 0;
      vectors[used].iov_base = const_cast<uint8_t *>(static_cast<const uint8_t *>(pieces[i].bytes) + skip);
      vectors[used].iov_len = pieces[i].count - skip;
    }
    ssize_t written = pwritev(static_cast<int>(file), vectors, used, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // Nothing was left to write, or nothing could be.
      bool empty = true;
      for (int i = 0; i < used; ++i) empty = empty && vectors[i].iov_len == 0;
      if (empty) return true;
      *error = written < 0 ? errno : ENOSPC;
      return false;
    }
    offset += static_cast<uint64_t>(written);
    size_t left = static_cast<size_t>(written);
    while (first < count && left >= pieces[first].count - done_in_first) {
      left -= pieces[first].count - done_in_first;
      ++first;
      done_in_first = 0;
    }
    done_in_first += left;
  }
  return true;
}

namespace {

void forget_output_in_progress(FileHandle file) {
  if (output_in_progress_fd == file) {
    output_in_progress[0] = '\0';
    output_in_progress_fd = -1;
  }
}

}  // namespace

bool close_output_file_handle(FileHandle file, int *error) {
  InterruptsHeld held;
  forget_output_in_progress(file);
  if (close(static_cast<int>(file)) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

void discard_output_file(const char *name, FileHandle file) {
  InterruptsHeld held;
  struct stat status;
  bool regular = file != -1 ? fstat(static_cast<int>(file), &status) == 0 && S_ISREG(status.st_mode)
                            : stat(name, &status) == 0 && S_ISREG(status.st_mode);
  if (file != -1) {
    // Emptied through the descriptor: a name that is a symbolic link loses
    // its link, and the file it points to what was written into it.
    if (regular && ftruncate(static_cast<int>(file), 0) != 0) {
      // The name is removed all the same.
    }
    forget_output_in_progress(file);
    close(static_cast<int>(file));
  }
  // A device written to in place of a file (a link to /dev/full, say) holds
  // no half-written slice; the name is left alone.
  if (regular) unlink(name);
}

bool set_output_size(FileHandle file, uint64_t size, int *error) {
  struct stat status;
  if (fstat(static_cast<int>(file), &status) != 0 || !S_ISREG(status.st_mode)) return true;
  if (static_cast<uint64_t>(status.st_size) == size) return true;
  if (ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0) return true;
  *error = errno;
  return false;
}

// An unnamed file in the working directory (O_TMPFILE): it has no name to
// be seen by, and the system frees it when its last descriptor closes.
bool create_unpublished_output(const char *name, FileHandle *file, int *error) {
  struct stat status;
  if (lstat(name, &status) == 0) {
    *error = EEXIST;
    return false;
  }
  int fd = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  *file = fd;
  return true;
}

bool publish_output(const char *name, FileHandle file, int *error) {
  const int fd = static_cast<int>(file);
  // Naming the descriptor itself takes a capability; its entry in /proc
  // does not. Either link fails when the name exists.
  bool linked = linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0;
  if (!linked && errno != EEXIST) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    linked = linkat(AT_FDCWD, path, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
  }
  if (!linked) *error = errno;
  close(fd);
  return linked;
}

void drop_unpublished_output(FileHandle file) { close(static_cast<int>(file)); }

void keep_interrupts_off_this_thread() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : kInterrupts) sigaddset(&set, signal_number);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void lower_this_thread_priority() {
#ifdef __linux__
  // Linux keeps a nice value per thread, named by the thread's id.
  constexpr int kLowerBy = 5;
  const int saved_errno = errno;
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice_value = getpriority(PRIO_PROCESS, thread);
  if (errno == 0) setpriority(PRIO_PROCESS, thread, nice_value + kLowerBy < 19 ? nice_value + kLowerBy : 19);
  errno = saved_errno;
#endif
}

const char *error_text(int error) { return strerror(error); }

bool file_exists(const char *name) { return access(name, F_OK) == 0; }

NameTarget identify_name(const char *name, FileIdentity *identity) {
  // The name itself first: a missing name or one that is no link, the
  // usual answers, cost one call.
  struct stat status;
  if (lstat(name, &status) != 0) return kNameMissing;
  if (S_ISLNK(status.st_mode) && stat(name, &status) != 0) return kNameDanglingLink;
  identity->device = static_cast<uint64_t>(status.st_dev);
  identity->file = static_cast<uint64_t>(status.st_ino);
  return kNameFile;
}

bool list_working_directory(void (*visit)(const char *name, void *context), void *context) {
  DIR *directory = opendir(".");
  if (directory == nullptr) return false;
  while (const dirent *entry = readdir(directory)) visit(entry->d_name, context);
  closedir(directory);
  return true;
}

namespace {

uint64_t physical_memory_bytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

// What a resource limit leaves of the memory the process may still map:
// the limit less what it maps already.
uint64_t room_under(int resource, uint64_t mapped) {
  struct rlimit limit;
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  uint64_t cap = static_cast<uint64_t>(limit.rlim_cur);
  return cap > mapped ? cap - mapped : 0;
}

uint64_t least(uint64_t a, uint64_t b) { return a < b ? a : b; }

// The process's control group limits, read once for both figures.
const CgroupLimits &group_limits() {
  static const CgroupLimits limits = read_cgroup_limits("");
  return limits;
}

uint64_t read_usable_memory() {
  uint64_t memory = physical_memory_bytes();
  const CgroupLimits &group = group_limits();
  if (group.memory_bytes != 0) memory = least(memory, group.memory_bytes);
  MappedMemory mapped = read_mapped_memory("");
  memory = least(memory, room_under(RLIMIT_AS, mapped.address_space));
  return least(memory, room_under(RLIMIT_DATA, mapped.data));
}

}  // namespace

uint64_t usable_memory_bytes() {
  static const uint64_t memory = read_usable_memory();
  return memory;
}

unsigned usable_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  int affinity = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  return cpus_within_quota(affinity > 0 ? static_cast<unsigned>(affinity) : 1, group_limits().cpus);
}

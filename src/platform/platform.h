// The operating-system calls of sl_depth, in one place. Everything else in
// src/ is plain C++ and includes no system header; a port implements this
// header once (platform_posix.cc, platform_win32.cc).
//
// Errors are reported as errno values, also on Windows, so that the system's
// reason reads the same in every build.
#pragma once

#include <cstddef>
#include <cstdint>

// An open file: a descriptor on POSIX systems, a handle on Windows.
using FileHandle = intptr_t;

// Sets up the process: the allocator keeps freed slice buffers for the next
// slice and serves every thread from one heap (so that memory one thread
// frees is there for the others), worker threads get small stacks, the
// figure of usable_memory_bytes() is fixed, and the standard streams write
// their bytes unchanged.
void prepare_process();

// --- Input slices ---

// Opens an existing regular file for reading, in binary mode. A FIFO, a
// device or a directory is refused at once, never waited on. False, with
// nothing open, when the name cannot be opened or is not a regular file.
bool open_input_file(const char *name, FileHandle *file, uint64_t *size);

// Reads up to `count` bytes at `offset`; fewer only at the end of the file or
// where the file cannot be read further.
size_t read_file_at(FileHandle file, void *destination, size_t count, uint64_t offset);

void close_input_file(FileHandle file);

// --- Output slices ---

// Creates `name`, or empties the existing file of that name, for reading and
// writing; with `keep_contents`, an existing file is opened as it is, to be
// written over from its start and cut with set_output_size. False, with
// *error set and nothing changed on disk, when it cannot. While the file is
// open, an interrupt (Ctrl-C, SIGTERM, SIGHUP) empties and removes it before
// the process ends: a half-written output never outlives the process.
bool create_output_file(const char *name, FileHandle *file, int *error, bool keep_contents);

// Writes all `count` bytes at `offset`. False, with *error set, when any
// could not be written.
bool write_file_at(FileHandle file, const void *source, size_t count, uint64_t offset, int *error);

// Pieces of memory that follow one another in a file.
struct FilePiece {
  const void *bytes;
  size_t count;
};

// Writes the pieces one after the other from `offset` on, in as few calls
// as the system allows. False, with *error set, when any byte could not be
// written.
bool write_file_pieces(FileHandle file, const FilePiece *pieces, int count, uint64_t offset, int *error);

// Closes a complete output file; from here on an interrupt leaves it alone.
// False, with *error set, when the close reports a failure.
bool close_output_file_handle(FileHandle file, int *error);

// Ends an output file that failed: empties what was written (wherever it
// lies, also behind a symbolic link), closes it and removes its name.
// `file` is -1 when the file is closed already: then only the name goes.
// A name that leads to a device, not a file, is left alone.
void discard_output_file(const char *name, FileHandle file);

// Sets an open output's end at `size` bytes: cuts an output written over
// from its start, or empties one (0) to write it again; a device is left as
// it is. False, with *error set, when the file cannot be cut.
bool set_output_size(FileHandle file, uint64_t size, int *error);

// --- Outputs written ahead ---
// An output written ahead of its turn stays unseen until the run reaches
// it: no one else sees it, nothing of an existing file of its name is
// touched, and it vanishes with the process however the process ends.

// Creates the output `name` unseen. False, with nothing changed on disk,
// when the name exists or the file system cannot hold such a file.
bool create_unpublished_output(const char *name, FileHandle *file, int *error);

// Gives an unpublished output its name and closes it. False, with the
// output dropped and *error set (EEXIST when the name has come to exist),
// when it cannot.
bool publish_output(const char *name, FileHandle file, int *error);

// Drops an unpublished output; nothing of it remains.
void drop_unpublished_output(FileHandle file);

// Threads other than the main thread call this first: interrupts are then
// taken by the main thread, the one that writes outputs, and never arrive
// in the middle of another thread's work.
void keep_interrupts_off_this_thread();

// Lets the calling thread yield to the process's other threads when they
// compete for a CPU: a lower scheduling priority for it alone, for good.
// Best effort; where the system does not allow it, nothing changes.
void lower_this_thread_priority();

// The system's reason for an errno value, for example "No space left on device".
const char *error_text(int error);

// --- The working directory ---

// True when a file or directory of that name exists.
bool file_exists(const char *name);

// What a name leads to, following links: a file (with its identity), a
// link that leads nowhere yet, or nothing.
enum NameTarget { kNameMissing, kNameDanglingLink, kNameFile };

// The device and the file number: two names of one file have equal ones.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
};

NameTarget identify_name(const char *name, FileIdentity *identity);

// Calls `visit` with the name of every entry of the working directory.
// False when the directory cannot be listed.
bool list_working_directory(void (*visit)(const char *name, void *context), void *context);

// --- The machine ---

// The memory this run may use, in bytes: the least of the physical memory
// and every limit set on the process (on Linux the memory limit of its
// control group and of every group above it, and RLIMIT_AS and RLIMIT_DATA
// less what the process maps already; on Windows the process and job
// memory limits of its job object). Fixed by the first call, which
// prepare_process makes; UINT64_MAX when nothing is known. Reading the
// limits never fails: what cannot be read sets no limit.
uint64_t usable_memory_bytes();

// The CPUs this process may run on: its affinity mask (how taskset, cgroup
// cpusets and batch schedulers confine a job), within a CPU quota of its
// control group or the CPU rate limit of its job object, rounded up. At
// least 1.
unsigned usable_cpu_count();

// Address space that each worker thread reserves for its stack; a worker
// costs this much of usable_memory_bytes() besides its data.
constexpr uint64_t kWorkerStackBytes = uint64_t{512} << 10;

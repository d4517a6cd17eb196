// The operating-system calls on Windows, through Win32 and the MinGW C
// runtime. System errors are turned into errno values and told by strerror,
// so that a reason reads as it does on Linux ("No space left on device").
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interrupt_win32.h"
#include "platform.h"

namespace {

HANDLE handle_of(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// The errno value that tells the same reason as a Win32 error code.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_QUOTA:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    default:
      return EIO;
  }
}

// ReadFile and WriteFile take 32-bit counts.
constexpr DWORD kLargestTransfer = 1u << 30;

DWORD transfer_size(size_t count) { return count > kLargestTransfer ? kLargestTransfer : static_cast<DWORD>(count); }

OVERLAPPED at_offset(uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

// The output file being written, for the console control handler: its
// handle, or INVALID_HANDLE_VALUE, and its name. The handler runs on a
// thread of its own, so the record changes, and a recorded handle is
// closed, only under this lock, and writes hold it shared: the handler,
// which takes it and never gives it back, never sees a handle closed or
// half recorded, and no write lands after it emptied a file. An SRW lock
// needs no setup before its first use.
SRWLOCK output_lock = SRWLOCK_INIT;
struct OutputInProgress {
  HANDLE handle = INVALID_HANDLE_VALUE;
  char name[MAX_PATH] = "";
};
OutputInProgress output_in_progress;

struct OutputLocked {
  OutputLocked() { AcquireSRWLockExclusive(&output_lock); }
  ~OutputLocked() { ReleaseSRWLockExclusive(&output_lock); }
};

struct WritesLocked {
  WritesLocked() { AcquireSRWLockShared(&output_lock); }
  ~WritesLocked() { ReleaseSRWLockShared(&output_lock); }
};

// Marks the file for deletion when its last handle closes, or takes the
// mark back.
bool mark_for_deletion(HANDLE handle, bool deleted) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Ends an output that an interrupt cut short, as interrupt_steps says. A
// handle opened through a link is the file it leads to; the link itself is
// reached by opening its name with FILE_FLAG_OPEN_REPARSE_POINT.
void end_interrupted_output(const OutputInProgress &output) {
  unsigned steps = interrupt_steps(GetFileAttributesA(output.name));
  if ((steps & kEmptyThroughHandle) != 0) {
    FILE_END_OF_FILE_INFO end{};
    SetFileInformationByHandle(output.handle, FileEndOfFileInfo, &end, sizeof end);
  }
  if ((steps & kDeleteThroughHandle) != 0) mark_for_deletion(output.handle, true);
  if ((steps & kDeleteName) != 0) {
    HANDLE name = CreateFileA(output.name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (name != INVALID_HANDLE_VALUE) {
      mark_for_deletion(name, true);
      CloseHandle(name);
    }
  }
}

// Ctrl-C, Ctrl-Break, closing the console, logoff and shutdown: the output
// being written in place is ended, then the process ends with the status
// Windows' own handler gives, STATUS_CONTROL_C_EXIT. The lock is kept, so
// nothing is written and no output is created in place after. The process
// is terminated, not exited: ExitProcess would kill the other threads and
// then run the DLLs' exit code, which takes the C runtime's stream locks,
// and a thread killed while printing holds one for ever. Closing the
// process's handles removes every output written ahead.
BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&output_lock);
  if (output_in_progress.handle != INVALID_HANDLE_VALUE) end_interrupted_output(output_in_progress);
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

void forget_output_in_progress(HANDLE handle) {
  if (output_in_progress.handle == handle) output_in_progress.handle = INVALID_HANDLE_VALUE;
}

}  // namespace

void prepare_process() {
  // Lines end in a bare line feed as on Linux: the console text is the same
  // bytes in every build.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // The C runtime buffers standard error fully when it is a file or a pipe;
  // unbuffered, as C asks, its lines keep their place among the report's.
  setvbuf(stderr, nullptr, _IONBF, 0);
  usable_memory_bytes();
  // In place before any output exists, whichever way it is created, so that
  // every Ctrl-C of a run ends it the same way. A process started with
  // Ctrl-C ignored (SetConsoleCtrlHandler(NULL, TRUE) inherited from its
  // parent) never has the handler called for it, so an ignored interrupt
  // stays ignored as on POSIX systems.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool open_input_file(const char *name, FileHandle *file, uint64_t *size) {
  // Other programs may go on reading, writing or removing the slice. A
  // directory cannot be opened this way at all; a pipe or a device is
  // refused by its type.
  HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  LARGE_INTEGER length;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(handle, &length)) {
    CloseHandle(handle);
    return false;
  }
  *file = reinterpret_cast<FileHandle>(handle);
  *size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

size_t read_file_at(FileHandle file, void *destination, size_t count, uint64_t offset) {
  auto *bytes = static_cast<uint8_t *>(destination);
  size_t done = 0;
  while (done < count) {
    // The offset travels with the call, so a handle needs no shared file
    // position; ReadFile fails with ERROR_HANDLE_EOF past the end.
    OVERLAPPED position = at_offset(offset + done);
    DWORD n = 0;
    if (!ReadFile(handle_of(file), bytes + done, transfer_size(count - done), &n, &position) || n == 0) break;
    done += n;
  }
  return done;
}

void close_input_file(FileHandle file) { CloseHandle(handle_of(file)); }

bool create_output_file(const char *name, FileHandle *file, int *error, bool keep_contents) {
  // Held from the create on: an interrupt just after CREATE_ALWAYS emptied
  // an old output waits until the new one is recorded, and then removes it.
  OutputLocked locked;
  // CREATE_ALWAYS empties an existing file only when the open succeeds.
  // DELETE access and FILE_SHARE_DELETE let the file be removed while open.
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              keep_contents ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD reason = GetLastError();
    // Windows refuses a directory as access denied; Linux names the reason.
    DWORD attributes = GetFileAttributesA(name);
    bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *error = reason == ERROR_ACCESS_DENIED && directory ? EISDIR : errno_of(reason);
    return false;
  }
  // Output names are short ("ro0012.tif"); a longer one is never recorded
  // half.
  if (GetFileType(handle) == FILE_TYPE_DISK && strlen(name) < sizeof output_in_progress.name) {
    output_in_progress.handle = handle;
    strcpy(output_in_progress.name, name);
  }
  *file = reinterpret_cast<FileHandle>(handle);
  return true;
}

bool write_file_at(FileHandle file, const void *source, size_t count, uint64_t offset, int *error) {
  WritesLocked locked;
  const auto *bytes = static_cast<const uint8_t *>(source);
  while (count > 0) {
    OVERLAPPED position = at_offset(offset);
    DWORD written = 0;
    if (!WriteFile(handle_of(file), bytes, transfer_size(count), &written, &position)) {
      *error = errno_of(GetLastError());
      return false;
    }
    if (written == 0) {
      *error = ENOSPC;
      return false;
    }
    bytes += written;
    offset += written;
    count -= written;
  }
  return true;
}

bool write_file_pieces(FileHandle file, const FilePiece *pieces, int count, uint64_t offset, int *error) {
  for (int i = 0; i < count; ++i) {
    if (!write_file_at(file, pieces[i].bytes, pieces[i].count, offset, error)) return false;
    offset += pieces[i].count;
  }
  return true;
}

bool close_output_file_handle(FileHandle file, int *error) {
  OutputLocked locked;
  forget_output_in_progress(handle_of(file));
  if (!CloseHandle(handle_of(file))) {
    *error = errno_of(GetLastError());
    return false;
  }
  return true;
}

void discard_output_file(const char *name, FileHandle file) {
  OutputLocked locked;
  bool regular;
  if (file != -1) {
    HANDLE handle = handle_of(file);
    regular = GetFileType(handle) == FILE_TYPE_DISK;
    // Emptied through the handle: behind a symbolic link, the file it points
    // to loses what was written, and the link itself is removed below.
    FILE_END_OF_FILE_INFO end{};
    if (regular) SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
    forget_output_in_progress(handle);
    CloseHandle(handle);
  } else {
    DWORD attributes = GetFileAttributesA(name);
    regular = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  if (regular) DeleteFileA(name);
}

bool set_output_size(FileHandle file, uint64_t size, int *error) {
  if (GetFileType(handle_of(file)) != FILE_TYPE_DISK) return true;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end)) return true;
  *error = errno_of(GetLastError());
  return false;
}

namespace {

// The name an output written ahead has until its turn: the output's name,
// the process and ".tmp", so that no other run and no output meets it.
bool temporary_name_of(const char *name, char (&temporary)[MAX_PATH]) {
  int length = snprintf(temporary, sizeof temporary, "%s.%lu.tmp", name, GetCurrentProcessId());
  return length > 0 && static_cast<size_t>(length) < sizeof temporary;
}

}  // namespace

// Written under a temporary name, opened with FILE_FLAG_DELETE_ON_CLOSE:
// the file goes when its handle closes, however the process ends, and it
// has no moment without that mark (a name created and then marked would
// stay, empty, when the process is killed between the two steps).
bool create_unpublished_output(const char *name, FileHandle *file, int *error) {
  char temporary[MAX_PATH];
  if (!temporary_name_of(name, temporary)) {
    *error = ENAMETOOLONG;
    return false;
  }
  // The output's own name is linked only in its turn, and fails then when
  // the name exists; an existing output is written in place, not ahead.
  if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) {
    *error = EEXIST;
    return false;
  }
  // FILE_SHARE_DELETE: the link to the output's name opens the file again.
  HANDLE handle = CreateFileA(temporary, GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = errno_of(GetLastError());
    return false;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    *error = EINVAL;
    CloseHandle(handle);
    return false;
  }
  *file = reinterpret_cast<FileHandle>(handle);
  return true;
}

// The output's name becomes a second link to the complete file, which fails
// when the name exists; closing the handle then removes the temporary name
// alone. A file system without hard links (FAT32, exFAT) refuses the link:
// the run writes its outputs in place from then on.
bool publish_output(const char *name, FileHandle file, int *error) {
  char temporary[MAX_PATH];
  bool linked = temporary_name_of(name, temporary) && CreateHardLinkA(name, temporary, nullptr) != 0;
  if (!linked) *error = errno_of(GetLastError());
  CloseHandle(handle_of(file));
  return linked;
}

void drop_unpublished_output(FileHandle file) { CloseHandle(handle_of(file)); }

// Windows runs a console control handler on a thread it creates for the
// event; no thread of the program is ever interrupted, so there is nothing
// to hold off.
void keep_interrupts_off_this_thread() {}

void lower_this_thread_priority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

const char *error_text(int error) { return strerror(error); }

namespace {

// Opens what a name leads to, following links, for its identity only.
HANDLE open_target(const char *name) {
  return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

// A link counts by what it leads to, as on POSIX systems.
bool file_exists(const char *name) {
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  HANDLE target = open_target(name);
  if (target == INVALID_HANDLE_VALUE) return false;
  CloseHandle(target);
  return true;
}

NameTarget identify_name(const char *name, FileIdentity *identity) {
  if (GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES) return kNameMissing;
  HANDLE target = open_target(name);
  // A name whose file cannot be opened is told apart from nothing: it may
  // lead somewhere later.
  if (target == INVALID_HANDLE_VALUE) return kNameDanglingLink;
  BY_HANDLE_FILE_INFORMATION information;
  bool known = GetFileInformationByHandle(target, &information) != 0;
  CloseHandle(target);
  if (!known) return kNameDanglingLink;
  identity->device = information.dwVolumeSerialNumber;
  identity->file = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  return kNameFile;
}

bool list_working_directory(void (*visit)(const char *name, void *context), void *context) {
  // Long names only (no 8.3 names made up), fetched in large batches.
  WIN32_FIND_DATAA entry;
  HANDLE search =
      FindFirstFileExA("*", FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  // The root of an empty drive has no entry at all, not even ".".
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do visit(entry.cFileName, context);
  while (FindNextFileA(search, &entry));
  FindClose(search);
  return true;
}

namespace {

uint64_t least(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Physical memory, within the memory limits of the job object the process
// runs in, less what the process has committed already.
uint64_t read_usable_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  uint64_t memory = GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : UINT64_MAX;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job, nullptr)) {
    return memory;  // not in a job
  }
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  uint64_t committed = 0;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                           sizeof counters)) {
    committed = counters.PrivateUsage;
  }
  auto room = [committed](uint64_t limit) { return limit > committed ? limit - committed : 0; };
  const DWORD flags = job.BasicLimitInformation.LimitFlags;
  if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) memory = least(memory, room(job.ProcessMemoryLimit));
  if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0) memory = least(memory, room(job.JobMemoryLimit));
  return memory;
}

// A hard CPU rate limit of the job object, in CPUs' worth; 0 for none. The
// rate is given in hundredths of a percent of every processor of the system.
double job_cpu_rate() {
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (!QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate, nullptr)) return 0;
  const DWORD wanted = JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP;
  if ((rate.ControlFlags & wanted) != wanted || rate.CpuRate == 0) return 0;
  return rate.CpuRate / 10000.0 * GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
}

}  // namespace

uint64_t usable_memory_bytes() {
  static const uint64_t memory = read_usable_memory();
  return memory;
}

unsigned usable_cpu_count() {
  // The mask covers the process's processor group, at most 64 processors.
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  unsigned count = 1;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0) {
    count = static_cast<unsigned>(__builtin_popcountll(process_mask));
  }
  double rate = job_cpu_rate();
  if (rate > 0 && rate < count) count = static_cast<unsigned>(rate) + (rate > static_cast<unsigned>(rate) ? 1 : 0);
  return count > 0 ? count : 1;
}

// The operating-system calls on Windows, through Win32 and the MinGW C
// runtime. System errors are turned into errno values and told by strerror,
// so that a reason reads as it does on Linux ("No space left on device").
#include <windows.h>
#include <fcntl.h>
#include <io.h>

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

void mark_for_deletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
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
  if ((steps & kDeleteThroughHandle) != 0) mark_for_deletion(output.handle);
  if ((steps & kDeleteName) != 0) {
    HANDLE name = CreateFileA(output.name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (name != INVALID_HANDLE_VALUE) {
      mark_for_deletion(name);
      CloseHandle(name);
    }
  }
}

// Ctrl-C, Ctrl-Break, closing the console, logoff and shutdown: the output
// being written is ended, then the process ends as the default handler
// ends it. The lock is kept: nothing else runs after.
BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&output_lock);
  if (output_in_progress.handle != INVALID_HANDLE_VALUE) end_interrupted_output(output_in_progress);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// A process started with Ctrl-C ignored (SetConsoleCtrlHandler(NULL, TRUE)
// inherited from its parent) never has the handler called for it, so an
// ignored interrupt stays ignored as on POSIX systems.
void install_interrupt_handler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  SetConsoleCtrlHandler(on_console_event, TRUE);
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

bool create_output_file(const char *name, FileHandle *file, int *error) {
  install_interrupt_handler();
  // Held from the create on: an interrupt just after CREATE_ALWAYS emptied
  // an old output waits until the new one is recorded, and then removes it.
  OutputLocked locked;
  // CREATE_ALWAYS empties an existing file only when the open succeeds.
  // DELETE access and FILE_SHARE_DELETE let the file be removed while open.
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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

// Windows runs a console control handler on a thread it creates for the
// event; no thread of the program is ever interrupted, so there is nothing
// to hold off.
void keep_interrupts_off_this_thread() {}

const char *error_text(int error) { return strerror(error); }

bool file_exists(const char *name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

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

uint64_t physical_memory_bytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

unsigned usable_cpu_count() {
  // The mask covers the process's processor group, at most 64 processors.
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) return 1;
  int count = __builtin_popcountll(process_mask);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

// Running the built tool (or any program) in a scratch directory, for the
// end-to-end tests.
#pragma once

#include <string>
#include <vector>

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// A signal sent to the program a while after its report line "div=" appears
// on standard output, that is, during the second pass.
struct Interrupt {
  int signal_number = 0;  // 0: none
  double seconds_after_report = 0;
};

// Runs `program` with `arguments` in `directory`, standard input empty.
// `shell_prefix`, when not empty, is a shell command line run before the
// program in the same shell (for example "ulimit -f 4;").
ToolResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                       const std::string &directory, const std::string &shell_prefix = "",
                       const Interrupt &interrupt = Interrupt{});

// Runs the built sl_depth, or the binary that SL_DEPTH_UNDER_TEST names (a
// packaged build, one of another architecture).
ToolResult run_sl_depth(const std::vector<std::string> &arguments, const std::string &directory,
                        const std::string &shell_prefix = "", const Interrupt &interrupt = Interrupt{});

// SL_DEPTH_EMULATED is set: the tool under test runs in an emulator of its
// architecture, which maps the guest's whole address space as it starts.
bool tool_is_emulated();

// A fresh empty directory under the system's temporary directory, removed
// with everything in it when the object goes out of scope.
struct ScratchDirectory {
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory &operator=(const ScratchDirectory &) = delete;
  std::string path;
  std::string file(const std::string &name) const { return path + "/" + name; }
};

// Names of the files in `directory`, sorted.
std::vector<std::string> list_files(const std::string &directory);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

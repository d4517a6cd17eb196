#include "run_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

std::string temporary_root() {
  const char *root = getenv("TMPDIR");
  return root != nullptr && *root != '\0' ? root : "/tmp";
}

}  // namespace

ToolResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                       const std::string &directory, const std::string &shell_prefix, const Interrupt &interrupt) {
  // Both streams go to files, so neither pipe can fill up and block.
  std::string out_path = directory + "/.stdout";
  std::string err_path = directory + "/.stderr";
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (chdir(directory.c_str()) != 0) _exit(126);
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Only the three standard streams are handed on, so that a limit on
    // open files (ulimit -n) leaves the program what it says.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    // A test run in the background inherits an ignored SIGINT.
    if (interrupt.signal_number != 0) signal(interrupt.signal_number, SIG_DFL);
    std::vector<std::string> words;
    if (shell_prefix.empty()) {
      words.push_back(program);
      words.insert(words.end(), arguments.begin(), arguments.end());
    } else {
      words = {"/bin/sh", "-c", shell_prefix + " exec \"$0\" \"$@\"", program};
      words.insert(words.end(), arguments.begin(), arguments.end());
    }
    std::vector<char *> argv;
    for (auto &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (interrupt.signal_number != 0) {
    // The second pass starts once the report is on standard output.
    auto running = [child] {
      siginfo_t info{};
      return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    };
    while (running() && read_file(out_path).find("div=") == std::string::npos) usleep(200);
    usleep(static_cast<useconds_t>(interrupt.seconds_after_report * 1e6));
    kill(child, interrupt.signal_number);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ToolResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  int out = open(out_path.c_str(), O_RDONLY);
  int err = open(err_path.c_str(), O_RDONLY);
  result.out = read_all(out);
  result.err = read_all(err);
  close(out);
  close(err);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return result;
}

ToolResult run_sl_depth(const std::vector<std::string> &arguments, const std::string &directory,
                        const std::string &shell_prefix, const Interrupt &interrupt) {
  const char *other = getenv("SL_DEPTH_UNDER_TEST");
  return run_program(other != nullptr && *other != '\0' ? other : SL_DEPTH_BINARY, arguments, directory,
                     shell_prefix, interrupt);
}

bool tool_is_emulated() {
  const char *emulated = getenv("SL_DEPTH_EMULATED");
  return emulated != nullptr && *emulated != '\0';
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = temporary_root() + "/sl_depth_test_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  nftw(
      path.c_str(),
      [](const char *name, const struct stat *, int, struct FTW *) { return remove(name); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> list_files(const std::string &directory) {
  std::vector<std::string> names;
  if (DIR *dir = opendir(directory.c_str())) {
    while (dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != ".." && name != ".stdout" && name != ".stderr") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

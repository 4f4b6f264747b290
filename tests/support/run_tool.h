// run_tool.h - helpers for end-to-end tests: temporary folders, files, and runs of the built tool
// A run captures standard error and standard output byte for byte, and the exit status.
#pragma once

#include <string>
#include <vector>

namespace ptdelta::testing {

// A fresh folder under TMPDIR (or /tmp), removed with its contents at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// Names in `dir`, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string err;  // standard error
  std::string out;  // standard output
};

// How the child's standard descriptors and identity are set up. By default
// standard input is /dev/null and standard output and error are captured.
struct ChildSetup {
  int out = -1;               // a descriptor to hand over as standard output instead
  int err = -1;               // ... as standard error
  std::vector<int> closed;    // descriptors (0, 1, 2) closed before the tool starts
  int uid = -1;               // run as this user and group (root only)
  int gid = -1;
  long file_size_limit = -1;  // RLIMIT_FSIZE in bytes
};

// Runs the built ptdelta with `args` in the working folder `cwd`, standard input /dev/null.
RunResult run_ptdelta(const std::vector<std::string>& args, const std::string& cwd, const ChildSetup& setup = {});

// Starts the built ptdelta (standard output and error as `setup` says, /dev/null
// when not given; no core files) and returns its process id; waiting is the caller's.
int start_ptdelta(const std::vector<std::string>& args, const std::string& cwd, const ChildSetup& setup);
// Waits for a child; its exit status, or 128 + signal number.
int wait_status(int pid);

// The banner every run starts with.
std::string banner_text();

// Standard output of a shell command and its wait status (-1 when it cannot be started).
struct CommandOutput {
  int status = -1;
  std::string out;
};
CommandOutput shell_output(const std::string& command);

// Debian's interpreter, not whatever a user's PATH puts first.
std::string python();

}  // namespace ptdelta::testing

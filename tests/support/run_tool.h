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

// Runs the built ptdelta with `args` in the working folder `cwd`, standard input closed.
RunResult run_ptdelta(const std::vector<std::string>& args, const std::string& cwd);

// The banner every run starts with.
std::string banner_text();

}  // namespace ptdelta::testing

#include "support/run_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ptdelta::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/ptdelta-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

int start_ptdelta(const std::vector<std::string>& args, const std::string& cwd, const ChildSetup& setup) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid != 0) return pid;
  const int in = open("/dev/null", O_RDONLY);
  const int null_out = open("/dev/null", O_WRONLY);
  const int out = setup.out >= 0 ? setup.out : null_out;
  const int err = setup.err >= 0 ? setup.err : null_out;
  if (in < 0 || null_out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  for (const int fd : setup.closed) close(fd);
  rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  if (setup.file_size_limit >= 0) {
    const auto limit = static_cast<rlim_t>(setup.file_size_limit);
    rlimit fsize{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) _exit(126);
  }
  if (chdir(cwd.c_str()) != 0) _exit(126);
  if (setup.gid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(setup.gid)) != 0)) _exit(126);
  if (setup.uid >= 0 && setuid(static_cast<uid_t>(setup.uid)) != 0) _exit(126);
  std::vector<char*> argv;
  std::string program = PTDELTA_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int wait_status(int pid) {
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

RunResult run_ptdelta(const std::vector<std::string>& args, const std::string& cwd, const ChildSetup& setup) {
  TempDir capture;
  const std::string err_path = capture / "stderr", out_path = capture / "stdout";
  ChildSetup child = setup;
  int out = -1, err = -1;
  if (child.out < 0) child.out = out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (child.err < 0) child.err = err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (child.out < 0 || child.err < 0) throw std::runtime_error("cannot capture");
  RunResult r;
  r.status = wait_status(start_ptdelta(args, cwd, child));
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  r.err = read_file(err_path);
  r.out = read_file(out_path);
  return r;
}

std::string banner_text() {
  return "ptdelta " PTDELTA_VERSION " - distances of a test point cloud from a reference point cloud\n"
         "If you use ptdelta in your research, please acknowledge it in your publications.\n"
         "https://ptdelta.example.org\n"
         "This software is provided as is, without warranty of any kind.\n"
         "You may use it only under the terms of its license.\n\n";
}

CommandOutput shell_output(const std::string& command) {
  CommandOutput r;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
  r.status = pclose(pipe);
  return r;
}

std::string python() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

}  // namespace ptdelta::testing

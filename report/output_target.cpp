#include "report/output_target.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "report/output_file.h"

namespace ptdelta {

namespace output_detail {

namespace {

// Six name characters that differ from call to call and from process to process.
std::string random_suffix() {
  static std::uint64_t counter = 0;
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t z = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                    (static_cast<std::uint64_t>(getpid()) << 40) ^ (++counter * 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  z ^= z >> 31;
  static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s(6, 'x');
  for (char& c : s) {
    c = alphabet[z % 62];
    z /= 62;
  }
  return s;
}

bool is_decimal(const std::string& s) {
  return !s.empty() && s.size() <= 9 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// True for this process's descriptor folder (/proc/self/fd, /dev/fd), whose
// entries name descriptors rather than files.
bool is_own_descriptor_folder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return false;
  const std::string resolved = real;
  std::free(real);
  return resolved == "/proc/" + std::to_string(getpid()) + "/fd";
}

// The names of the extended attributes of `fd`; none where the file system keeps none.
bool attribute_names(int fd, std::vector<std::string>& names) {
  names.clear();
  ssize_t size = flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  std::string list(static_cast<std::size_t>(size), '\0');
  size = flistxattr(fd, list.data(), list.size());
  if (size < 0) return false;
  for (std::size_t i = 0; i < static_cast<std::size_t>(size);) {
    const std::size_t end = list.find('\0', i);
    if (end == std::string::npos) break;
    names.push_back(list.substr(i, end - i));
    i = end + 1;
  }
  return true;
}

}  // namespace

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temporary_base(const std::string& base, long name_max) {
  if (name_max <= 0 || base.size() + 7 <= static_cast<std::size_t>(name_max)) return base + "." + random_suffix();
  return ".ptdelta." + random_suffix();
}

long name_max_of(int folder_fd) {
  const long n = fpathconf(folder_fd, _PC_NAME_MAX);
  return n > 0 ? n : NAME_MAX;
}

Target resolve_target(const std::string& name) {
  Target t;
  t.path = name;
  for (int hop = 0; hop < 40; ++hop) {
    const std::string folder = folder_of(t.path), base = base_of(t.path);
    if (is_decimal(base) && is_own_descriptor_folder(folder)) {
      t.kind = Target::descriptor_number;
      t.descriptor = std::atoi(base.c_str());
      return t;
    }
    struct stat link {};
    if (lstat(t.path.c_str(), &link) != 0) {
      // A missing name is a new file (a dangling symlink creates its target);
      // anything else (a missing folder, no search permission) fails as open would.
      t.kind = errno == ENOENT && !base.empty() ? Target::missing : Target::unusable;
      return t;
    }
    if (!S_ISLNK(link.st_mode)) {
      t.kind = Target::existing;
      t.st = link;
      return t;
    }
    std::string to(static_cast<std::size_t>(PATH_MAX) + 1, '\0');
    const ssize_t n = readlink(t.path.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= to.size()) return t;
    to.resize(static_cast<std::size_t>(n));
    t.path = to[0] == '/' ? to : folder + "/" + to;
  }
  return t;  // a loop of links
}

bool take_identity(int from, int to) {
  struct stat want {};
  struct stat have {};
  if (fstat(from, &want) != 0 || fstat(to, &have) != 0) return false;
  if ((have.st_uid != want.st_uid || have.st_gid != want.st_gid) && fchown(to, want.st_uid, want.st_gid) != 0)
    return false;
  std::vector<std::string> wanted, present;
  if (!attribute_names(from, wanted) || !attribute_names(to, present)) return false;
  // What the folder gave the new file (a default ACL) and the old one lacks goes.
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() && fremovexattr(to, name.c_str()) != 0)
      return false;
  }
  // The mode before the ACL: setting the ACL sets the group bits from its mask,
  // which are the old file's group bits already.
  if (fchmod(to, want.st_mode & 07777) != 0) return false;
  std::vector<char> value;
  for (const std::string& name : wanted) {
    const ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<std::size_t>(size) + 1);
    const ssize_t got = fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 || fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) return false;
  }
  // Bits the system silently refused (set-group-ID outside our groups) show here.
  if (fstat(to, &have) != 0) return false;
  return have.st_uid == want.st_uid && have.st_gid == want.st_gid && (have.st_mode & 07777) == (want.st_mode & 07777);
}

bool is_mount_point(int fd, const struct stat& target, const struct stat& folder) {
  if (target.st_dev != folder.st_dev) return true;
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return false;
}

bool proc_available() {
  static const bool available = access("/proc/self/fd", X_OK) == 0;
  return available;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::optional<TargetKey> key_of(const std::string& output) {
  const Target target = resolve_target(output);
  if (target.kind == Target::existing && S_ISREG(target.st.st_mode)) return TargetKey{target.st.st_dev, target.st.st_ino, {}};
  struct stat folder {};
  if (target.kind == Target::missing && stat(folder_of(target.path).c_str(), &folder) == 0)
    return TargetKey{folder.st_dev, folder.st_ino, base_of(target.path)};
  return std::nullopt;
}

}  // namespace output_detail

using namespace output_detail;

bool is_file_target(const std::string& name) {
  const Target target = resolve_target(name);
  if (target.kind == Target::descriptor_number) return false;
  return target.kind != Target::existing || S_ISREG(target.st.st_mode);
}

}  // namespace ptdelta

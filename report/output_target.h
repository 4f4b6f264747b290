// output_target.h - where writing a name lands, and what a replaced file is
// Private to the output files: symlinks and descriptors followed as open() follows them, temporary names, identity copying.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace ptdelta::output_detail {

// The folder part of `path` ("." without one, "/" for the root) and the name in it.
std::string folder_of(const std::string& path);
std::string base_of(const std::string& path);

// "NAME.XXXXXX", or ".ptdelta.XXXXXX" when the name leaves no room for a suffix;
// the six characters differ from call to call and from process to process.
std::string temporary_base(const std::string& base, long name_max);
// The longest name the folder takes (NAME_MAX when it does not tell).
long name_max_of(int folder_fd);

// Where writing `name` lands, followed link by link as open() would follow it.
struct Target {
  enum Kind { unusable, descriptor_number, missing, existing } kind = unusable;
  std::string path;     // the end of the symlink chain
  int descriptor = -1;  // kind == descriptor
  struct stat st {};    // kind == existing
};

Target resolve_target(const std::string& name);

// What makes two names the same file: an existing file's own identity, a new
// file's folder and name. Direct targets have none: they replace nothing.
struct TargetKey {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;  // empty for an existing file
  bool operator==(const TargetKey&) const = default;
};

std::optional<TargetKey> key_of(const std::string& output);

// Gives the new file `to` the owner, group, mode and extended attributes (ACLs
// among them) of `from`. False when any of them cannot be given exactly, so that
// a rename would change what the file is.
bool take_identity(int from, int to);

// A rename over a mount point (a bind-mounted file) fails or would hide it.
bool is_mount_point(int fd, const struct stat& target, const struct stat& folder);

// True when /proc/self/fd can be searched (unnamed temporaries are linked through it).
bool proc_available();

// Closes `fd` if it is open and leaves it -1.
void close_fd(int& fd);

}  // namespace ptdelta::output_detail

// output_file.h - checked, buffered outputs that appear only when complete, alone or as a set
// A target is examined when opened (as a plain open would), written elsewhere, and put in place at the end.
//
// How a target is written, decided by open():
//  - a descriptor (/dev/stdout, /dev/fd/N) or an existing file that is not a regular file (a device,
//    a pipe): the bytes go straight to it; nothing is created or replaced ("direct");
//  - a new file, or an existing regular file that a rename can replace without changing what it is:
//    a temporary file in the target's folder (unnamed where the file system allows, so not even
//    SIGKILL leaves it behind), given the owner, group, mode and extended attributes (ACLs among
//    them) of the file it replaces, renamed over the target when complete ("rename");
//  - an existing regular file that a rename would change (more than one hard link, a mount point,
//    an owner, group, ACL or attribute the temporary cannot take) or beside which no temporary can
//    be made: the new contents are completed elsewhere (an unnamed file in $TMPDIR, or memory),
//    the target's space is reserved, and only then are they copied into it ("in place").
// Either way a target keeps its earlier contents through every failure before publishing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"

namespace ptdelta {

class OutputFile {
 public:
  enum class Placement { none, direct, rename, in_place };

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // An output never published is discarded: its temporary goes, its target stays as it was.
  ~OutputFile();

  // Examines the target and prepares the writing. Failure::cannot_open when a plain
  // open for writing would fail (a read-only file, a missing folder, a folder that
  // takes no new file, a name too long), so a run can say so before its work.
  Failure open(const std::string& name);

  // Buffered; an error is remembered and reported by complete().
  void write(std::string_view text);
  // Room for at least `size` bytes to format into; hand the end of what was
  // written to commit(). `size` must not exceed block_size.
  char* reserve(std::size_t size) {
    if (static_cast<std::size_t>(block_end_ - cur_) < size) flush_block();
    return cur_;
  }
  void commit(char* end) { cur_ = end; }

  // Writes out what is buffered and checks every write. A direct output is then
  // done; a file's new contents are complete but not yet in place. Failure::write_error
  // when anything failed (the output is then discarded).
  Failure complete();
  // Puts completed contents in place: rename, or (in place) reserve the space and
  // copy. Failure::write_error when that fails; the target is then as it was.
  // Call with the folder locked and signals held (OutputSet does).
  Failure publish();
  // complete() and publish() for an output written alone.
  Failure finish();

  const std::string& name() const { return name_; }
  Placement placement() const { return placement_; }
  // The folder the target is in (a rename's and a lock's folder); -1 for a direct output.
  int folder_descriptor() const { return folder_fd_; }

  static constexpr std::size_t block_size = std::size_t{1} << 20;

 private:
  friend class OutputSet;
  Failure open_file_target(const std::string& path, bool exists);
  bool make_temporary_beside(mode_t mode);
  bool stage_elsewhere();
  Failure reserve_space();
  void release_space();
  Failure copy_into_target();
  Failure rename_into_place();
  void flush_block();
  // Writes `size` bytes to where the output is being completed (or memory).
  void put(const char* bytes, std::size_t size);
  void discard();

  std::string name_;
  std::string base_;            // the final name within the folder (the end of a symlink chain)
  int folder_fd_ = -1;
  int target_fd_ = -1;          // an existing target, open for writing (direct and in place)
  int fd_ = -1;                 // where the bytes go: the target, a temporary or a staging file
  Placement placement_ = Placement::none;
  bool unnamed_ = false;        // fd_ is an unnamed temporary of the target's folder
  std::string temp_path_;       // a named temporary beside the target, removed by an interrupt
  std::string temp_base_;
  int signal_slot_ = -1;
  bool in_memory_ = false;      // staged in memory_ (no file could be made anywhere)
  std::vector<char> memory_;
  bool completed_ = false;
  bool reserved_ = false;       // in place: the target's space for staged_size_ bytes is reserved
  off_t earlier_size_ = 0;
  off_t staged_size_ = 0;
  std::unique_ptr<char[]> block_;
  char* cur_ = nullptr;
  char* block_end_ = nullptr;
  bool failed_ = false;
};

// The outcome of opening or publishing a set: the failure and the name it is about.
struct OutputStatus {
  Failure failure = Failure::none;
  std::string name;
};

// The outputs of one run, published together: all of them or none.
class OutputSet {
 public:
  // An output to open and publish with the others; the reference stays valid.
  OutputFile& add(const std::string& name);
  // Opens the outputs in the order added. Two that are the same file (a log that
  // links to the export) are refused before any is opened: Failure::cannot_open
  // naming the one added first.
  OutputStatus open();
  // Completes every output not yet completed, then, with each folder locked (so two
  // runs never interleave) and interrupts held, publishes them: copies in place first
  // (their space reserved before any byte changes), then renames.
  OutputStatus publish();

 private:
  std::vector<std::unique_ptr<OutputFile>> files_;
  std::vector<std::string> names_;
};

// False when `name` is written straight rather than as a file: a descriptor
// (/dev/stdout) or an existing device, pipe or terminal. Such an export gets no log.
bool is_file_target(const std::string& name);

// At start-up: opens any of descriptors 0, 1, 2 that is closed on /dev/null (so no
// output takes its number and receives console text), and ignores SIGPIPE and SIGXFSZ
// so that a closed pipe or a file size limit is a write error that is reported.
void prepare_process_io();

}  // namespace ptdelta

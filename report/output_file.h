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
//    be made: the new contents wait on the target's own file system (an unnamed file in its
//    folder, else a named one there removed at once, else memory), the earlier contents are kept
//    the same way, the target's space is reserved, and only then is it overwritten ("in place").
// Either way a target keeps its earlier contents through every failure before publishing, and a
// set whose publishing fails part-way is put back as it was.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "report/output_staging.h"

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
  // done (closed, the close checked); a file's new contents are complete but not yet
  // in place. Failure::write_error when anything failed (the output is then discarded).
  Failure complete();
  // complete(), then publishing as a set of one (see OutputSet::publish).
  Failure finish();

  const std::string& name() const { return name_; }
  Placement placement() const { return placement_; }
  // The folder the target is in (a rename's and a lock's folder); -1 for a direct output.
  int folder_descriptor() const { return folder_fd_; }
  // The calls that sync, close, link, rename and copy this output (a test's seam).
  void use_system_calls(SystemCalls& calls) { calls_ = &calls; }

  static constexpr std::size_t block_size = std::size_t{1} << 20;

 private:
  friend class OutputSet;
  Failure open_file_target(const std::string& path, bool exists);
  bool make_temporary_beside(mode_t mode);
  void forget_temporary();
  // Publishing in steps, with the folder locked and interrupts held. prepare() makes
  // every change that leaves the target as it is (the temporary synced, closed and
  // linked under a temporary name, the earlier file linked aside or its contents
  // kept, the space reserved); replace() puts the new contents at the name; undo()
  // brings the earlier file back after either; settle() drops what undo() needed.
  Failure prepare();
  Failure keep_earlier_aside();
  Failure link_temporary();
  Failure prepare_in_place();
  Failure replace();
  void undo();
  void settle();
  Failure reserve_space();
  void release_space();
  void flush_block();
  // Writes `size` bytes to where the output is being completed.
  void put(const char* bytes, std::size_t size);
  void discard();

  std::string name_;
  std::string base_;            // the final name within the folder (the end of a symlink chain)
  int folder_fd_ = -1;
  int target_fd_ = -1;          // an existing target, open for writing (direct and in place)
  int fd_ = -1;                 // where the bytes go: the target or a temporary (not in place)
  Placement placement_ = Placement::none;
  SystemCalls* calls_ = &real_system_calls();
  bool unnamed_ = false;        // fd_ is an unnamed temporary of the target's folder
  std::string temp_path_;       // a named temporary beside the target, removed by an interrupt
  std::string temp_base_;
  int signal_slot_ = -1;
  output_detail::Staging staged_;   // in place: the new contents
  output_detail::Staging earlier_;  // in place: the earlier contents, for undo()
  std::string aside_base_;      // rename: the name the earlier file is kept under until settled
  bool aside_linked_ = false;   // ... a second link made by prepare()
  bool aside_moved_ = false;    // ... the file itself, renamed there by replace()
  bool aside_by_rename_ = false;  // no second link could be made: replace() renames it aside
  bool completed_ = false;
  bool replaced_ = false;
  bool reserved_ = false;       // in place: the target's space for the new size is reserved
  off_t earlier_size_ = 0;
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
  // Completes every output not yet completed; then locks each folder (a wait that a
  // signal ends, publishing nothing) so two runs never interleave; then, interrupts
  // held, prepares every output, replaces them one by one, and on a failure puts
  // back those already replaced: the set on disk is the earlier one or the new one.
  OutputStatus publish();
  // The calls every output of the set makes (a test's seam).
  void use_system_calls(SystemCalls& calls);

 private:
  friend class OutputFile;
  static OutputStatus publish_files(const std::vector<OutputFile*>& files);

  std::vector<std::unique_ptr<OutputFile>> files_;
  std::vector<std::string> names_;
  SystemCalls* calls_ = &real_system_calls();
};

// False when `name` is written straight rather than as a file: a descriptor
// (/dev/stdout) or an existing device, pipe or terminal. Such an export gets no log.
bool is_file_target(const std::string& name);

// At start-up: opens any of descriptors 0, 1, 2 that is closed on /dev/null (so no
// output takes its number and receives console text), and ignores SIGPIPE and SIGXFSZ
// so that a closed pipe or a file size limit is a write error that is reported.
void prepare_process_io();

}  // namespace ptdelta

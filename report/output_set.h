// output_set.h - what the outputs of a run share while they are made and published
// Private to the output files (and a tiled run's work folder): interrupts held, what an interrupt removes, folder locks.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

namespace ptdelta::output_detail {

// Installs, once per process, the handlers that remove registered temporaries
// on SIGINT, SIGTERM, SIGHUP and SIGQUIT and then end the run by that signal.
// A signal the caller chose to ignore (nohup) stays ignored.
void install_interrupt_handlers();

// Interrupts wait while held: a temporary is never made without being registered,
// and outputs are never left half published.
class HeldInterrupts {
 public:
  HeldInterrupts();
  ~HeldInterrupts();
  HeldInterrupts(const HeldInterrupts&) = delete;
  HeldInterrupts& operator=(const HeldInterrupts&) = delete;

 private:
  sigset_t previous_;
};

// Registers a named temporary for removal by an interrupt: its slot, or -1 when
// none is free or the name is too long. Call with interrupts held.
int claim_slot(const std::string& name);
// Forgets the temporary of `slot` (if any) and leaves the slot -1.
void release_slot(int& slot);

// Registers a folder the run made for itself: an interrupt unlinks every entry
// in it, then removes it. One at a time; false when one is registered already
// or the name is too long. Call with interrupts held, after install_interrupt_handlers().
bool claim_folder(const std::string& path);
void release_folder();

// Exclusive locks on the folders of the outputs (each folder once, in a fixed
// order), so two runs publishing to the same names never interleave. Each is a
// lock file of our own in the folder (".ptdelta.lock", there only while held),
// else the folder itself unless an inherited descriptor of ours holds its lock
// already. The wait is not protected from interrupts.
class FolderLocks {
 public:
  explicit FolderLocks(const std::vector<int>& folders);
  ~FolderLocks();
  FolderLocks(const FolderLocks&) = delete;
  FolderLocks& operator=(const FolderLocks&) = delete;
  // Lets go of every lock (the lock files are removed first).
  void release();

 private:
  struct Lock {
    int folder = -1;  // a descriptor of our own
    int fd = -1;      // the lock file
    bool on_folder = false;  // the folder's own lock is ours to let go
  };
  std::vector<Lock> locked_;
};

}  // namespace ptdelta::output_detail

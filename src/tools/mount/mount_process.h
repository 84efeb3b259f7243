// How a mount command runs its mount: in the foreground, or in a process of
// its own that tells the command how the mount went, so that the command
// returns only once the tree can be used (or with the failure's status).
#pragma once

#include <functional>
#include <string>

namespace vaultfs::mount {

// The mount process's side of the report: one status byte through a pipe.
// A report that was never made is a failure.
class TMountStatus {
 public:
  TMountStatus(int fd, int failedStatus) : fd_(fd), failed_(failedStatus) {}
  ~TMountStatus() { Report(failed_); }
  TMountStatus(const TMountStatus&) = delete;
  TMountStatus& operator=(const TMountStatus&) = delete;
  // Sends `status` (the first report only) and returns it.
  int Report(int status);

 private:
  int fd_;
  int failed_;
};

// Runs `serve` here (foreground) or in a forked process whose report this
// process waits for and returns. The fork comes before `serve` opens the
// container: the engine's worker threads would not survive it. `program`
// names the messages; `failedStatus` is the exit status of a failure.
int RunMountProcess(bool foreground, const char* program, int failedStatus,
                    const std::function<int(TMountStatus&)>& serve);

// For a mount served in the background, once it is in place: its own
// session, no terminal, nothing held open that a script waits on.
void DetachFromTerminal();

// Ends the mount at `directory` (fusermount3 -u); false when that failed
// (fusermount3 says why; a failure to run it is reported here).
bool UnmountFuse(const std::string& directory, const char* program);

}  // namespace vaultfs::mount

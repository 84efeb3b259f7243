// Browsing a protected folder: its tree mounted read-only (FUSE) in a folder
// of the user's runtime directory by "korvane-cli mount --foreground", run as
// a child of the program, and taken down again when the browse ends or the
// program does.
//
// Layout of the browse root (<runtime>/korvane, mode 0700):
//   NAME             the mount folder of one browse (mode 0700)
//   .owners/NAME     its owner record: "PID STARTTIME\n" of the process that
//                    made it (STARTTIME from /proc/PID/stat, so that a
//                    reused process id is never taken for the owner)
// A record is written before its folder is made and removed after the
// folder is gone, all under an exclusive lock of the root; a folder without
// a live owner is left over from a run that was killed, and the next run
// unmounts and removes it (CleanStaleBrowseMounts).
//
// The password reaches the child through a pipe (--password-fd), never its
// command line or environment. The child has its own process group (a
// terminal's Ctrl-C reaches the program, which ends the browse in order) and
// gets SIGTERM when the program dies, which makes it unmount.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace korvane::platform {

// The folder that holds this user's browse mounts, made when missing:
// $XDG_RUNTIME_DIR/korvane, or /tmp/korvane-browse-UID without a runtime
// directory. It (and a /tmp fallback's name) must be a real folder of this
// user that nobody else may enter: false with the reason otherwise.
bool BrowseRoot(std::string& root, std::string& error);

// Whether `path` (absolute, clean) is a mount point in this process's mount
// table (/proc/self/mountinfo); a FUSE mount whose server died counts.
bool IsMountPoint(const std::string& path);

// The korvane-cli that mounts: the one beside `executablePath` (the running
// program), else the first on $PATH; empty when there is none.
std::string FindBrowseTool(const std::string& executablePath);

// The folder name a browse of `container` wants: the container's file name
// without "._zkvlk" ("folder" when that leaves nothing usable).
std::string BrowseName(const std::string& container);

// Unmounts and removes what browses of processes that are gone left in
// `root`: mounts (fusermount3 -u, then -uz when busy), empty folders and
// records without a folder. A browse whose owner runs is never touched.
// Returns one line per thing done or failed.
std::vector<std::string> CleanStaleBrowseMounts(const std::string& root);

// Writes the owner record of the calling process for `name` in `root`
// (tests make stale and live records with it; BrowseMount writes its own).
bool WriteOwnerRecord(const std::string& root, const std::string& name, pid_t pid,
                      unsigned long long startTime);
// The start time (clock ticks after boot, /proc/PID/stat) of a running
// process; 0 when it is not running.
unsigned long long ProcessStartTime(pid_t pid);

class BrowseMount {
 public:
  enum class State { Idle, Starting, Mounted, Failed, Ended };
  enum class UnmountResult { Done, Busy, Failed };

  BrowseMount() = default;
  // Ends a browse still running: unmount, lazily when busy.
  ~BrowseMount();
  BrowseMount(const BrowseMount&) = delete;
  BrowseMount& operator=(const BrowseMount&) = delete;

  // Claims a free folder in `root` (NAME, then "NAME (2)", ...: a name taken
  // by a live browse is skipped, a stale one cleaned up first) and starts
  // `tool` on `container` with `password`. False with the reason when the
  // folder or the process cannot be made (the state is then Failed).
  bool Start(const std::string& tool, const std::string& root, const std::string& container,
             const std::string& name, const std::string& password, std::string& error);
  // Waits at most `timeoutMs` for the mount to be in place (Mounted) or the
  // child to end without it (Failed); Starting when neither happened yet.
  State Wait(int timeoutMs);
  State GetState() const { return state_; }
  // After Failed: the child's exit status (-1 when it did not exit normally)
  // and what it said on its standard error.
  int ExitStatus() const { return exitStatus_; }
  const std::string& Messages() const { return messages_; }

  const std::string& Folder() const { return folder_; }
  const std::string& Name() const { return name_; }

  // Ends the mount (fusermount3 -u; -uz when `lazy`), waits for the child
  // and removes the folder and its record. Busy leaves everything as it
  // was, with fusermount3's words in `message`.
  UnmountResult Unmount(bool lazy, std::string& message);
  // The way out when the program ends: Unmount, lazily when busy; nothing
  // when no browse runs.
  void End();

 private:
  void ReapChild(int graceMs);
  void RemoveFolderAndRecord();
  void Abandon();

  State state_ = State::Idle;
  pid_t child_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string messages_;
  int exitStatus_ = -1;
  std::string root_;
  std::string name_;
  std::string folder_;
};

}  // namespace korvane::platform

#include "korvane/platform/browse_mount.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "korvane/platform/platform.h"

namespace korvane::platform {

namespace {

constexpr const char* kOwnersFolder = ".owners";
// A name is at most this long on the file systems a runtime folder lives on.
constexpr std::size_t kMaxNameBytes = 255;
// How many "NAME (n)" are tried before giving up.
constexpr int kMaxNameTries = 100;
// After an unmount the mounting process ends at once; one that does not is
// asked to (SIGTERM), then made to (SIGKILL).
constexpr int kChildExitGraceMs = 5000;
constexpr int kChildTermGraceMs = 2000;

std::string ErrorText(int error) {
  return std::strerror(error);
}

// An exclusive lock of the browse root for as long as it lives: claims and
// clean-ups of two programs never interleave.
class RootLock {
 public:
  explicit RootLock(const std::string& root)
      : fd_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~RootLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  RootLock(const RootLock&) = delete;
  RootLock& operator=(const RootLock&) = delete;

 private:
  int fd_;
};

// Makes `folder` (mode 0700) unless it exists, and checks that it is a real
// folder of ours that nobody else may enter. False with the reason.
bool PrivateFolder(const std::string& folder, std::string& error) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "Cannot make the folder \"" + folder + "\": " + ErrorText(errno);
    return false;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    error = "Cannot use the folder \"" + folder + "\": " + ErrorText(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    error = "\"" + folder + "\" is not a folder of yours; nothing was mounted there.";
    return false;
  }
  if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    error = "Cannot make the folder \"" + folder + "\" private: " + ErrorText(errno);
    return false;
  }
  return true;
}

// The mount points of /proc/self/mountinfo (the fifth field, its octal
// escapes decoded).
std::vector<std::string> MountPoints() {
  std::vector<std::string> points;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    std::string decoded;
    for (std::size_t at = 0; at < field.size(); ++at) {
      if (field[at] == '\\' && at + 3 < field.size()) {
        const std::string octal = field.substr(at + 1, 3);
        if (octal.size() == 3 && octal.find_first_not_of("01234567") == std::string::npos) {
          decoded.push_back(static_cast<char>(std::strtol(octal.c_str(), nullptr, 8)));
          at += 3;
          continue;
        }
      }
      decoded.push_back(field[at]);
    }
    points.push_back(std::move(decoded));
  }
  return points;
}

// Runs a program with no input, its output dropped and its standard error
// kept in `messages`; its exit status, or -1 when it did not exit normally
// or could not be started.
int RunProgram(const std::vector<std::string>& arguments, std::string& messages) {
  messages.clear();
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return -1;
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls: the program may have other threads.
    const int in = ::fcntl(devNull, F_DUPFD_CLOEXEC, 10);
    const int err = ::fcntl(errPipe[1], F_DUPFD_CLOEXEC, 10);
    ::dup2(in, STDIN_FILENO);
    ::dup2(in, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(errPipe[1]);
  if (devNull >= 0) ::close(devNull);
  if (child < 0) {
    ::close(errPipe[0]);
    return -1;
  }
  char buffer[1024];
  for (;;) {
    const ssize_t got = ::read(errPipe[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (messages.size() < 16384) messages.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(errPipe[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

// fusermount3 -u (with -z: lazily) on `folder`. True when the folder is no
// mount point afterwards; `messages` has what fusermount3 said.
bool FuseUnmount(const std::string& folder, bool lazy, std::string& messages) {
  const std::string program = FindOnPath("fusermount3");
  if (program.empty()) {
    messages = "fusermount3 is missing (Debian package fuse3)";
    return !IsMountPoint(folder);
  }
  std::vector<std::string> arguments = {program, "-u"};
  if (lazy) arguments.emplace_back("-z");
  arguments.emplace_back("--");
  arguments.push_back(folder);
  const int status = RunProgram(arguments, messages);
  messages = Trimmed(messages);
  return status == 0 || !IsMountPoint(folder);
}

bool ReadOwnerRecord(const std::string& path, pid_t& pid, unsigned long long& startTime) {
  std::ifstream record(path);
  long long number = 0;
  if (!(record >> number >> startTime) || number <= 0) return false;
  pid = static_cast<pid_t>(number);
  return true;
}

// Whether the process that wrote the record still runs.
bool OwnerAlive(const std::string& record) {
  pid_t pid = 0;
  unsigned long long startTime = 0;
  if (!ReadOwnerRecord(record, pid, startTime)) return false;
  return startTime != 0 && ProcessStartTime(pid) == startTime;
}

// Unmounts and removes one browse whose owner is gone (the root is locked).
void CleanEntry(const std::string& root, const std::string& name,
                std::vector<std::string>& report) {
  const std::string folder = root + "/" + name;
  const std::string record = root + "/" + kOwnersFolder + "/" + name;
  if (IsMountPoint(folder)) {
    std::string messages;
    if (!FuseUnmount(folder, false, messages) && !FuseUnmount(folder, true, messages)) {
      report.push_back("failed: unmount " + folder + ": " + messages);
      return;
    }
    report.push_back("unmounted " + folder);
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    if (::rmdir(folder.c_str()) == 0) {
      report.push_back("removed " + folder);
    } else {
      report.push_back("failed: remove " + folder + ": " + ErrorText(errno));
      return;
    }
  }
  if (::unlink(record.c_str()) == 0) report.push_back("removed " + record);
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

// "NAME", "NAME (2)", ...: the base is cut (never inside a UTF-8 character)
// so that the whole stays a usable name.
std::string Candidate(const std::string& base, int number) {
  const std::string suffix = number == 1 ? std::string() : " (" + std::to_string(number) + ")";
  std::string name = base;
  if (name.size() + suffix.size() > kMaxNameBytes) {
    std::size_t keep = kMaxNameBytes - suffix.size();
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    name.resize(keep);
  }
  return name + suffix;
}

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

// Writes the password into the child's pipe. A child that ended already
// makes the write fail with EPIPE, never raise SIGPIPE here.
void SendPassword(int fd, const std::string& password) {
  sigset_t pipeSignal;
  sigset_t previous;
  ::sigemptyset(&pipeSignal);
  ::sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  WriteAll(fd, password.data(), password.size());
  WriteAll(fd, "\n", 1);
  const timespec now{0, 0};
  while (::sigtimedwait(&pipeSignal, nullptr, &now) > 0) {
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

// ---------------------------------------------------------------- places

bool BrowseRoot(std::string& root, std::string& error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    root = AbsolutePath(runtime) + "/korvane";
  } else {
    root = "/tmp/korvane-browse-" + std::to_string(::geteuid());
  }
  return PrivateFolder(root, error) && PrivateFolder(root + "/" + kOwnersFolder, error);
}

bool IsMountPoint(const std::string& path) {
  for (const std::string& point : MountPoints()) {
    if (point == path) return true;
  }
  return false;
}

std::string FindBrowseTool(const std::string& executablePath) {
  if (!executablePath.empty()) {
    const std::string beside = ParentDirectory(executablePath) + "/korvane-cli";
    struct stat info {};
    if (::stat(beside.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(beside.c_str(), X_OK) == 0)
      return beside;
  }
  return FindOnPath("korvane-cli");
}

std::string BrowseName(const std::string& folderPath) {
  const std::size_t slash = folderPath.find_last_of('/');
  std::string name = slash == std::string::npos ? folderPath : folderPath.substr(slash + 1);
  if (name.empty() || name == "." || name == ".." || name == kOwnersFolder) return "folder";
  return name;
}

unsigned long long ProcessStartTime(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  // The name in parentheses may hold anything; the fields after its last
  // ')' are plain: the state is field 3, the start time field 22.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int number = 3; number <= 22; ++number) {
    if (!(fields >> field)) return 0;
    if (number == 3 && (field == "Z" || field == "X")) return 0;
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

bool WriteOwnerRecord(const std::string& root, const std::string& name, pid_t pid,
                      unsigned long long startTime) {
  const std::string path = root + "/" + kOwnersFolder + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text = std::to_string(pid) + " " + std::to_string(startTime) + "\n";
  WriteAll(fd, text.data(), text.size());
  return ::close(fd) == 0;
}

std::vector<std::string> CleanStaleBrowseMounts(const std::string& root) {
  std::vector<std::string> report;
  RootLock lock(root);
  const std::string owners = root + "/" + kOwnersFolder;
  for (const std::string& name : FolderNames(root)) {
    if (name == kOwnersFolder) continue;
    // A mount whose server died cannot even be looked at (ENOTCONN): the
    // mount table says what it is.
    const std::string folder = root + "/" + name;
    struct stat info {};
    if (!IsMountPoint(folder) && (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
      continue;
    if (OwnerAlive(owners + "/" + name)) continue;
    CleanEntry(root, name, report);
  }
  // Records whose folder went already.
  for (const std::string& name : FolderNames(owners)) {
    struct stat info {};
    if (::lstat((root + "/" + name).c_str(), &info) == 0 || errno != ENOENT) continue;
    if (OwnerAlive(owners + "/" + name)) continue;
    if (::unlink((owners + "/" + name).c_str()) == 0)
      report.push_back("removed " + owners + "/" + name);
  }
  return report;
}

// ---------------------------------------------------------------- a browse

BrowseMount::~BrowseMount() {
  End();
}

bool BrowseMount::Start(const std::string& tool, const std::string& root,
                        const std::string& container, const std::string& name,
                        const std::string& password, std::string& error) {
  state_ = State::Failed;
  root_ = root;
  messages_.clear();
  out_.clear();
  exitStatus_ = -1;
  {
    RootLock lock(root);
    const std::string base = BrowseName("/" + name);
    const unsigned long long startTime = ProcessStartTime(::getpid());
    for (int number = 1; number <= kMaxNameTries && folder_.empty(); ++number) {
      const std::string candidate = Candidate(base, number);
      if (candidate == kOwnersFolder) continue;
      const std::string record = root + "/" + kOwnersFolder + "/" + candidate;
      const std::string folder = root + "/" + candidate;
      struct stat info {};
      const bool recorded = ::lstat(record.c_str(), &info) == 0;
      if (recorded && OwnerAlive(record)) continue;
      if (recorded || IsMountPoint(folder)) {
        // Left by a run that is gone: cleaned up, then the name is ours.
        std::vector<std::string> ignored;
        CleanEntry(root, candidate, ignored);
        if (::lstat(record.c_str(), &info) == 0 || IsMountPoint(folder)) continue;
      }
      if (!WriteOwnerRecord(root, candidate, ::getpid(), startTime)) {
        if (errno == EEXIST) continue;
        error = "Cannot write \"" + record + "\": " + ErrorText(errno);
        return false;
      }
      if (::mkdir(folder.c_str(), 0700) != 0) {
        // An empty folder of ours that no record owns is as good as new.
        const bool reusable = errno == EEXIST && ::lstat(folder.c_str(), &info) == 0 &&
                              S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
                              FolderNames(folder).empty() && ::chmod(folder.c_str(), 0700) == 0;
        if (!reusable) {
          const int why = errno;
          ::unlink(record.c_str());
          if (why == EEXIST) continue;
          error = "Cannot make the folder \"" + folder + "\": " + ErrorText(why);
          return false;
        }
      }
      name_ = candidate;
      folder_ = folder;
    }
    if (folder_.empty()) {
      error = "Every folder name for \"" + base + "\" in \"" + root + "\" is taken.";
      return false;
    }
  }

  std::vector<std::string> arguments = {tool, "mount",       container, folder_, "--password-fd",
                                        "3",  "--foreground"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int passwordPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0 || ::pipe2(passwordPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0 ||
      ::pipe2(errPipe, O_CLOEXEC) != 0) {
    error = std::string("Cannot start the mount: ") + ErrorText(errno);
    for (int fd : {devNull, passwordPipe[0], passwordPipe[1], outPipe[0], outPipe[1], errPipe[0],
                   errPipe[1]})
      if (fd >= 0) ::close(fd);
    RemoveFolderAndRecord();
    return false;
  }
  const pid_t parent = ::getpid();
  child_ = ::fork();
  if (child_ == 0) {
    // Only async-signal-safe calls from here on: the program may have
    // other threads. The descriptors are moved out of the way first, so
    // that none of them is overwritten before it is copied.
    const int in = ::fcntl(devNull, F_DUPFD_CLOEXEC, 10);
    const int out = ::fcntl(outPipe[1], F_DUPFD_CLOEXEC, 10);
    const int err = ::fcntl(errPipe[1], F_DUPFD_CLOEXEC, 10);
    const int secret = ::fcntl(passwordPipe[0], F_DUPFD_CLOEXEC, 10);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::dup2(secret, 3);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
      ::sigaction(signalNumber, &defaultAction, nullptr);
    // Ends (and unmounts) when the program dies, however it dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    ::execv(argv[0], argv.data());
    static const char kFailed[] = "korvane: cannot start the mount program\n";
    [[maybe_unused]] const ssize_t said = ::write(STDERR_FILENO, kFailed, sizeof kFailed - 1);
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(devNull);
  ::close(passwordPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  if (child_ < 0) {
    ::close(passwordPipe[1]);
    ::close(outFd_);
    ::close(errFd_);
    outFd_ = errFd_ = -1;
    error = "Cannot start the mount: " + ErrorText(forkError);
    RemoveFolderAndRecord();
    return false;
  }
  SendPassword(passwordPipe[1], password);
  ::close(passwordPipe[1]);
  ::fcntl(outFd_, F_SETFL, O_NONBLOCK);
  ::fcntl(errFd_, F_SETFL, O_NONBLOCK);
  state_ = State::Starting;
  return true;
}

BrowseMount::State BrowseMount::Wait(int timeoutMs) {
  if (state_ != State::Starting) return state_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (outFd_ >= 0 || errFd_ >= 0) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    const int ready = ::poll(fds, 2, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno != EINTR) break;
    for (int index = 0; index < 2; ++index) {
      int& fd = index == 0 ? outFd_ : errFd_;
      std::string& text = index == 0 ? out_ : messages_;
      if (fd < 0 || (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0) {
        if (text.size() < 65536) text.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        ::close(fd);
        fd = -1;
      }
    }
    // The foreground mount says "mounted ..." once the tree is in place.
    const std::size_t said = out_.starts_with("mounted ") ? 0 : out_.find("\nmounted ");
    if (said != std::string::npos && out_.find('\n', said + 1) != std::string::npos &&
        IsMountPoint(folder_)) {
      // Nothing more is read: later words of the child go nowhere.
      for (int* fd : {&outFd_, &errFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
      }
      state_ = State::Mounted;
      return state_;
    }
    if (ready == 0 && std::chrono::steady_clock::now() >= deadline) return state_;
  }
  // Both outputs ended without the mount: the child is done.
  ReapChild(kChildExitGraceMs);
  messages_ = Trimmed(messages_);
  if (IsMountPoint(folder_)) {
    std::string ignored;
    FuseUnmount(folder_, true, ignored);
  }
  RemoveFolderAndRecord();
  state_ = State::Failed;
  return state_;
}

BrowseMount::UnmountResult BrowseMount::Unmount(bool lazy, std::string& message) {
  message.clear();
  if (state_ == State::Starting) {
    Abandon();
    return UnmountResult::Done;
  }
  if (state_ != State::Mounted) return UnmountResult::Done;
  if (!FuseUnmount(folder_, lazy, message)) {
    return message.find("busy") != std::string::npos ? UnmountResult::Busy : UnmountResult::Failed;
  }
  // After a lazy unmount the child would serve files still open until they
  // close; the browse ends now, so it is told to stop at once.
  if (lazy && child_ > 0) ::kill(child_, SIGTERM);
  ReapChild(kChildExitGraceMs);
  RemoveFolderAndRecord();
  state_ = State::Ended;
  return UnmountResult::Done;
}

void BrowseMount::End() {
  if (state_ == State::Starting) {
    Abandon();
    return;
  }
  if (state_ != State::Mounted) return;
  std::string message;
  if (Unmount(false, message) == UnmountResult::Done) return;
  if (Unmount(true, message) == UnmountResult::Done) return;
  // Left for the next run to clean up; the child goes with us.
  Abandon();
}

void BrowseMount::Abandon() {
  for (int* fd : {&outFd_, &errFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (child_ > 0) ::kill(child_, SIGTERM);
  ReapChild(kChildTermGraceMs);
  if (IsMountPoint(folder_)) {
    std::string ignored;
    FuseUnmount(folder_, true, ignored);
  }
  if (!IsMountPoint(folder_)) RemoveFolderAndRecord();
  state_ = State::Ended;
}

void BrowseMount::ReapChild(int graceMs) {
  if (child_ <= 0) return;
  auto waitFor = [this](int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int status = 0;
      const pid_t done = ::waitpid(child_, &status, WNOHANG);
      if (done == child_ || (done < 0 && errno == ECHILD)) {
        if (done == child_) exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        child_ = -1;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  if (waitFor(graceMs)) return;
  ::kill(child_, SIGTERM);
  if (waitFor(kChildTermGraceMs)) return;
  ::kill(child_, SIGKILL);
  waitFor(kChildTermGraceMs);
}

void BrowseMount::RemoveFolderAndRecord() {
  if (folder_.empty()) return;
  RootLock lock(root_);
  ::rmdir(folder_.c_str());
  ::unlink((root_ + "/" + kOwnersFolder + "/" + name_).c_str());
}

}  // namespace korvane::platform

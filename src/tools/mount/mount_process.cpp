// The foreground and background runs of a mount command. See mount_process.h.
#include "tools/mount/mount_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" char** environ;

namespace vaultfs::mount {

int TMountStatus::Report(int status) {
  if (fd_ >= 0) {
    const auto byte = static_cast<unsigned char>(status);
    while (write(fd_, &byte, 1) < 0 && errno == EINTR) {
    }
    close(fd_);
    fd_ = -1;
  }
  return status;
}

namespace {

// The command's side: waits for the status byte. A mount process that ends
// without one failed before it could say so.
int AwaitMountStatus(int fd, const char* program, int failedStatus) {
  auto status = static_cast<unsigned char>(failedStatus);
  ssize_t got = 0;
  do {
    got = read(fd, &status, 1);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got != 1) {
    std::fprintf(stderr, "%s: the mount process ended before the mount was in place\n", program);
    return failedStatus;
  }
  return status;
}

}  // namespace

int RunMountProcess(bool foreground, const char* program, int failedStatus,
                    const std::function<int(TMountStatus&)>& serve) {
  if (foreground) {
    TMountStatus status(-1, failedStatus);
    return serve(status);
  }
  int pipeFds[2] = {-1, -1};
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "%s: pipe: %s\n", program, std::strerror(errno));
    return failedStatus;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "%s: fork: %s\n", program, std::strerror(errno));
    close(pipeFds[0]);
    close(pipeFds[1]);
    return failedStatus;
  }
  if (child > 0) {
    close(pipeFds[1]);
    return AwaitMountStatus(pipeFds[0], program, failedStatus);
  }
  close(pipeFds[0]);
  TMountStatus status(pipeFds[1], failedStatus);
  return serve(status);
}

void DetachFromTerminal() {
  setsid();
  if (chdir("/") != 0) {
    // Paths are absolute; the folder only must not keep a mount busy.
  }
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
  }
}

bool UnmountFuse(const std::string& directory, const char* program) {
  std::vector<std::string> words{"fusermount3", "-u", directory};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, "fusermount3", nullptr, nullptr, argv.data(), environ);
  if (spawned != 0) {
    std::fprintf(stderr, "%s: fusermount3: %s\n", program, std::strerror(spawned));
    return false;
  }
  int wstatus = 0;
  while (waitpid(child, &wstatus, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "%s: fusermount3: %s\n", program, std::strerror(errno));
      return false;
    }
  }
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

}  // namespace vaultfs::mount

// Whether a test folder's file system keeps holes in files, for the tests of
// sparse restores (they skip themselves where it does not).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace testsupport {

inline bool KeepsHoles(const std::string& folder) {
  // A file only extended by its size takes no blocks where holes are kept.
  const std::string probe = folder + "/.hole-probe";
  const int fd = open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return false;
  struct stat st {};
  const bool holes = ftruncate(fd, 1 << 20) == 0 && fstat(fd, &st) == 0 && st.st_blocks == 0;
  close(fd);
  unlink(probe.c_str());
  return holes;
}

}  // namespace testsupport

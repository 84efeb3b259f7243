// Helpers of the mount tests: shell commands, files with given bytes, modes
// and times, and the listing the trees are compared by.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace mounttest {

inline constexpr std::size_t kBlock = 16384;

inline std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// Runs a shell command; its exit status, with stdout and stderr in `output`.
inline int RunShell(const std::string& command, std::string* output = nullptr) {
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes, mode_t mode) {
  std::ofstream(path, std::ios::binary) << bytes;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline std::string Bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  // Half text that compresses, half noise that does not.
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = (i / 1000) % 2 ? static_cast<char>(random()) : static_cast<char>('a' + i % 23);
  return bytes;
}

inline void SetTime(const std::string& path, std::int64_t seconds, long nanoseconds) {
  const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline bool IsMountPoint(const std::string& path) {
  struct stat self {
  }, parent{};
  if (stat(path.c_str(), &self) != 0 || stat((path + "/..").c_str(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev;
}

// Why no mount can be made here ("" when one can).
inline std::string WhyNoMounts() {
  if (access("/dev/fuse", R_OK | W_OK) != 0)
    return "/dev/fuse is missing or not usable here: no mount tests";
  if (RunShell("command -v fusermount3") != 0)
    return "fusermount3 is missing (Debian package fuse3): no mount tests";
  return "";
}

// The listing trees are compared by: path, type, mode, time, link target.
inline std::string Listing(const std::string& dir) {
  std::string out;
  EXPECT_EQ(RunShell("cd " + Quote(dir) + " && find . -printf '%P|%y|%m|%T@|%l\\n' | LC_ALL=C sort",
                     &out),
            0);
  return out;
}

// A tree with files at every block boundary, links (one dangling), a
// subfolder, odd modes, an odd name and nanosecond times.
inline void BuildTree(const std::string& top) {
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  const std::size_t sizes[] = {0, 1, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 7};
  std::int64_t when = 1600000000;
  for (std::size_t size : sizes) {
    const std::string path = top + "/f" + std::to_string(size);
    WriteFile(path, Bytes(size, static_cast<std::uint32_t>(size)), 0640);
    SetTime(path, when++, 123456789);
  }
  WriteFile(top + "/read-only", "do not write\n", 0444);
  SetTime(top + "/read-only", 1234567890, 1);
  WriteFile(top + "/odd\x01name \xe9", "odd\n", 0755);
  SetTime(top + "/odd\x01name \xe9", 1500000000, 999999999);
  ASSERT_EQ(symlink("f16384", (top + "/link").c_str()), 0);
  SetTime(top + "/link", 1400000000, 5);
  ASSERT_EQ(symlink("nowhere/at all", (top + "/dangling").c_str()), 0);
  SetTime(top + "/dangling", 1400000001, 6);
  const std::string sub = top + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  WriteFile(sub + "/inner", Bytes(2 * kBlock, 7), 0600);
  SetTime(sub + "/inner", 1700000000, 42);
  ASSERT_EQ(mkdir((sub + "/empty").c_str(), 0750), 0);
  SetTime(sub + "/empty", 1700000001, 43);
  SetTime(sub, 1700000002, 44);
  SetTime(top, 1700000003, 45);
}

}  // namespace mounttest

#include "support/tree_builders.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace testsupport {

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

void WriteFileAndFolders(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFile(path, content);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string text(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : text) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return text;
}

void MakeKeptFolder(const std::string& folder, std::size_t largeSize,
                    const std::vector<std::pair<std::string, std::string>>& more) {
  mkdir(folder.c_str(), 0755);
  WriteFile(folder + "/a.txt", Pattern(1023, 1));
  WriteFile(folder + "/b.bin", Pattern(largeSize, 2));
  mkdir((folder + "/sub").c_str(), 0755);
  WriteFile(folder + "/sub/c.dat", Pattern(5000, 3));
  mkdir((folder + "/empty").c_str(), 0755);
  mkdir((folder + "/empty/deeper").c_str(), 0755);
  WriteFile(folder + "/.hidden", "hidden\n");
  for (const auto& [path, content] : more) WriteFile(folder + "/" + path, content);
  symlink("sub/c.dat", (folder + "/link").c_str());
  WriteFile(folder + "/sub/readonly.txt", "read only\n");
  chmod((folder + "/sub/readonly.txt").c_str(), 0444);
}

void MakeDeepChain(const std::string& top, int depth, mode_t mode,
                   const std::function<void(int folder, int level)>& fill) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << top;
  for (int level = 0;; ++level) {
    fill(fd, level);
    if (level == depth || ::testing::Test::HasFatalFailure()) break;
    ASSERT_EQ(mkdirat(fd, "d", mode), 0) << "level " << level;
    const int child = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    ASSERT_GE(child, 0) << "level " << level;
    ASSERT_EQ(fchmod(child, mode), 0);
    fd = child;
  }
  close(fd);
}

namespace {

// nftw takes no user data: the walk in progress. Tests walk one tree at a
// time.
std::map<std::string, std::string>* gSnapshot = nullptr;
std::size_t gSnapshotRoot = 0;

}  // namespace

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> result;
  gSnapshot = &result;
  gSnapshotRoot = root.size();
  nftw(
      root.c_str(),
      [](const char* p, const struct stat* st, int type, FTW*) {
        const std::string path(p);
        std::string entry = std::to_string(st->st_mode) + " ";
        if (type != FTW_D && type != FTW_DNR) {
          entry += std::to_string(st->st_mtim.tv_sec);
          entry += '.';
          entry += std::to_string(st->st_mtim.tv_nsec);
        }
        if (type == FTW_SL) {
          char target[4096];
          const ssize_t n = readlink(p, target, sizeof target);
          entry += " -> ";
          entry.append(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if (type == FTW_F && S_ISREG(st->st_mode)) {
          entry += ' ';
          entry += ReadFile(path);
        }
        (*gSnapshot)[path.substr(gSnapshotRoot)] = entry;
        return 0;
      },
      16, FTW_PHYS);
  gSnapshot = nullptr;
  return result;
}

}  // namespace testsupport

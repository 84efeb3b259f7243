// Scratch folders and environment variables for the application's tests:
// each test gets folders of its own and leaves the process environment as
// it found it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace korvane::testsupport {

// Empties and removes a scratch tree whatever modes it holds, without the
// code under test. Links are removed, never followed.
inline void RemoveScratch(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    unlink(path.c_str());
    return;
  }
  chmod(path.c_str(), 0700);
  if (DIR* stream = opendir(path.c_str())) {
    std::vector<std::string> names;
    while (const dirent* entry = readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
    for (const std::string& name : names) RemoveScratch(path + "/" + name);
  }
  rmdir(path.c_str());
}

// A new folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "korvane_test") {
    std::string pattern = "/tmp/" + tag + ".XXXXXX";
    const char* made = mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() { RemoveScratch(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with no value, unsets) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  // A null pointer unsets the variable.
  ScopedEnv(const char* name, const char* value)
      : ScopedEnv(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt) {}
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace korvane::testsupport

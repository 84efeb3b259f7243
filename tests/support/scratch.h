// Scratch folders and environment variables for the engine's and the
// application's tests: each test gets folders of its own and leaves the
// process environment as it found it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

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

// Configuration and state folders of a test's own: XDG_CONFIG_HOME and
// XDG_STATE_HOME name "config" and "state" in a new scratch folder for the
// life of the object, so that no test reads or writes the settings and
// reports of the person running it. The folders are not made: the code
// under test makes what it needs.
class ScopedHomes {
 public:
  explicit ScopedHomes(const std::string& tag = "korvane_test")
      : dir_(tag),
        config_("XDG_CONFIG_HOME", dir_ / "config"),
        state_("XDG_STATE_HOME", dir_ / "state") {}
  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
  ScopedEnv config_;
  ScopedEnv state_;
};

}  // namespace testsupport

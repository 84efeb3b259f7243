#include "vaultfs/host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <limits>
#include <shared_mutex>
#include <unordered_set>

#include "vaultfs/utf16.h"

namespace vaultfs {

bool HostFileCallbacks::Complete() const {
  return OnFileCreate != nullptr && OnFileOpen != nullptr && OnFileClose != nullptr &&
         OnFileFlush != nullptr && OnFileDelete != nullptr && OnFileGetSize != nullptr &&
         OnFileSetSize != nullptr && OnFileSeek != nullptr && OnFileRead != nullptr &&
         OnFileWrite != nullptr;
}

namespace {

constexpr std::size_t kMaxHostNameBytes = 520;

// Byte offset of a positional transfer. The product is formed in 64 bits, and
// a transfer whose last byte lies beyond what a signed 64-bit file offset can
// address is refused before anything touches the file.
[[nodiscard]] EngineResult TransferOffset(std::uint64_t position, std::uint32_t unit,
                                          std::uint32_t count, std::int64_t& offset) {
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (unit != 0 && position > kMaxOffset / unit) return EOVERFLOW;
  const std::uint64_t byteOffset = position * unit;
  if (byteOffset > kMaxOffset - count) return EOVERFLOW;
  offset = static_cast<std::int64_t>(byteOffset);
  return errOk;
}

// The narrow path of a host-file name. A lone surrogate U+DC80..U+DCFF stands
// for the raw byte 0x80..0xFF of a name that was not valid UTF-8, so every
// name the engine took from the disk reaches the same file again. Any other
// lone surrogate has no byte form and is refused, as is U+0000, which would
// silently cut the path short and name a different file.
[[nodiscard]] EngineResult HostPathFromName(const std::u16string& name, std::string& path) {
  path.clear();
  for (std::size_t i = 0; i < name.size(); ++i) {
    char32_t code = name[i];
    if (code == 0) return EINVAL;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
        ++i;
      }
      AppendUtf8(code, path);
    } else if (code >= 0xDC80 && code <= 0xDCFF) {
      // A byte that was not valid UTF-8 on disk comes back as that byte.
      path.push_back(static_cast<char>(code - 0xDC00));
    } else {
      // Other lone surrogates keep their three-byte form, as the name
      // conversion of the engine reads them.
      AppendUtf8(code, path);
    }
    if (path.size() > kMaxHostNameBytes) return ENAMETOOLONG;
  }
  return errOk;
}

[[nodiscard]] bool DescriptorOf(HostHandle handle, int& fd) {
  if (handle > static_cast<HostHandle>(INT_MAX)) return false;
  fd = static_cast<int>(handle);
  return true;
}

// Closes a freshly opened descriptor on every path that does not hand it out.
class DescriptorGuard {
 public:
  explicit DescriptorGuard(int fd) : fd_(fd) {}
  DescriptorGuard(const DescriptorGuard&) = delete;
  DescriptorGuard& operator=(const DescriptorGuard&) = delete;
  ~DescriptorGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A container or journal is a regular file. Directories open read-only
// without complaint on Linux, and devices or FIFOs would take pages somewhere
// they cannot be read back from, so both are refused: EISDIR for a directory,
// EINVAL for anything else that is not a regular file. The descriptor was
// opened non-blocking so that a FIFO cannot stall the open; that flag is
// dropped again once the file is known to be regular.
[[nodiscard]] EngineResult AcceptRegularFile(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (!S_ISREG(info.st_mode)) return EINVAL;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  return errOk;
}

constexpr int kCommonOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Descriptors are handed out as handles, and the backend remembers which ones
// it opened. A handle that is not open here (closed twice, never opened, or a
// stray number) gets EBADF instead of reaching whatever file the process has
// since opened under that descriptor number. Transfers hold the set shared,
// so Close waits for transfers in flight on other threads before it lets the
// number go.
class SystemFileBackend final : public HostFileBackend {
 public:
  EngineResult Create(const std::u16string& name, bool overwrite, bool /*isJournal*/,
                      HostHandle& handle) override {
    std::string path;
    if (EngineResult result = HostPathFromName(name, path); result != errOk) return result;
    // Never through a link: truncating would land on whatever file it names.
    // (O_EXCL refuses any existing entry, links included, by itself.)
    const int flags =
        O_RDWR | O_CREAT | kCommonOpenFlags | (overwrite ? O_TRUNC | O_NOFOLLOW : O_EXCL);
    // A container holds private data: only its owner may read it.
    DescriptorGuard fd(OpenRetrying(path, flags, 0600));
    if (fd.Get() < 0) return errno;
    if (EngineResult result = AcceptRegularFile(fd.Get()); result != errOk) return result;
    // Pages are read and written all over the file; read-ahead would only
    // waste bandwidth. A refused hint changes nothing.
    (void)::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_RANDOM);
    Adopt(fd, handle);
    return errOk;
  }

  EngineResult Open(const std::u16string& name, bool& readOnly, bool /*isJournal*/,
                    HostHandle& handle) override {
    std::string path;
    if (EngineResult result = HostPathFromName(name, path); result != errOk) return result;
    bool effectiveReadOnly = readOnly;
    int rawFd = -1;
    if (!effectiveReadOnly) {
      rawFd = OpenRetrying(path, O_RDWR | kCommonOpenFlags);
      if (rawFd < 0) {
        // Only a refusal to write falls back to reading; any other failure
        // (missing file, directory, too many open files) is the answer.
        if (errno != EACCES && errno != EPERM && errno != EROFS) return errno;
        effectiveReadOnly = true;
      }
    }
    if (effectiveReadOnly) {
      rawFd = OpenRetrying(path, O_RDONLY | kCommonOpenFlags);
      if (rawFd < 0) return errno;
    }
    DescriptorGuard fd(rawFd);
    if (EngineResult result = AcceptRegularFile(fd.Get()); result != errOk) return result;
    Adopt(fd, handle);
    readOnly = effectiveReadOnly;
    return errOk;
  }

  EngineResult Close(HostHandle handle) override {
    int fd;
    if (!DescriptorOf(handle, fd)) return EBADF;
    {
      std::unique_lock lock(handlesLock_);
      if (handles_.erase(fd) == 0) return EBADF;
    }
    // Never retried: Linux releases the descriptor even when close reports
    // EINTR, and a retry could close a file opened meanwhile by another thread.
    if (::close(fd) != 0) return errno;
    return errOk;
  }

  EngineResult Flush(HostHandle handle) override {
    std::shared_lock lock(handlesLock_);
    int fd;
    if (!Known(handle, fd)) return EBADF;
    int rc;
    do {
      rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? errOk : errno;
  }

  EngineResult Delete(const std::u16string& name) override {
    std::string path;
    if (EngineResult result = HostPathFromName(name, path); result != errOk) return result;
    if (::unlink(path.c_str()) != 0) return errno;
    return errOk;
  }

  EngineResult GetSize(HostHandle handle, std::int64_t& size) override {
    std::shared_lock lock(handlesLock_);
    int fd;
    if (!Known(handle, fd)) return EBADF;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return errno;
    size = info.st_size;
    return errOk;
  }

  EngineResult SetSize(HostHandle handle, std::int64_t size) override {
    if (size < 0) return EINVAL;
    std::shared_lock lock(handlesLock_);
    int fd;
    if (!Known(handle, fd)) return EBADF;
    int rc;
    do {
      rc = ::ftruncate(fd, size);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? errOk : errno;
  }

  EngineResult ReadAt(HostHandle handle, std::uint64_t position, std::uint32_t unit, void* buffer,
                      std::uint32_t count) override {
    if (buffer == nullptr && count != 0) return errInvalidParameter;
    std::int64_t offset = 0;
    if (EngineResult result = TransferOffset(position, unit, count, offset); result != errOk) {
      return result;
    }
    std::shared_lock lock(handlesLock_);
    int fd;
    if (!Known(handle, fd)) return EBADF;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
      const ssize_t moved = ::pread(fd, bytes + done, count - done, offset + done);
      if (moved < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      // The file ended before `count` bytes: the page is not there, and a
      // partly filled buffer must never pass for a whole one.
      if (moved == 0) return EIO;
      done += static_cast<std::uint32_t>(moved);
    }
    return errOk;
  }

  EngineResult WriteAt(HostHandle handle, std::uint64_t position, std::uint32_t unit,
                       const void* buffer, std::uint32_t count) override {
    if (buffer == nullptr && count != 0) return errInvalidParameter;
    std::int64_t offset = 0;
    if (EngineResult result = TransferOffset(position, unit, count, offset); result != errOk) {
      return result;
    }
    std::shared_lock lock(handlesLock_);
    int fd;
    if (!Known(handle, fd)) return EBADF;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
      const ssize_t moved = ::pwrite(fd, bytes + done, count - done, offset + done);
      if (moved < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (moved == 0) return EIO;
      done += static_cast<std::uint32_t>(moved);
    }
    return errOk;
  }

 private:
  void Adopt(DescriptorGuard& fd, HostHandle& handle) {
    std::unique_lock lock(handlesLock_);
    handles_.insert(fd.Get());
    handle = static_cast<HostHandle>(fd.Release());
  }

  // Callers hold handlesLock_.
  [[nodiscard]] bool Known(HostHandle handle, int& fd) const {
    return DescriptorOf(handle, fd) && handles_.count(fd) != 0;
  }

  std::shared_mutex handlesLock_;
  std::unordered_set<int> handles_;
};

// Forwards to caller-supplied callbacks. Every call runs under the volume's
// I/O lock, which is the innermost engine lock, so taking it here cannot
// invert the lock order; it keeps callbacks that are not thread-safe
// themselves from being entered twice at once, and makes the seek and the
// transfer of a positional operation one step. A missing callback gives
// errInvalidParameter rather than a call through a null pointer.
class CallbackFileBackend final : public HostFileBackend {
 public:
  CallbackFileBackend(const HostFileCallbacks& callbacks, std::recursive_mutex& ioLock)
      : callbacks_(callbacks), ioLock_(ioLock) {}

  EngineResult Create(const std::u16string& name, bool overwrite, bool isJournal,
                      HostHandle& handle) override {
    if (callbacks_.OnFileCreate == nullptr) return errInvalidParameter;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileCreate(callbacks_.UserData, name, handle, overwrite, isJournal);
  }

  EngineResult Open(const std::u16string& name, bool& readOnly, bool isJournal,
                    HostHandle& handle) override {
    if (callbacks_.OnFileOpen == nullptr) return errInvalidParameter;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileOpen(callbacks_.UserData, name, handle, readOnly, isJournal);
  }

  EngineResult Close(HostHandle handle) override {
    if (callbacks_.OnFileClose == nullptr) return errInvalidParameter;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileClose(callbacks_.UserData, handle);
  }

  EngineResult Flush(HostHandle handle) override {
    if (callbacks_.OnFileFlush == nullptr) return errInvalidParameter;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileFlush(callbacks_.UserData, handle);
  }

  EngineResult Delete(const std::u16string& name) override {
    if (callbacks_.OnFileDelete == nullptr) return errInvalidParameter;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileDelete(callbacks_.UserData, name);
  }

  EngineResult GetSize(HostHandle handle, std::int64_t& size) override {
    if (callbacks_.OnFileGetSize == nullptr) return errInvalidParameter;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileGetSize(callbacks_.UserData, handle, size);
  }

  EngineResult SetSize(HostHandle handle, std::int64_t size) override {
    if (callbacks_.OnFileSetSize == nullptr) return errInvalidParameter;
    if (size < 0) return EINVAL;
    std::scoped_lock lock(ioLock_);
    return callbacks_.OnFileSetSize(callbacks_.UserData, handle, size);
  }

  EngineResult ReadAt(HostHandle handle, std::uint64_t position, std::uint32_t unit, void* buffer,
                      std::uint32_t count) override {
    if (callbacks_.OnFileSeek == nullptr || callbacks_.OnFileRead == nullptr) {
      return errInvalidParameter;
    }
    if (buffer == nullptr && count != 0) return errInvalidParameter;
    std::int64_t offset = 0;
    if (EngineResult result = TransferOffset(position, unit, count, offset); result != errOk) {
      return result;
    }
    std::scoped_lock lock(ioLock_);
    if (EngineResult result = callbacks_.OnFileSeek(callbacks_.UserData, handle, offset, 0);
        result != errOk) {
      return result;
    }
    return callbacks_.OnFileRead(callbacks_.UserData, handle, buffer, count);
  }

  EngineResult WriteAt(HostHandle handle, std::uint64_t position, std::uint32_t unit,
                       const void* buffer, std::uint32_t count) override {
    if (callbacks_.OnFileSeek == nullptr || callbacks_.OnFileWrite == nullptr) {
      return errInvalidParameter;
    }
    if (buffer == nullptr && count != 0) return errInvalidParameter;
    std::int64_t offset = 0;
    if (EngineResult result = TransferOffset(position, unit, count, offset); result != errOk) {
      return result;
    }
    std::scoped_lock lock(ioLock_);
    if (EngineResult result = callbacks_.OnFileSeek(callbacks_.UserData, handle, offset, 0);
        result != errOk) {
      return result;
    }
    return callbacks_.OnFileWrite(callbacks_.UserData, handle, buffer, count);
  }

 private:
  const HostFileCallbacks callbacks_;
  std::recursive_mutex& ioLock_;
};

}  // namespace

std::unique_ptr<HostFileBackend> MakeSystemFileBackend() {
  return std::make_unique<SystemFileBackend>();
}

std::unique_ptr<HostFileBackend> MakeCallbackFileBackend(const HostFileCallbacks& callbacks,
                                                         std::recursive_mutex& ioLock) {
  return std::make_unique<CallbackFileBackend>(callbacks, ioLock);
}

}  // namespace vaultfs

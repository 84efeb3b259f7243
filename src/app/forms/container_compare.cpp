#include "app/forms/container_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "app/forms/service_records.h"
#include "app/platform/platform.h"
#include "engine/objects/object_layout.h"
#include "engine/volume/utf16.h"
#include "storage/disk_tree.h"
#include "storage/vault_stream.h"

namespace korvane {

namespace {

constexpr std::size_t kPiece = 64 * 1024;

struct Pending {
  std::string DiskPath;        // folder on disk, no trailing slash
  std::string RelativePath;    // relative to the protected folder ("" at the top)
  std::u16string StoragePath;  // container directory, ending in '\'
};

class Comparer {
 public:
  Comparer(vaultfs::TVaultStorage& storage, const TCompareProgress& progress)
      : storage_(storage), progress_(progress), diskPiece_(kPiece), storagePiece_(kPiece) {}

  std::uint64_t Total = 0;

  // Sums the sizes first so that progress can say how far it is.
  void Measure(const std::string& folder) {
    std::vector<std::string> stack{folder};
    while (!stack.empty()) {
      const std::string dir = stack.back();
      stack.pop_back();
      std::vector<platform::DirEntry> entries;
      platform::EnumerateDirectory(dir, "*", entries);
      for (const platform::DirEntry& entry : entries) {
        if (entry.IsDirectory) {
          stack.push_back(dir + "/" + entry.Name);
        } else {
          Total += entry.Size;
        }
      }
    }
  }

  bool Run(const std::string& folder) {
    std::vector<Pending> stack{{folder, std::string(), kDataFolder}};
    while (!stack.empty()) {
      const Pending dir = stack.back();
      stack.pop_back();
      std::vector<platform::DirEntry> entries;
      if (!platform::EnumerateDirectory(dir.DiskPath, "*", entries)) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot read the folder \"" + dir.DiskPath + "\"");
      }
      for (const platform::DirEntry& entry : entries) {
        const std::string diskPath = dir.DiskPath + "/" + entry.Name;
        const std::string relative =
            dir.RelativePath.empty() ? entry.Name : dir.RelativePath + "/" + entry.Name;
        const std::u16string storagePath = dir.StoragePath + vaultfs::DiskNameToStorage(entry.Name);
        if (entry.IsDirectory) {
          CheckDirectory(storagePath, relative);
          stack.push_back({diskPath, relative, storagePath + u'\\'});
        } else if (entry.IsLink) {
          CheckLink(diskPath, storagePath, relative);
        } else if (!CheckFile(diskPath, storagePath, relative)) {
          return false;
        }
      }
    }
    return true;
  }

 private:
  static std::int32_t ReadFull(vaultfs::TVaultStream& stream, std::uint8_t* buffer,
                               std::int32_t count) {
    std::int32_t done = 0;
    while (done < count) {
      const std::int32_t got = stream.Read(buffer + done, count - done);
      if (got <= 0) break;
      done += got;
    }
    return done;
  }

  [[noreturn]] static void Differs(const std::string& relative, const std::string& what) {
    throw std::runtime_error("The protected folder does not match \"" + relative + "\": " + what);
  }

  void CheckDirectory(const std::u16string& storagePath, const std::string& relative) {
    std::uint32_t attributes = 0;
    try {
      storage_.GetFileAttributes(storagePath, attributes);
    } catch (const std::exception& e) {
      Differs(relative, e.what());
    }
    if ((attributes & vaultfs::attrDirectory) == 0) Differs(relative, "not a folder");
  }

  void CheckLink(const std::string& diskPath, const std::u16string& storagePath,
                 const std::string& relative) {
    std::vector<char> target(4096);
    ssize_t length = 0;
    for (;;) {
      length = ::readlink(diskPath.c_str(), target.data(), target.size());
      if (length < 0) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot read the link \"" + diskPath + "\"");
      }
      if (static_cast<std::size_t>(length) < target.size()) break;
      target.resize(target.size() * 2);
    }
    std::u16string stored;
    try {
      storage_.ReadLink(storagePath, stored);
    } catch (const std::exception& e) {
      Differs(relative, e.what());
    }
    const std::string diskTarget(target.data(), static_cast<std::size_t>(length));
    if (stored != vaultfs::Utf8ToUtf16(diskTarget)) Differs(relative, "the link target differs");
  }

  bool CheckFile(const std::string& diskPath, const std::u16string& storagePath,
                 const std::string& relative) {
    if (progress_ && !progress_(relative, done_, Total)) return false;
    const int fd = ::open(diskPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      throw std::system_error(errno, std::generic_category(),
                              "Cannot read the file \"" + diskPath + "\"");
    }
    struct FdCloser {
      int fd;
      ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      throw std::system_error(errno, std::generic_category(), diskPath);
    }
    std::unique_ptr<vaultfs::TVaultStream> stream;
    try {
      stream = std::make_unique<vaultfs::TVaultStream>(storage_, storagePath, vaultfs::fmOpenRead);
    } catch (const std::exception& e) {
      Differs(relative, e.what());
    }
    if (stream->GetSize64() != static_cast<std::int64_t>(st.st_size)) {
      Differs(relative, "the size differs");
    }
    for (;;) {
      const ssize_t got = ::read(fd, diskPiece_.data(), diskPiece_.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), diskPath);
      }
      if (got == 0) break;
      const auto count = static_cast<std::int32_t>(got);
      if (ReadFull(*stream, storagePiece_.data(), count) != count ||
          std::memcmp(diskPiece_.data(), storagePiece_.data(), static_cast<std::size_t>(got)) !=
              0) {
        Differs(relative, "the contents differ");
      }
      done_ += static_cast<std::uint64_t>(got);
      if (progress_ && !progress_(relative, done_, Total)) return false;
    }
    // The disk file may have grown since fstat: the container must not hold more.
    if (stream->Read(storagePiece_.data(), 1) != 0) Differs(relative, "the size differs");
    return true;
  }

  vaultfs::TVaultStorage& storage_;
  const TCompareProgress& progress_;
  std::vector<std::uint8_t> diskPiece_;
  std::vector<std::uint8_t> storagePiece_;
  std::uint64_t done_ = 0;
};

}  // namespace

bool CompareContainerWithFolder(const std::string& containerPath, const std::string& folder,
                                const std::string& password, const TCompareProgress& progress) {
  std::unique_ptr<vaultfs::TVaultStorage> storage = NewContainerStorage(containerPath);
  storage->SetReadOnly(true);
  storage->Open(2);
  if (!password.empty()) {
    storage->SetFilesEncryption(vaultfs::ecAES256_HMAC256);
    storage->SetFilesPassword(vaultfs::Utf8ToUtf16(password));
  }
  Comparer comparer(*storage, progress);
  comparer.Measure(folder);
  const bool finished = comparer.Run(folder);
  storage->Close();
  return finished;
}

}  // namespace korvane

#include "korvane/forms/container_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "korvane/forms/service_records.h"
#include "korvane/platform/platform.h"
#include "vaultfs/utf16.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/vault_stream.h"

namespace korvane {

namespace {

constexpr std::size_t kPiece = 64 * 1024;

platform::EntryFacts FactsOf(const struct stat& info) {
  platform::EntryFacts facts;
  facts.Kind = S_ISREG(info.st_mode)   ? platform::EntryKind::File
               : S_ISDIR(info.st_mode) ? platform::EntryKind::Folder
               : S_ISLNK(info.st_mode) ? platform::EntryKind::SymbolicLink
                                       : platform::EntryKind::Unknown;
  facts.Device = static_cast<std::uint64_t>(info.st_dev);
  facts.Inode = static_cast<std::uint64_t>(info.st_ino);
  facts.Mode = static_cast<std::uint32_t>(info.st_mode);
  facts.Owner = static_cast<std::uint32_t>(info.st_uid);
  facts.Group = static_cast<std::uint32_t>(info.st_gid);
  facts.Size = static_cast<std::uint64_t>(info.st_size);
  facts.ModifiedSeconds = info.st_mtim.tv_sec;
  facts.ModifiedNanoseconds = static_cast<std::uint32_t>(info.st_mtim.tv_nsec);
  facts.ChangedSeconds = info.st_ctim.tv_sec;
  facts.ChangedNanoseconds = static_cast<std::uint32_t>(info.st_ctim.tv_nsec);
  return facts;
}

class Comparer {
 public:
  Comparer(vaultfs::TVaultStorage& storage, const TCompareProgress& progress,
           TStoredIdentities* stored)
      : storage_(storage),
        progress_(progress),
        stored_(stored),
        diskPiece_(kPiece),
        storagePiece_(kPiece) {}

  // Sums the sizes first so that progress can say how far it is. Nothing
  // is reported meanwhile: a report would carry a total still growing, and
  // every report of the comparison gives the total it ends with. (The walk
  // only reads the folders; a cancel is heard from the first file on.)
  bool Measure(const std::string& folder) {
    platform::TreeWalkReport report;
    platform::WalkTree(
        folder,
        [this](const std::string&, const platform::EntryFacts& facts) {
          if (facts.Kind == platform::EntryKind::File) total_ += facts.Size;
          return true;
        },
        {}, report);
    return report.Status != platform::TreeWalkStatus::Stopped;
  }

  bool Run(const std::string& folder) {
    current_ = kDataFolder;
    lengths_.assign(1, current_.size());
    bool stopped = false;
    platform::TreeWalkReport report;
    platform::WalkTreeAt(
        folder,
        [&](const std::string& relative, const platform::EntryFacts& facts, int folderFd,
            const char* name) {
          if (!Visit(relative, facts, folderFd, name)) stopped = true;
          return !stopped;
        },
        {}, report);
    if (stopped) return false;
    if (!report.Complete()) {
      throw std::system_error(
          report.Error, std::generic_category(),
          report.Message.empty() ? "Cannot read the folder \"" + folder + "\"" : report.Message);
    }
    return true;
  }

 private:
  // The container path of an entry, kept as one string cut back to its
  // folder's length: a walk visits each folder before what it holds, so
  // the folder of an entry at depth k is the last one seen at depth k - 1.
  std::u16string StoragePathOf(const std::string& relative, const char* name) {
    const auto depth = static_cast<std::size_t>(std::count(relative.begin(), relative.end(), '/'));
    if (depth >= lengths_.size())
      throw std::runtime_error("The folder changed while it was read back");
    current_.resize(lengths_[depth]);
    lengths_.resize(depth + 1);
    return current_ + vaultfs::DiskNameToStorage(name);
  }

  bool Visit(const std::string& relative, const platform::EntryFacts& facts, int folderFd,
             const char* name) {
    const std::u16string storagePath = StoragePathOf(relative, name);
    switch (facts.Kind) {
      case platform::EntryKind::Folder:
        CheckDirectory(storagePath, relative);
        current_ = storagePath + u'\\';
        lengths_.push_back(current_.size());
        return Tick(relative);
      case platform::EntryKind::SymbolicLink:
        CheckLink(folderFd, name, storagePath, relative);
        if (stored_) stored_->Record(relative, facts);
        return Tick(relative);
      case platform::EntryKind::File:
        return CheckFile(folderFd, name, storagePath, relative);
      default:
        Differs(relative, "it is no file, folder or link");
    }
  }

  // Folders and links report no bytes; a tree of nothing else must still
  // hear a cancel soon.
  bool Tick(const std::string& relative) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport_ < std::chrono::milliseconds(20)) return true;
    lastReport_ = now;
    return !progress_ || progress_(relative, done_, total_);
  }

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

  void CheckLink(int folderFd, const char* name, const std::u16string& storagePath,
                 const std::string& relative) {
    std::vector<char> target(4096);
    ssize_t length = 0;
    for (;;) {
      length = ::readlinkat(folderFd, name, target.data(), target.size());
      if (length < 0) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot read the link \"" + relative + "\"");
      }
      if (static_cast<std::size_t>(length) < target.size()) break;
      target.resize(target.size() * 2);
    }
    std::u16string storedTarget;
    try {
      storage_.ReadLink(storagePath, storedTarget);
    } catch (const std::exception& e) {
      Differs(relative, e.what());
    }
    const std::string diskTarget(target.data(), static_cast<std::size_t>(length));
    if (storedTarget != vaultfs::Utf8ToUtf16(diskTarget))
      Differs(relative, "the link target differs");
  }

  bool CheckFile(int folderFd, const char* name, const std::u16string& storagePath,
                 const std::string& relative) {
    lastReport_ = std::chrono::steady_clock::now();
    if (progress_ && !progress_(relative, done_, total_)) return false;
    const int fd =
        ::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      throw std::system_error(errno, std::generic_category(),
                              "Cannot read the file \"" + relative + "\"");
    }
    struct FdCloser {
      int fd;
      ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat before {};
    if (::fstat(fd, &before) != 0) {
      throw std::system_error(errno, std::generic_category(), relative);
    }
    if (!S_ISREG(before.st_mode)) Differs(relative, "it is no longer a file");
    std::unique_ptr<vaultfs::TVaultStream> stream;
    try {
      stream = std::make_unique<vaultfs::TVaultStream>(storage_, storagePath, vaultfs::fmOpenRead);
    } catch (const std::exception& e) {
      Differs(relative, e.what());
    }
    if (stream->GetSize64() != static_cast<std::int64_t>(before.st_size)) {
      Differs(relative, "the size differs");
    }
    for (;;) {
      const ssize_t got = ::read(fd, diskPiece_.data(), diskPiece_.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), relative);
      }
      if (got == 0) break;
      const auto count = static_cast<std::int32_t>(got);
      if (ReadFull(*stream, storagePiece_.data(), count) != count ||
          std::memcmp(diskPiece_.data(), storagePiece_.data(), static_cast<std::size_t>(got)) !=
              0) {
        Differs(relative, "the contents differ");
      }
      done_ += static_cast<std::uint64_t>(got);
      if (progress_ && !progress_(relative, done_, total_)) return false;
    }
    // The disk file may have grown since fstat: the container must not hold more.
    if (stream->Read(storagePiece_.data(), 1) != 0) Differs(relative, "the size differs");
    // What was compared is what is recorded: a file written to while it
    // was read is not known to match.
    struct stat after {};
    if (::fstat(fd, &after) != 0) throw std::system_error(errno, std::generic_category(), relative);
    const platform::EntryFacts facts = FactsOf(before);
    if (!platform::SameEntryState(facts, FactsOf(after))) {
      Differs(relative, "it changed while it was read back");
    }
    if (stored_) stored_->Record(relative, facts);
    return true;
  }

  vaultfs::TVaultStorage& storage_;
  const TCompareProgress& progress_;
  TStoredIdentities* stored_;
  std::vector<std::uint8_t> diskPiece_;
  std::vector<std::uint8_t> storagePiece_;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  std::u16string current_;
  std::vector<std::size_t> lengths_;
  std::chrono::steady_clock::time_point lastReport_{};
};

}  // namespace

bool CompareContainerWithFolder(const std::string& containerPath, const std::string& folder,
                                const TContainerAccess& access, const TCompareProgress& progress,
                                TStoredIdentities* stored) {
  std::unique_ptr<vaultfs::TVaultStorage> storage = access.OpenForReading(containerPath);
  Comparer comparer(*storage, progress, stored);
  const bool finished = comparer.Measure(folder) && comparer.Run(folder);
  storage->Close();
  return finished;
}

}  // namespace korvane

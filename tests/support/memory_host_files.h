// An in-memory set of named host files served through HostFileCallbacks, for
// engine tests. It doubles as the fault injector: fail one write, tear one
// write and lose power, or lose power after a number of writes; then take a
// snapshot of what "reached the disk" and reopen from it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vaultfs/host_file.h"

namespace vaultfs::testing {

// Behaves like POSIX files: an open handle keeps its file's bytes even after
// the name is removed, and creating over an existing name truncates that same
// file. Every member is safe to call from several threads at once.
//
// Memory of the medium: each file keeps its bytes as of its last flush and
// the writes and size changes made since. A new file's name reaches the
// medium with its first flush; a deletion at once. What a power loss leaves
// depends on SetPowerLoss: by default every completed write survives (a disk
// that never loses its cache); kLost keeps only what was flushed; kSomeKept
// keeps a seeded random subset of the unflushed writes, applied in a random
// order (a disk may write its cache in any order), some torn at a sector.
// TakeSnapshot after the loss returns what the medium then holds.
//
// Fault injection counts write calls since construction or the last
// ResetFaults(): every OnFileWrite call and every OnFileSetSize call (a size
// change reaches the disk like a write and can be lost or fail like one).
// After a simulated power loss (see TearWrite and CrashAfterWrites) the
// program under test is told that everything works, but nothing it does
// changes the files any more: writes and size changes are dropped, Create
// hands out a handle to a file that never appears, and Delete leaves the
// file in place. Reads and the test-side members (SetContents, Remove, ...)
// keep working on the files as they were at the loss.
class MemoryHostFiles {
 public:
  using Snapshot = std::map<std::u16string, std::vector<std::uint8_t>>;

  // Writes or size changes that would make a file larger fail with EFBIG, so
  // that a wild offset gives an error instead of exhausting memory.
  static constexpr std::int64_t kMaxFileSize = std::int64_t{1} << 30;

  explicit MemoryHostFiles(Snapshot files = {});
  MemoryHostFiles(const MemoryHostFiles&) = delete;
  MemoryHostFiles& operator=(const MemoryHostFiles&) = delete;

  // UserData is this object, which must outlive every backend using them.
  HostFileCallbacks Callbacks();

  bool Exists(const std::u16string& name) const;
  // Empty when there is no such file.
  std::vector<std::uint8_t> Contents(const std::u16string& name) const;
  // Replaces the bytes of the named file (creating it when missing); open
  // handles on it see the new bytes.
  void SetContents(const std::u16string& name, std::vector<std::uint8_t> bytes);
  void Remove(const std::u16string& name);
  // The files as they are, or after a power loss as the medium keeps them.
  Snapshot TakeSnapshot() const;

  enum class Unflushed { kKept, kLost, kSomeKept };
  // What a power loss keeps of the writes not yet flushed; `seed` picks the
  // subset for kSomeKept.
  void SetPowerLoss(Unflushed unflushed, std::uint32_t seed = 0);
  // The sector a kSomeKept loss may tear a write at.
  static constexpr std::uint32_t kSectorSize = 512;

  // A read-only file opens for reading only (Open asked for writing falls
  // back and reports read-only), refuses Create with overwrite (EACCES), and
  // writes or size changes through a read-only handle fail with EBADF.
  void SetReadOnly(const std::u16string& name, bool readOnly);

  // Handles not yet closed; lets a test check that nothing leaked.
  std::size_t OpenHandleCount() const;

  std::uint64_t WriteCount() const;
  std::uint64_t FlushCount() const;
  // The n-th write (1-based) fails with `error` and stores nothing; later
  // writes work. Several writes may be made to fail.
  void FailWrite(std::uint64_t n, EngineResult error = EIO);
  // The n-th write stores only its first keepBytes bytes (a size change
  // stores nothing) and reports success; power is lost with it.
  void TearWrite(std::uint64_t n, std::uint32_t keepBytes);
  // Power is lost right after the n-th write; 0 means now.
  void CrashAfterWrites(std::uint64_t n);
  // One step of a crash sweep over every write: power is lost right after
  // write `cut` or, torn, in the middle of write cut + 1, which keeps only
  // its first keepBytes bytes.
  void CrashOrTearAt(std::uint64_t cut, bool torn, std::uint32_t keepBytes);
  // True once power was lost.
  bool Crashed() const;
  // Clears every armed fault, the power loss and both counters.
  void ResetFaults();

 private:
  friend struct MemoryHostFilesCallbacks;

  // A write or (with `resize`) a size change made since the last flush.
  struct Unsynced {
    std::int64_t position = 0;
    std::vector<std::uint8_t> data;
    bool resize = false;
  };
  struct File {
    std::vector<std::uint8_t> bytes;
    bool readOnly = false;
    // As of the last flush, and what came after it.
    std::vector<std::uint8_t> durable;
    std::vector<Unsynced> unsynced;
  };
  struct OpenFile {
    std::shared_ptr<File> file;
    std::int64_t position = 0;
    bool readOnly = false;
  };
  enum class WriteFate { kStore, kFail, kTear, kDrop };

  EngineResult Create(const std::u16string& name, HostHandle& handle, bool overwrite);
  EngineResult Open(const std::u16string& name, HostHandle& handle, bool& readOnly);
  EngineResult Close(HostHandle handle);
  EngineResult Flush(HostHandle handle);
  EngineResult Delete(const std::u16string& name);
  EngineResult GetSize(HostHandle handle, std::int64_t& size);
  EngineResult SetSize(HostHandle handle, std::int64_t newSize);
  EngineResult Seek(HostHandle handle, std::int64_t offset, int origin);
  EngineResult Read(HostHandle handle, void* buffer, std::uint32_t count);
  EngineResult Write(HostHandle handle, const void* buffer, std::uint32_t count);

  // Callers hold lock_.
  HostHandle AddHandle(std::shared_ptr<File> file, bool readOnly);
  OpenFile* FindHandle(HostHandle handle);
  WriteFate NextWrite(EngineResult& failure, std::uint32_t& keepBytes);

  // The bytes the medium holds for `file` after a power loss.
  std::vector<std::uint8_t> AfterPowerLoss(const File& file, std::uint32_t seed) const;
  // Test-side contents count as flushed.
  static void MarkDurable(File& file);
  // Callers hold lock_: whether the medium is being tracked.
  bool Tracking() const { return unflushed_ != Unflushed::kKept; }

  mutable std::mutex lock_;
  std::map<std::u16string, std::shared_ptr<File>> files_;
  // The names the medium holds: a created file's from its first flush.
  std::map<std::u16string, std::shared_ptr<File>> durableNames_;
  Unflushed unflushed_ = Unflushed::kKept;
  std::uint32_t seed_ = 0;
  std::map<HostHandle, OpenFile> handles_;
  HostHandle nextHandle_ = 1;

  std::uint64_t writeCount_ = 0;
  std::uint64_t flushCount_ = 0;
  std::map<std::uint64_t, EngineResult> failingWrites_;
  std::uint64_t tearAt_ = 0;
  std::uint32_t tearKeepBytes_ = 0;
  std::optional<std::uint64_t> crashAfter_;
  bool crashed_ = false;
};

// The power losses a crash sweep tries at every cut: completed writes kept
// (a disk that never loses its cache), every unflushed write lost, and
// three seeded subsets of them, reordered and partly torn.
struct PowerLossCase {
  MemoryHostFiles::Unflushed unflushed;
  std::uint32_t seed;
  const char* name;
};
inline constexpr PowerLossCase kPowerLosses[] = {
    {MemoryHostFiles::Unflushed::kKept, 0, "unflushed writes kept"},
    {MemoryHostFiles::Unflushed::kLost, 0, "unflushed writes lost"},
    {MemoryHostFiles::Unflushed::kSomeKept, 1, "some unflushed writes kept (seed 1)"},
    {MemoryHostFiles::Unflushed::kSomeKept, 2, "some unflushed writes kept (seed 2)"},
    {MemoryHostFiles::Unflushed::kSomeKept, 3, "some unflushed writes kept (seed 3)"},
};

}  // namespace vaultfs::testing

// Host files: the container file and the journal file, either as system files
// (positional reads and writes on POSIX descriptors) or through ten
// caller-supplied callbacks sharing one user-data pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "vaultfs/result_codes.h"

namespace vaultfs {

using HostHandle = std::uint32_t;

// The callback form of host-file access. Every callback returns an EngineResult
// (0 success, negative engine code, positive errno). `origin` of OnFileSeek is
// always 0 (from the start). Read and write succeed only when all `count`
// bytes were transferred.
struct HostFileCallbacks {
  void* UserData = nullptr;
  EngineResult (*OnFileCreate)(void* userData, const std::u16string& fileName,
                               HostHandle& fileHandle, bool overwrite,
                               bool isJournalFile) = nullptr;
  EngineResult (*OnFileOpen)(void* userData, const std::u16string& fileName, HostHandle& fileHandle,
                             bool& readOnly, bool isJournalFile) = nullptr;
  EngineResult (*OnFileClose)(void* userData, HostHandle fileHandle) = nullptr;
  EngineResult (*OnFileFlush)(void* userData, HostHandle fileHandle) = nullptr;
  EngineResult (*OnFileDelete)(void* userData, const std::u16string& fileName) = nullptr;
  EngineResult (*OnFileGetSize)(void* userData, HostHandle fileHandle,
                                std::int64_t& size) = nullptr;
  EngineResult (*OnFileSetSize)(void* userData, HostHandle fileHandle,
                                std::int64_t newSize) = nullptr;
  EngineResult (*OnFileSeek)(void* userData, HostHandle fileHandle, std::int64_t offset,
                             int origin) = nullptr;
  EngineResult (*OnFileRead)(void* userData, HostHandle fileHandle, void* buffer,
                             std::uint32_t count) = nullptr;
  EngineResult (*OnFileWrite)(void* userData, HostHandle fileHandle, const void* buffer,
                              std::uint32_t count) = nullptr;

  // True when all ten callbacks are set.
  bool Complete() const;
};

// One backend serves every host file of a volume. Positional transfers take
// a unit size so that page positions are multiplied in 64 bits.
class HostFileBackend {
 public:
  virtual ~HostFileBackend() = default;
  [[nodiscard]] virtual EngineResult Create(const std::u16string& name, bool overwrite,
                                            bool isJournal, HostHandle& handle) = 0;
  // readOnly is in/out: asked for on entry, effective on return.
  [[nodiscard]] virtual EngineResult Open(const std::u16string& name, bool& readOnly,
                                          bool isJournal, HostHandle& handle) = 0;
  [[nodiscard]] virtual EngineResult Close(HostHandle handle) = 0;
  [[nodiscard]] virtual EngineResult Flush(HostHandle handle) = 0;
  [[nodiscard]] virtual EngineResult Delete(const std::u16string& name) = 0;
  [[nodiscard]] virtual EngineResult GetSize(HostHandle handle, std::int64_t& size) = 0;
  [[nodiscard]] virtual EngineResult SetSize(HostHandle handle, std::int64_t size) = 0;
  // Read or write `count` bytes at byte offset position * unit.
  [[nodiscard]] virtual EngineResult ReadAt(HostHandle handle, std::uint64_t position,
                                            std::uint32_t unit, void* buffer,
                                            std::uint32_t count) = 0;
  [[nodiscard]] virtual EngineResult WriteAt(HostHandle handle, std::uint64_t position,
                                             std::uint32_t unit, const void* buffer,
                                             std::uint32_t count) = 0;
};

// System files: open(2)/pread(2)/pwrite(2)/fsync(2). Names are converted from
// UTF-16 to UTF-8; a name longer than 520 bytes after conversion is refused
// with ENAMETOOLONG. A short transfer without an error is reported as EIO.
std::unique_ptr<HostFileBackend> MakeSystemFileBackend();

// Caller-supplied callbacks. The seek and the transfer of one positional
// operation run under `ioLock` as one step. The callbacks must be complete.
std::unique_ptr<HostFileBackend> MakeCallbackFileBackend(const HostFileCallbacks& callbacks,
                                                         std::recursive_mutex& ioLock);

}  // namespace vaultfs

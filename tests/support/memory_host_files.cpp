#include "support/memory_host_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <numeric>
#include <random>
#include <utility>

namespace vaultfs::testing {

// The ten callbacks: each forwards to the object in UserData. Growing a file
// can run out of memory; that becomes ENOMEM instead of an exception thrown
// through the engine.
struct MemoryHostFilesCallbacks {
  template <typename Operation>
  static EngineResult Guarded(Operation operation) {
    try {
      return operation();
    } catch (const std::bad_alloc&) {
      return ENOMEM;
    }
  }

  static MemoryHostFiles& Self(void* userData) { return *static_cast<MemoryHostFiles*>(userData); }

  static EngineResult OnCreate(void* userData, const std::u16string& fileName,
                               HostHandle& fileHandle, bool overwrite, bool /*isJournalFile*/) {
    return Guarded([&] { return Self(userData).Create(fileName, fileHandle, overwrite); });
  }
  static EngineResult OnOpen(void* userData, const std::u16string& fileName, HostHandle& fileHandle,
                             bool& readOnly, bool /*isJournalFile*/) {
    return Guarded([&] { return Self(userData).Open(fileName, fileHandle, readOnly); });
  }
  static EngineResult OnClose(void* userData, HostHandle fileHandle) {
    return Self(userData).Close(fileHandle);
  }
  static EngineResult OnFlush(void* userData, HostHandle fileHandle) {
    return Self(userData).Flush(fileHandle);
  }
  static EngineResult OnDelete(void* userData, const std::u16string& fileName) {
    return Self(userData).Delete(fileName);
  }
  static EngineResult OnGetSize(void* userData, HostHandle fileHandle, std::int64_t& size) {
    return Self(userData).GetSize(fileHandle, size);
  }
  static EngineResult OnSetSize(void* userData, HostHandle fileHandle, std::int64_t newSize) {
    return Guarded([&] { return Self(userData).SetSize(fileHandle, newSize); });
  }
  static EngineResult OnSeek(void* userData, HostHandle fileHandle, std::int64_t offset,
                             int origin) {
    return Self(userData).Seek(fileHandle, offset, origin);
  }
  static EngineResult OnRead(void* userData, HostHandle fileHandle, void* buffer,
                             std::uint32_t count) {
    return Self(userData).Read(fileHandle, buffer, count);
  }
  static EngineResult OnWrite(void* userData, HostHandle fileHandle, const void* buffer,
                              std::uint32_t count) {
    return Guarded([&] { return Self(userData).Write(fileHandle, buffer, count); });
  }
};

MemoryHostFiles::MemoryHostFiles(Snapshot files) {
  for (auto& [name, bytes] : files) {
    auto file = std::make_shared<File>();
    file->bytes = std::move(bytes);
    files_.emplace(name, file);
    durableNames_.emplace(name, std::move(file));
  }
}

void MemoryHostFiles::MarkDurable(File& file) {
  file.durable = file.bytes;
  file.unsynced.clear();
}

void MemoryHostFiles::SetPowerLoss(Unflushed unflushed, std::uint32_t seed) {
  std::scoped_lock lock(lock_);
  // The medium is tracked only while a loss can drop something (copying a
  // file at every flush would slow the tests that never lose power): what
  // is there when tracking starts counts as flushed.
  if (unflushed_ == Unflushed::kKept && unflushed != Unflushed::kKept) {
    for (auto& [name, file] : files_) MarkDurable(*file);
    durableNames_ = files_;
  }
  unflushed_ = unflushed;
  seed_ = seed;
}

std::vector<std::uint8_t> MemoryHostFiles::AfterPowerLoss(const File& file,
                                                          std::uint32_t seed) const {
  std::vector<std::uint8_t> bytes = file.durable;
  if (unflushed_ != Unflushed::kSomeKept) return bytes;
  std::mt19937 random(seed);
  std::vector<std::size_t> order(file.unsynced.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::shuffle(order.begin(), order.end(), random);
  for (std::size_t i : order) {
    const Unsynced& change = file.unsynced[i];
    const auto position = static_cast<std::size_t>(change.position);
    // Each change is lost, kept, or (a write over more than one sector)
    // kept up to a sector boundary.
    const unsigned fate = random() % 3;
    if (fate == 0) continue;
    if (change.resize) {
      bytes.resize(position);
      continue;
    }
    std::size_t length = change.data.size();
    const std::size_t sectors = length / kSectorSize;
    if (fate == 2 && sectors > 1) length = (1 + random() % (sectors - 1)) * kSectorSize;
    if (bytes.size() < position + length) bytes.resize(position + length);
    std::memcpy(bytes.data() + position, change.data.data(), length);
  }
  return bytes;
}

HostFileCallbacks MemoryHostFiles::Callbacks() {
  HostFileCallbacks callbacks;
  callbacks.UserData = this;
  callbacks.OnFileCreate = &MemoryHostFilesCallbacks::OnCreate;
  callbacks.OnFileOpen = &MemoryHostFilesCallbacks::OnOpen;
  callbacks.OnFileClose = &MemoryHostFilesCallbacks::OnClose;
  callbacks.OnFileFlush = &MemoryHostFilesCallbacks::OnFlush;
  callbacks.OnFileDelete = &MemoryHostFilesCallbacks::OnDelete;
  callbacks.OnFileGetSize = &MemoryHostFilesCallbacks::OnGetSize;
  callbacks.OnFileSetSize = &MemoryHostFilesCallbacks::OnSetSize;
  callbacks.OnFileSeek = &MemoryHostFilesCallbacks::OnSeek;
  callbacks.OnFileRead = &MemoryHostFilesCallbacks::OnRead;
  callbacks.OnFileWrite = &MemoryHostFilesCallbacks::OnWrite;
  return callbacks;
}

bool MemoryHostFiles::Exists(const std::u16string& name) const {
  std::scoped_lock lock(lock_);
  return files_.count(name) != 0;
}

std::vector<std::uint8_t> MemoryHostFiles::Contents(const std::u16string& name) const {
  std::scoped_lock lock(lock_);
  auto found = files_.find(name);
  return found == files_.end() ? std::vector<std::uint8_t>{} : found->second->bytes;
}

void MemoryHostFiles::SetContents(const std::u16string& name, std::vector<std::uint8_t> bytes) {
  std::scoped_lock lock(lock_);
  auto& file = files_[name];
  if (!file) file = std::make_shared<File>();
  file->bytes = std::move(bytes);
  if (Tracking()) MarkDurable(*file);
  durableNames_[name] = file;
}

void MemoryHostFiles::Remove(const std::u16string& name) {
  std::scoped_lock lock(lock_);
  files_.erase(name);
  durableNames_.erase(name);
}

MemoryHostFiles::Snapshot MemoryHostFiles::TakeSnapshot() const {
  std::scoped_lock lock(lock_);
  Snapshot snapshot;
  if (!crashed_ || unflushed_ == Unflushed::kKept) {
    for (const auto& [name, file] : files_) snapshot.emplace(name, file->bytes);
    return snapshot;
  }
  for (const auto& [name, file] : durableNames_) {
    const std::uint32_t seed =
        seed_ ^ static_cast<std::uint32_t>(std::hash<std::u16string>{}(name));
    snapshot.emplace(name, AfterPowerLoss(*file, seed));
  }
  return snapshot;
}

void MemoryHostFiles::SetReadOnly(const std::u16string& name, bool readOnly) {
  std::scoped_lock lock(lock_);
  auto found = files_.find(name);
  if (found != files_.end()) found->second->readOnly = readOnly;
}

std::size_t MemoryHostFiles::OpenHandleCount() const {
  std::scoped_lock lock(lock_);
  return handles_.size();
}

std::uint64_t MemoryHostFiles::WriteCount() const {
  std::scoped_lock lock(lock_);
  return writeCount_;
}

std::uint64_t MemoryHostFiles::FlushCount() const {
  std::scoped_lock lock(lock_);
  return flushCount_;
}

void MemoryHostFiles::FailWrite(std::uint64_t n, EngineResult error) {
  std::scoped_lock lock(lock_);
  failingWrites_[n] = error;
}

void MemoryHostFiles::TearWrite(std::uint64_t n, std::uint32_t keepBytes) {
  std::scoped_lock lock(lock_);
  tearAt_ = n;
  tearKeepBytes_ = keepBytes;
}

void MemoryHostFiles::CrashAfterWrites(std::uint64_t n) {
  std::scoped_lock lock(lock_);
  crashAfter_ = n;
  if (writeCount_ >= n) crashed_ = true;
}

void MemoryHostFiles::CrashOrTearAt(std::uint64_t cut, bool torn, std::uint32_t keepBytes) {
  if (torn)
    TearWrite(cut + 1, keepBytes);
  else
    CrashAfterWrites(cut);
}

bool MemoryHostFiles::Crashed() const {
  std::scoped_lock lock(lock_);
  return crashed_;
}

void MemoryHostFiles::ResetFaults() {
  std::scoped_lock lock(lock_);
  writeCount_ = 0;
  flushCount_ = 0;
  failingWrites_.clear();
  tearAt_ = 0;
  tearKeepBytes_ = 0;
  crashAfter_.reset();
  crashed_ = false;
}

HostHandle MemoryHostFiles::AddHandle(std::shared_ptr<File> file, bool readOnly) {
  const HostHandle handle = nextHandle_++;
  handles_.emplace(handle, OpenFile{std::move(file), 0, readOnly});
  return handle;
}

MemoryHostFiles::OpenFile* MemoryHostFiles::FindHandle(HostHandle handle) {
  auto found = handles_.find(handle);
  return found == handles_.end() ? nullptr : &found->second;
}

MemoryHostFiles::WriteFate MemoryHostFiles::NextWrite(EngineResult& failure,
                                                      std::uint32_t& keepBytes) {
  const std::uint64_t n = ++writeCount_;
  WriteFate fate = WriteFate::kStore;
  if (crashed_) {
    fate = WriteFate::kDrop;
  } else if (auto failing = failingWrites_.find(n); failing != failingWrites_.end()) {
    failure = failing->second;
    fate = WriteFate::kFail;
  } else if (n == tearAt_) {
    keepBytes = tearKeepBytes_;
    fate = WriteFate::kTear;
    crashed_ = true;
  }
  if (crashAfter_ && n >= *crashAfter_) crashed_ = true;
  return fate;
}

EngineResult MemoryHostFiles::Create(const std::u16string& name, HostHandle& handle,
                                     bool overwrite) {
  std::scoped_lock lock(lock_);
  auto found = files_.find(name);
  if (found != files_.end()) {
    if (!overwrite) return EEXIST;
    if (found->second->readOnly) return EACCES;
  }
  if (crashed_) {
    // The program believes it created the file; the disk never sees it.
    handle = AddHandle(std::make_shared<File>(), false);
    return errOk;
  }
  if (found != files_.end()) {
    found->second->bytes.clear();
    if (Tracking()) found->second->unsynced.push_back(Unsynced{0, {}, true});
    handle = AddHandle(found->second, false);
  } else {
    auto file = std::make_shared<File>();
    files_.emplace(name, file);
    handle = AddHandle(std::move(file), false);
  }
  return errOk;
}

EngineResult MemoryHostFiles::Open(const std::u16string& name, HostHandle& handle, bool& readOnly) {
  std::scoped_lock lock(lock_);
  auto found = files_.find(name);
  if (found == files_.end()) return ENOENT;
  const bool effectiveReadOnly = readOnly || found->second->readOnly;
  handle = AddHandle(found->second, effectiveReadOnly);
  readOnly = effectiveReadOnly;
  return errOk;
}

EngineResult MemoryHostFiles::Close(HostHandle handle) {
  std::scoped_lock lock(lock_);
  return handles_.erase(handle) != 0 ? errOk : EBADF;
}

EngineResult MemoryHostFiles::Flush(HostHandle handle) {
  std::scoped_lock lock(lock_);
  ++flushCount_;
  OpenFile* open = FindHandle(handle);
  if (open == nullptr) return EBADF;
  // After the loss the medium no longer changes; untracked, there is nothing to note.
  if (crashed_ || !Tracking()) return errOk;
  MarkDurable(*open->file);
  // A new file's name reaches the medium with it.
  for (const auto& [name, file] : files_) {
    if (file == open->file) durableNames_[name] = file;
  }
  return errOk;
}

EngineResult MemoryHostFiles::Delete(const std::u16string& name) {
  std::scoped_lock lock(lock_);
  auto found = files_.find(name);
  if (found == files_.end()) return ENOENT;
  if (!crashed_) {
    durableNames_.erase(name);
    files_.erase(found);
  }
  return errOk;
}

EngineResult MemoryHostFiles::GetSize(HostHandle handle, std::int64_t& size) {
  std::scoped_lock lock(lock_);
  OpenFile* open = FindHandle(handle);
  if (open == nullptr) return EBADF;
  size = static_cast<std::int64_t>(open->file->bytes.size());
  return errOk;
}

EngineResult MemoryHostFiles::SetSize(HostHandle handle, std::int64_t newSize) {
  std::scoped_lock lock(lock_);
  EngineResult failure = errOk;
  std::uint32_t keepBytes = 0;
  const WriteFate fate = NextWrite(failure, keepBytes);
  OpenFile* open = FindHandle(handle);
  if (open == nullptr || open->readOnly) return EBADF;
  if (newSize < 0) return EINVAL;
  if (newSize > kMaxFileSize) return EFBIG;
  switch (fate) {
    case WriteFate::kFail:
      return failure;
    case WriteFate::kTear:
    case WriteFate::kDrop:
      return errOk;
    case WriteFate::kStore:
      open->file->bytes.resize(static_cast<std::size_t>(newSize));
      if (Tracking()) open->file->unsynced.push_back(Unsynced{newSize, {}, true});
      return errOk;
  }
  return errOk;
}

EngineResult MemoryHostFiles::Seek(HostHandle handle, std::int64_t offset, int origin) {
  std::scoped_lock lock(lock_);
  OpenFile* open = FindHandle(handle);
  if (open == nullptr) return EBADF;
  // The engine only ever seeks from the start; anything else is a fault the
  // test should see.
  if (origin != 0 || offset < 0) return EINVAL;
  open->position = offset;
  return errOk;
}

EngineResult MemoryHostFiles::Read(HostHandle handle, void* buffer, std::uint32_t count) {
  std::scoped_lock lock(lock_);
  OpenFile* open = FindHandle(handle);
  if (open == nullptr) return EBADF;
  if (buffer == nullptr && count != 0) return EINVAL;
  const auto size = static_cast<std::int64_t>(open->file->bytes.size());
  // A read that would end past the end of the file delivers nothing at all.
  if (open->position > size || count > size - open->position) return EIO;
  if (count != 0) {
    std::memcpy(buffer, open->file->bytes.data() + open->position, count);
  }
  open->position += count;
  return errOk;
}

EngineResult MemoryHostFiles::Write(HostHandle handle, const void* buffer, std::uint32_t count) {
  std::scoped_lock lock(lock_);
  EngineResult failure = errOk;
  std::uint32_t keepBytes = count;
  const WriteFate fate = NextWrite(failure, keepBytes);
  OpenFile* open = FindHandle(handle);
  if (open == nullptr || open->readOnly) return EBADF;
  if (buffer == nullptr && count != 0) return EINVAL;
  if (open->position > kMaxFileSize - count) return EFBIG;
  std::uint32_t stored = 0;
  switch (fate) {
    case WriteFate::kFail:
      return failure;
    case WriteFate::kDrop:
      break;
    case WriteFate::kTear:
      stored = std::min(keepBytes, count);
      break;
    case WriteFate::kStore:
      stored = count;
      break;
  }
  if (stored != 0) {
    std::vector<std::uint8_t>& bytes = open->file->bytes;
    const auto position = static_cast<std::size_t>(open->position);
    // Writing past the end leaves a run of zeros before the new bytes.
    if (bytes.size() < position + stored) bytes.resize(position + stored);
    std::memcpy(bytes.data() + position, buffer, stored);
    if (Tracking()) {
      const auto* from = static_cast<const std::uint8_t*>(buffer);
      open->file->unsynced.push_back(
          Unsynced{open->position, std::vector<std::uint8_t>(from, from + stored), false});
    }
  }
  // The program under test believes every byte went out, also when some
  // were lost.
  open->position += count;
  return errOk;
}

}  // namespace vaultfs::testing

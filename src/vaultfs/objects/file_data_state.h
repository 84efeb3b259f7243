// The per-object state behind file data and handles, and the block-level
// operations that the handle code builds on. Everything here runs under the
// object's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/volume/page_cipher.h"

namespace vaultfs {

// DataBuffer flags.
inline constexpr std::uint32_t dbDirty = 0x2;
inline constexpr std::uint32_t dbLeaveInline = 0x10;  // block 0 must move to data pages
inline constexpr std::uint32_t dbStoreRaw = 0x20;     // the next store skips compression

// One block of a data stream in memory: its stored form (compressed and/or
// as kept in the pages, before encipherment) and its data. Without any
// compression both are the same memory.
struct DataBuffer {
  std::uint64_t BlockStart = 0;
  std::uint32_t StoredLength = 0;
  std::uint32_t ValidLength = 0;
  std::uint32_t BlockCapacity = 0;
  std::unique_ptr<std::uint8_t[]> StoredForm;  // BlockCapacity + kStoredFormSlack bytes
  std::unique_ptr<std::uint8_t[]> OwnData;     // BlockCapacity bytes, only when compressing
  std::uint8_t* Data = nullptr;
  std::atomic<std::int32_t> References{0};
  std::uint32_t Flags = 0;
  FileObject* Owner = nullptr;
  std::vector<std::uint32_t> BlockPageList;  // the block's data pages, first first

  bool Separate() const { return OwnData != nullptr; }
};

// A key for the object's data: mode, password and key variant, and the cipher
// made from them (none for mode 0).
struct FileCipher {
  std::uint32_t Mode = 0;
  SecretBytes Password;
  std::uint32_t Variant = 0;
  std::shared_ptr<PageCipher> Key;

  void Clear() {
    Mode = 0;
    Password.Clear();
    Variant = 0;
    Key.reset();
  }
};

struct FileDataState {
  // Page index -> page number (0 = hole), loaded lazily; complete when the
  // object has ofPageListComplete and the list is not empty.
  std::vector<std::uint32_t> DataPageList;
  std::vector<std::uint32_t> IndexPageList;  // BlockIndexPages, first first

  // Blocks in use, sorted by BlockStart, and released ones kept for reuse so
  // that moving through a file allocates nothing per block.
  std::vector<std::unique_ptr<DataBuffer>> Buffers;
  std::vector<std::unique_ptr<DataBuffer>> Spare;

  FileCipher ReadCipher;
  FileCipher WriteCipher;
  bool CipherReady = false;  // the ciphers were set from a checked password

  std::uint32_t ReadCompression = crNoCompression;
  std::uint32_t WriteCompression = crNoCompression;
  std::uint32_t Level = 0;
  std::uint32_t BlockPages = 1;
  bool SettingsReady = false;  // the compression settings above are loaded

  std::int32_t DenyReadCount = 0;
  std::int32_t DenyWriteCount = 0;
  std::vector<FileHandle*> Handles;

  // A change of the stored structure failed part-way: what the object's
  // transaction holds must not be committed.
  bool Damaged = false;
};

// The object's state, created on first use.
FileDataState& DataState(FileObject& object);
// Drops cached blocks (unwritten), page lists and handle buffers: what a
// roll-back or the destruction of the object makes stale.
void DropFileDataState(FileObject& object);

// Loads the compression settings as an open handle uses them: the root and
// objects without an rkCompression record get none with the storage's
// Buffering pages per block.
[[nodiscard]] EngineResult LoadCompressionSettings(FileObject& object, Transaction* t);
// Adds the empty data stream record when the object has none.
[[nodiscard]] EngineResult EnsureStreamRecord(FileObject& object, Transaction* t);

[[nodiscard]] EngineResult EnsureDataEnd(FileObject& object);
// The buffer of the block holding `position`; the buffer in `slot` (if any)
// is released and `slot` receives the new one with a reference.
[[nodiscard]] EngineResult GetBuffer(FileObject& object, Transaction* t, std::uint64_t position,
                                     bool extendAllowed, DataBuffer*& slot);
// Drops one reference; the last one stores a dirty block. `slot` is cleared.
[[nodiscard]] EngineResult ReleaseBuffer(FileObject& object, Transaction* t, DataBuffer*& slot);
// Stores every dirty block in use, keeping the buffers.
[[nodiscard]] EngineResult StoreDirtyBuffers(FileObject& object, Transaction* t);

[[nodiscard]] EngineResult SetFileSize(FileObject& object, Transaction* t, std::uint64_t size,
                                       bool applyToData, bool force);
[[nodiscard]] EngineResult RewriteAll(FileObject& object, Transaction* t);

// Reading and writing at a position through a buffer slot. Bytes between the
// stored data and Size read as zeros; reads store nothing.
[[nodiscard]] EngineResult ReadAt(FileObject& object, Transaction* t, DataBuffer*& slot,
                                  std::uint64_t position, std::uint8_t* buffer, std::uint64_t count,
                                  std::uint64_t& done);
[[nodiscard]] EngineResult WriteAt(FileObject& object, Transaction* t, DataBuffer*& slot,
                                   std::uint64_t position, const std::uint8_t* buffer,
                                   std::uint64_t count, std::uint64_t& done);

// The largest stream the page index (u32) can address with the current block size.
std::uint64_t MaxStreamLength(const FileObject& object);

}  // namespace vaultfs

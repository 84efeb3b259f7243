// File data and open-file handles: blocks stored inline or in DataPage
// chains listed by a block index, compression and per-file encryption, and
// reading, writing and resizing through FileHandles.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vaultfs/objects/file_object.h"

namespace vaultfs {

// An open file.
struct FileHandle {
  FileObject* Object = nullptr;  // none once closed
  Volume* volume = nullptr;
  std::uint32_t Tag = 0;
  std::u16string Path;
  bool Read = false;
  bool Write = false;
  bool DenyRead = false;
  bool DenyWrite = false;
  std::uint64_t Position = 0;
  struct DataBuffer* Buffer = nullptr;  // buffer of the current block
};

// ---- handles ----
// cipherMode -1 or 0: whatever the file has. The password is the file's own.
[[nodiscard]] EngineResult OpenHandle(FileObject& object, std::uint32_t tag,
                                      std::u16string_view path, bool read, bool write,
                                      bool denyRead, bool denyWrite, std::int32_t cipherMode,
                                      std::span<const std::uint8_t> password, FileHandle*& handle);
[[nodiscard]] EngineResult CloseHandle(FileHandle* handle, bool releaseChain);
[[nodiscard]] EngineResult FlushHandle(FileHandle* handle, std::uint32_t flags);
[[nodiscard]] EngineResult Seek(FileHandle* handle, std::int64_t offset, int origin,
                                std::uint64_t& position);
[[nodiscard]] EngineResult ReadData(FileHandle* handle, std::uint8_t* buffer, std::uint32_t count,
                                    std::uint32_t& done);
[[nodiscard]] EngineResult WriteData(FileHandle* handle, const std::uint8_t* buffer,
                                     std::uint32_t count, std::uint32_t& done);
[[nodiscard]] EngineResult SetEndOfFile(FileHandle* handle);
[[nodiscard]] EngineResult SetFileSizeByHandle(FileHandle* handle, std::uint64_t size);
[[nodiscard]] EngineResult SupplyPassword(FileObject& object,
                                          std::span<const std::uint8_t> password);
// The file's Size.
[[nodiscard]] EngineResult GetSize(FileHandle* handle, std::uint64_t& size);

// ---- settings ----
[[nodiscard]] EngineResult ReadEncryptionSetting(FileObject& object, Transaction* t,
                                                 std::uint32_t& mode);
[[nodiscard]] EngineResult VerifyFilePassword(FileObject& object, Transaction* t,
                                              std::span<const std::uint8_t> password, bool& valid);
[[nodiscard]] EngineResult ChangeFileEncryption(FileObject& object, Transaction* t,
                                                std::uint32_t newMode,
                                                std::span<const std::uint8_t> oldPassword,
                                                std::span<const std::uint8_t> newPassword,
                                                bool updateAttributes);
[[nodiscard]] EngineResult ReadCompressionSetting(FileObject& object, Transaction* t,
                                                  std::uint32_t& mode, std::uint32_t& level,
                                                  std::uint32_t& blockPages);
[[nodiscard]] EngineResult ChangeFileCompression(FileObject& object, Transaction* t,
                                                 std::uint32_t mode, std::uint32_t level,
                                                 std::uint32_t blockPages, bool updateAttributes);
// The same for an encrypted file: its data can only be rewritten with its password.
[[nodiscard]] EngineResult ChangeFileCompression(FileObject& object, Transaction* t,
                                                 std::uint32_t mode, std::uint32_t level,
                                                 std::uint32_t blockPages,
                                                 std::span<const std::uint8_t> password,
                                                 bool updateAttributes);

// ---- whole streams without a handle (symbolic link targets) ----
[[nodiscard]] EngineResult ReadStream(FileObject& object, Transaction* t,
                                      std::vector<std::uint8_t>& data);
[[nodiscard]] EngineResult WriteStream(FileObject& object, Transaction* t,
                                       std::span<const std::uint8_t> data);

// Points the store's DropDataState hook at the file data layer, which then
// forgets an object's cached blocks and page lists on roll-back and
// destruction. Called on first use of any object's data; calling it from the
// ObjectStore constructor as well is harmless.
void InstallFileDataHooks(ObjectStore& store);

}  // namespace vaultfs

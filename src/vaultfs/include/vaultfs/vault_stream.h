// Streams: a small abstract stream class of our own, and TVaultStream, a
// stream over one file inside an open container.
#pragma once

#include <cstdint>
#include <string>

#include "vaultfs/engine_api.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/vault_error.h"

namespace vaultfs {

class TBaseVaultStorage;
class TVaultStorage;

inline constexpr std::uint16_t soFromBeginning = 0;
inline constexpr std::uint16_t soFromCurrent = 1;
inline constexpr std::uint16_t soFromEnd = 2;

// File-mode words of the stream constructors.
inline constexpr std::uint16_t fmCreate = 0xFFFF;
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareExclusive = 0x0010;
inline constexpr std::uint16_t fmShareDenyWrite = 0x0020;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;

// The abstract stream. Positions and sizes are 64-bit throughout: a 32-bit
// position would wrap on files beyond 2 GiB.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual void SetSize(std::int64_t newSize) = 0;
  // Up to `count` bytes; 0 at the end. Failures raise.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, std::uint16_t origin) = 0;

  // Exactly `count` bytes or EReadError ("Stream read error") /
  // EWriteError ("Stream write error").
  void ReadBuffer(void* buffer, std::int32_t count);
  void WriteBuffer(const void* buffer, std::int32_t count);
  std::int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, soFromBeginning); }
  std::int64_t Size();
};

// The stream over a container file as the component sees it.
class TBaseVaultStream : public TStream {
 public:
  virtual std::int64_t GetPosition64() = 0;
  virtual std::int64_t GetSize64() = 0;
  virtual void SetPosition64(std::int64_t position) = 0;
  virtual void SetSize64(std::int64_t newSize) = 0;
  // Only confirms that the handle is still valid; writes nothing.
  virtual void Flush() = 0;
  virtual std::int64_t Seek64(std::int64_t offset, std::uint16_t origin) = 0;
  // Seek and transfer as one step; the end of the file reads as 0.
  virtual std::int32_t ReadAt(std::int64_t offset, void* buffer, std::int32_t count) = 0;
  virtual std::int32_t WriteAt(std::int64_t offset, const void* buffer, std::int32_t count) = 0;
};

class TVaultStream : public TBaseVaultStream {
 public:
  // Mode fmCreate creates the file or opens and empties an existing one
  // (read and write, others may read); any other mode opens an existing file
  // (write with bit 0x1 or 0x2; deny bits 0x10 / 0x20 / 0x30 / 0x40). The
  // storage's FilesEncryption, FilesPassword, Compression and
  // CompressionLevel apply to a new file; an encrypted file's password comes
  // from FilesPassword or OnPasswordNeeded. A storage that is not a
  // TVaultStorage raises errInvalidParameter.
  TVaultStream(TBaseVaultStorage& storage, const std::u16string& fileName, std::uint16_t mode);
  // CreateNew true: a new file (errAlreadyExists when one exists); false: an
  // existing file opened unchanged, or a missing one created.
  TVaultStream(TBaseVaultStorage& storage, const std::u16string& fileName, bool createNew,
               bool read, bool write, bool denyRead, bool denyWrite, const std::u16string& password,
               TVaultEncryption encryption, TVaultCompression compression,
               std::uint32_t compressionLevel, std::uint16_t blockSetting);
  // Takes over an open handle (the root stream). `storage`, when given, is
  // the storage whose event handlers the engine may call during transfers.
  explicit TVaultStream(FileHandle* handle, TVaultStorage* storage = nullptr)
      : Handle(handle), Storage(storage) {}
  ~TVaultStream() override;
  TVaultStream(const TVaultStream&) = delete;
  TVaultStream& operator=(const TVaultStream&) = delete;

  void SetSize(std::int64_t newSize) override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override;
  std::int64_t GetPosition64() override;
  std::int64_t GetSize64() override;
  void SetPosition64(std::int64_t position) override;
  void SetSize64(std::int64_t newSize) override;
  void Flush() override;
  std::int64_t Seek64(std::int64_t offset, std::uint16_t origin) override;
  std::int32_t ReadAt(std::int64_t offset, void* buffer, std::int32_t count) override;
  std::int32_t WriteAt(std::int64_t offset, const void* buffer, std::int32_t count) override;

  FileHandle* Handle = nullptr;
  // The storage the file lies in (it must outlive the stream); its event
  // handlers may run inside the stream's engine calls.
  TVaultStorage* Storage = nullptr;

 private:
  void Check(EngineResult result);
};

// Before an existing file is opened: follows a link, reads the file's
// encryption and, when the password does not fit, asks OnPasswordNeeded with
// Attempt 0, 1, 2, ... until it fits or Cancel is set. Returns not Cancel.
bool ResolveFilePassword(TVaultStorage& storage, const std::u16string& path,
                         std::u16string& password, TVaultEncryption& encryption);

}  // namespace vaultfs

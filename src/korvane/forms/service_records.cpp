#include "korvane/forms/service_records.h"

#include <vector>

#include "korvane/forms/globals.h"
#include "vaultfs/utf16.h"
#include "vaultfs/vault_stream.h"

namespace korvane {

std::unique_ptr<vaultfs::TVaultStorage> NewContainerStorage(const std::string& containerPath) {
  auto storage = std::make_unique<vaultfs::TVaultStorage>();
  storage->SetFileName(vaultfs::Utf8ToUtf16(containerPath));
  storage->SetPageSize(kContainerPageSize);
  storage->SetLogo(vaultfs::Utf8ToUtf16(kContainerLogo));
  storage->SetStorageEncryption(vaultfs::ecAES256_HMAC256);
  storage->SetStoragePassword(vaultfs::Utf8ToUtf16(kStoragePasswordText));
  return storage;
}

namespace {

void WriteRecord(vaultfs::TVaultStorage& storage, const std::u16string& path,
                 const std::string& text) {
  // Explicit settings: the record must stay readable without the folder
  // password and byte for byte as written.
  vaultfs::TVaultStream stream(storage, path, /*createNew=*/false, /*read=*/true, /*write=*/true,
                               /*denyRead=*/false, /*denyWrite=*/false, std::u16string(),
                               vaultfs::ecNoEncryption, vaultfs::crNoCompression, 0, 1);
  stream.SetSize64(0);
  if (!text.empty()) stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

}  // namespace

void WriteServiceRecords(vaultfs::TVaultStorage& storage, std::uint32_t sizeKB,
                         const std::string& hashText, bool withEscrow,
                         const std::string& escrowText) {
  const vaultfs::TVaultEncryption encryption = storage.FilesEncryption();
  const vaultfs::TVaultCompression compression = storage.Compression();
  const std::uint32_t level = storage.CompressionLevel();
  storage.SetFilesEncryption(vaultfs::ecNoEncryption);
  storage.SetCompression(vaultfs::crNoCompression);
  storage.SetCompressionLevel(0);
  // Only the records: a file of the folder that happens to be named
  // "*.service" is the person's data and goes into DATA, encrypted like
  // every other (readers never looked at anything else here).
  storage.ForceCreateDirectories(kServiceFolder);
  WriteRecord(storage, kSizeRecord, std::to_string(sizeKB));
  WriteRecord(storage, kHashRecord, hashText);
  if (withEscrow) WriteRecord(storage, kEscrowRecord, escrowText);
  storage.SetFilesEncryption(encryption);
  storage.SetCompression(compression);
  storage.SetCompressionLevel(level);
}

std::string ReadServiceRecord(vaultfs::TVaultStorage& storage, const std::u16string& path) {
  vaultfs::TVaultStream stream(storage, path, /*createNew=*/false, /*read=*/true, /*write=*/false,
                               /*denyRead=*/false, /*denyWrite=*/false, std::u16string(),
                               vaultfs::ecNoEncryption, vaultfs::crNoCompression, 0, 1);
  const std::int64_t size = stream.GetSize64();
  if (size < 0 || size > kMaxServiceRecordSize) {
    throw std::runtime_error("The service record " + vaultfs::Utf16ToUtf8(path) +
                             " is too large to be one");
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  if (size > 0) stream.ReadBuffer(text.data(), static_cast<std::int32_t>(size));
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

}  // namespace korvane

#include "korvane/forms/container_layout.h"

#include <openssl/crypto.h>

#include <utility>
#include <vector>

#include "korvane/forms/globals.h"
#include "vaultfs/utf16.h"

namespace korvane {

namespace {

// What a new tag may hold (the engine's limit for a record in a header page).
std::size_t MaxTagSize(std::uint32_t pageSize) {
  return pageSize > 60 ? pageSize - 60 : 0;
}

void WipeText(std::u16string& text) noexcept {
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

std::unique_ptr<vaultfs::TVaultStorage> NewStorageWithSettings(const std::string& path) {
  auto storage = std::make_unique<vaultfs::TVaultStorage>();
  storage->SetFileName(vaultfs::Utf8ToUtf16(path));
  storage->SetPageSize(kContainerPageSize);
  storage->SetLogo(vaultfs::Utf8ToUtf16(kContainerLogo));
  storage->SetStorageEncryption(vaultfs::ecAES256_HMAC256);
  return storage;
}

}  // namespace

std::size_t MaxPublicEscrowSize(std::uint32_t pageSize) {
  const std::size_t tag = MaxTagSize(pageSize);
  return tag > kHardenedRecordSize ? tag - kHardenedRecordSize : 0;
}

std::optional<TPublicRecord> ReadPublicRecord(vaultfs::TVaultStorage& storage) {
  bool exists = false;
  const std::uint32_t size = storage.GetFileTagSize(kRootPath, kPublicRecordTag, exists);
  if (!exists) return std::nullopt;
  std::vector<std::uint8_t> bytes(size);
  if (size == 0 || storage.GetFileTag(kRootPath, kPublicRecordTag, bytes.data(), size) != size ||
      size < kHardenedRecordSize) {
    throw HardenedKeyError(HardenedKeyError::Kind::kDamagedRecord,
                           "The key record of the protected folder is damaged.");
  }
  TPublicRecord record;
  record.Record = DecodeHardenedRecord(std::span(bytes).first(kHardenedRecordSize));
  record.EscrowText.assign(bytes.begin() + kHardenedRecordSize, bytes.end());
  return record;
}

void WritePublicRecord(vaultfs::TVaultStorage& storage, const TPublicRecord& record) {
  if (record.EscrowText.size() > MaxPublicEscrowSize(storage.PageSize())) {
    throw HardenedKeyError(HardenedKeyError::Kind::kInvalidArgument,
                           "The recovery escrow text is too long for the key record.");
  }
  std::vector<std::uint8_t> bytes = EncodeHardenedRecord(record.Record);
  bytes.insert(bytes.end(), record.EscrowText.begin(), record.EscrowText.end());
  storage.SetFileTag(kRootPath, kPublicRecordTag, bytes.data(),
                     static_cast<std::uint32_t>(bytes.size()));
}

TContainerAccess TContainerAccess::Classic(const std::string& password) {
  TContainerAccess access;
  access.layout_ = TContainerLayout::clClassic;
  access.storagePassword_ = vaultfs::Utf8ToUtf16(kStoragePasswordText);
  access.filesPassword_ = vaultfs::Utf8ToUtf16(password);
  return access;
}

TContainerAccess TContainerAccess::Hardened(const HardenedSubkeys& keys) {
  TContainerAccess access;
  access.layout_ = TContainerLayout::clHardened;
  access.storagePassword_ = ToEnginePassword(keys.StoragePassword).text();
  access.filesPassword_ = ToEnginePassword(keys.FilePassword).text();
  return access;
}

TContainerAccess::TContainerAccess(TContainerAccess&& other) noexcept
    : layout_(other.layout_),
      storagePassword_(std::move(other.storagePassword_)),
      filesPassword_(std::move(other.filesPassword_)) {
  other.Wipe();
}

TContainerAccess& TContainerAccess::operator=(TContainerAccess&& other) noexcept {
  if (this != &other) {
    Wipe();
    layout_ = other.layout_;
    storagePassword_ = std::move(other.storagePassword_);
    filesPassword_ = std::move(other.filesPassword_);
    other.Wipe();
  }
  return *this;
}

TContainerAccess::~TContainerAccess() {
  Wipe();
}

void TContainerAccess::Wipe() noexcept {
  WipeText(storagePassword_);
  WipeText(filesPassword_);
}

std::unique_ptr<vaultfs::TVaultStorage> TContainerAccess::NewStorage(const std::string& path) const {
  auto storage = NewStorageWithSettings(path);
  storage->SetStoragePassword(storagePassword_);
  if (filesPassword_.empty()) {
    storage->SetFilesEncryption(vaultfs::ecNoEncryption);
  } else {
    storage->SetFilesEncryption(vaultfs::ecAES256_HMAC256);
    storage->SetFilesPassword(filesPassword_);
  }
  return storage;
}

std::unique_ptr<vaultfs::TVaultStorage> TContainerAccess::OpenForReading(
    const std::string& path) const {
  auto storage = NewStorage(path);
  storage->SetReadOnly(true);
  storage->Open(2);
  return storage;
}

std::unique_ptr<vaultfs::TVaultStorage> NewLockedContainerStorage(const std::string& path) {
  return NewStorageWithSettings(path);
}

std::span<const std::uint8_t> PasswordBytes(const std::string& password) {
  return {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()};
}

bool ChangeContainerPassword(vaultfs::TVaultStorage& storage, const std::string& oldPassword,
                             const std::string& newPassword, const KdfParameters& newParameters,
                             const std::string& newEscrowText) {
  const std::optional<TPublicRecord> current = ReadPublicRecord(storage);
  if (!current) {
    throw HardenedKeyError(HardenedKeyError::Kind::kInvalidArgument,
                           "This protected folder has the classic layout: its password cannot "
                           "be changed without opening it.");
  }
  const std::optional<SecretBytes> master =
      OpenHardenedRecord(current->Record, PasswordBytes(oldPassword));
  if (!master) return false;
  TPublicRecord next{CreateHardenedRecord(*master, PasswordBytes(newPassword), newParameters,
                                          current->Record.SizeKB),
                     current->EscrowText.empty() ? std::string() : newEscrowText};
  // Unlocked, so that the engine may touch whatever pages the change needs.
  const HardenedSubkeys keys = DeriveSubkeys(*master);
  storage.SupplyStoragePassword(ToEnginePassword(keys.StoragePassword).text());
  WritePublicRecord(storage, next);
  return true;
}

}  // namespace korvane

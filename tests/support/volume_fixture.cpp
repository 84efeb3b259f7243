#include "support/volume_fixture.h"

#include <algorithm>

#include "support/structure_check.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/storage_password.h"

namespace vaultfs::testing {

void HostedVolumeTest::SetUp() {
  ASSERT_EQ(volume_.SetHostFileCallbacks(files_.Callbacks()), errOk);
}

void ExpectSoundStructure(MemoryHostFiles& files, const std::u16string& name) {
  Volume reader;
  ASSERT_EQ(reader.SetHostFileCallbacks(files.Callbacks()), 0);
  ASSERT_EQ(reader.Open(name, true), 0);
  for (const std::string& problem : CheckStructure(reader)) ADD_FAILURE() << problem;
  ASSERT_EQ(reader.Close(), 0);
}

void MemoryVolumeTest::OpenVolume(bool create, const VolumeSettings& settings,
                                  MemoryHostFiles* host) {
  // The store refers to the volume: it goes first.
  store_.reset();
  volume_ = std::make_unique<Volume>();
  ASSERT_EQ(volume_->SetHostFileCallbacks((host ? *host : files_).Callbacks()), 0);
  if (settings.transactions) {
    ASSERT_EQ(volume_->SetUseTransactions(*settings.transactions), 0);
  }
  if (settings.separator) {
    ASSERT_EQ(volume_->SetPathSeparator(*settings.separator), 0);
  }
  if (settings.caseSensitive) volume_->CaseSensitive = *settings.caseSensitive;
  if (settings.autoCompact) volume_->AutoCompact = *settings.autoCompact;
  store_ = std::make_unique<ObjectStore>(*volume_);
  if (create)
    ASSERT_EQ(volume_->Create(name_, settings.overwrite, settings.pageSize, u""), 0);
  else
    ASSERT_EQ(volume_->Open(name_, settings.readOnly), 0);
}

void MemoryVolumeTest::CloseVolume() {
  ASSERT_EQ(volume_->Close(), 0);
  store_.reset();
  volume_.reset();
}

EngineResult WriteAll(FileHandle* handle, std::span<const std::uint8_t> content) {
  EngineResult r = 0;
  for (std::size_t done = 0; r == 0 && done < content.size();) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(1500, content.size() - done));
    std::uint32_t written = 0;
    r = WriteData(handle, content.data() + done, n, written);
    done += n;
  }
  return r;
}

EngineResult WriteNewFile(ObjectStore& store, const std::u16string& path,
                          std::span<const std::uint8_t> content, std::uint32_t cipher,
                          std::span<const std::uint8_t> password, std::uint32_t compression,
                          std::uint32_t level, std::uint16_t blockPages) {
  FileHandle* h = nullptr;
  EngineResult r =
      compression != crNoCompression
          ? PathCreateFileCompressed(store, path, true, true, false, false, cipher, password,
                                     compression, level, blockPages, h, false, false)
          : PathCreateFile(store, path, true, true, false, false, cipher, password, h, false,
                           false);
  if (r != 0) return r;
  r = WriteAll(h, content);
  EngineResult closed = CloseHandle(h, true);
  return r != 0 ? r : closed;
}

VolumeSession::VolumeSession(MemoryHostFiles& files, std::u16string name, std::uint32_t pageSize,
                             bool transactions, std::span<const std::uint8_t> storagePassword)
    : name_(std::move(name)),
      pageSize_(pageSize),
      storagePassword_(storagePassword.begin(), storagePassword.end()) {
  EXPECT_EQ(volume_.SetHostFileCallbacks(files.Callbacks()), 0);
  EXPECT_EQ(volume_.SetUseTransactions(transactions), 0);
  store_ = std::make_unique<ObjectStore>(volume_);
}

VolumeSession::~VolumeSession() {
  (void)Close();
}

EngineResult VolumeSession::Create() {
  return volume_.Create(name_, true, pageSize_, u"");
}

EngineResult VolumeSession::Open(bool readOnly) {
  EngineResult r = volume_.Open(name_, readOnly);
  if (r == 0 && !storagePassword_.empty()) r = SupplyStoragePassword(*store_, storagePassword_);
  return r;
}

EngineResult VolumeSession::Close() {
  if (!volume_.Active) return 0;
  EngineResult handles = store_->CloseAllHandles(volume_);
  EngineResult closed = volume_.Close();
  return handles != 0 ? handles : closed;
}

}  // namespace vaultfs::testing

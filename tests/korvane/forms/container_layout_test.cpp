// The hardened layout's pieces on a container in memory: the public record,
// the password change under power loss, and the manifest's own check.
#include "korvane/forms/container_layout.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "korvane/forms/container_seal.h"
#include "korvane/forms/service_records.h"
#include "support/memory_host_files.h"
#include "support/storage_host_files.h"
#include "vaultfs/vault_stream.h"

namespace korvane {
namespace {

using vaultfs::testing::AttachHostFiles;
using vaultfs::testing::MemoryHostFiles;

const std::string kPath = "memory.container";
const std::string kOld = "old password";
const std::string kNew = "new password";
const std::string kContent = "what the folder held\n";

// A hardened container with one file, made as protecting makes it.
MemoryHostFiles::Snapshot MakeContainer() {
  MemoryHostFiles files;
  const SecretBytes master = GenerateMasterKey();
  const TContainerAccess access = TContainerAccess::Hardened(DeriveSubkeys(master));
  auto storage = access.NewStorage(kPath);
  AttachHostFiles(*storage, files);
  storage->Open(1);
  WritePublicRecord(*storage,
                    TPublicRecord{CreateHardenedRecord(master, PasswordBytes(kOld), kKdfFloor, 7),
                                  "escrow of the old password"});
  storage->ForceCreateDirectories(kDataFolder);
  {
    vaultfs::TVaultStream stream(*storage, u"DATA\\file.txt", vaultfs::fmCreate);
    stream.WriteBuffer(kContent.data(), static_cast<std::int32_t>(kContent.size()));
  }
  storage->CloseChecked();
  return files.TakeSnapshot();
}

// Which password opens the container in `snapshot` (and reads its file),
// after the engine's recovery of an interrupted change: "old", "new" or
// "neither".
std::string WhichPasswordOpens(const MemoryHostFiles::Snapshot& snapshot) {
  MemoryHostFiles files(snapshot);
  auto probe = NewLockedContainerStorage(kPath);
  AttachHostFiles(*probe, files);
  probe->Open(2);
  const std::optional<TPublicRecord> record = ReadPublicRecord(*probe);
  probe->Close();
  if (!record) return "neither";
  for (const std::string& password : {kOld, kNew}) {
    const std::optional<SecretBytes> master =
        OpenHardenedRecord(record->Record, PasswordBytes(password));
    if (!master) continue;
    EXPECT_EQ(record->EscrowText, "escrow of the " + std::string(password == kOld ? "old" : "new") +
                                      " password");
    EXPECT_EQ(record->Record.SizeKB, 7u);
    auto storage = TContainerAccess::Hardened(DeriveSubkeys(*master)).NewStorage(kPath);
    AttachHostFiles(*storage, files);
    storage->SetReadOnly(true);
    storage->Open(2);
    vaultfs::TVaultStream stream(*storage, u"DATA\\file.txt", vaultfs::fmOpenRead);
    std::string read(kContent.size(), '\0');
    stream.ReadBuffer(read.data(), static_cast<std::int32_t>(read.size()));
    EXPECT_EQ(read, kContent);
    return password == kOld ? "old" : "new";
  }
  return "neither";
}

// Opens the container in `files` with transactions, changes its password
// from kOld to kNew and closes it.
void ChangeAndClose(MemoryHostFiles& files) {
  auto storage = NewLockedContainerStorage(kPath);
  AttachHostFiles(*storage, files);
  storage->SetUseTransactions(true);
  try {
    storage->Open(2);
    EXPECT_TRUE(
        ChangeContainerPassword(*storage, kOld, kNew, kKdfFloor, "escrow of the new password"));
    storage->CloseChecked();
  } catch (const std::exception&) {
    // What the lost power did to the run does not matter; the disk does.
  }
}

TEST(ChangePassword, APowerLossAtAnyWriteLeavesTheOldOrTheNewPasswordWorking) {
  const MemoryHostFiles::Snapshot made = MakeContainer();
  EXPECT_EQ(WhichPasswordOpens(made), "old");
  bool finished = false;
  int sawOld = 0;
  int sawNew = 0;
  for (std::uint64_t crashAfter = 0; !finished && crashAfter < 200; ++crashAfter) {
    MemoryHostFiles files(made);
    files.CrashAfterWrites(crashAfter);
    ChangeAndClose(files);
    finished = !files.Crashed();
    const std::string opens = WhichPasswordOpens(files.TakeSnapshot());
    EXPECT_NE(opens, "neither") << "power lost after write " << crashAfter;
    sawOld += opens == "old";
    sawNew += opens == "new";
  }
  EXPECT_TRUE(finished) << "the change never completed";
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
}

// The same change under power losses that drop what was not flushed, keep a
// reordered part of it or tear a write: still the old or the new password
// opens the container. (Every cut with all writes kept is the test above.)
TEST(ChangePassword, APowerLossThatLosesUnflushedWritesLeavesTheOldOrTheNewPasswordWorking) {
  const MemoryHostFiles::Snapshot made = MakeContainer();
  MemoryHostFiles full(made);
  full.ResetFaults();
  ChangeAndClose(full);
  const std::uint64_t writes = full.WriteCount();
  ASSERT_GT(writes, 0u);
  int sawOld = 0;
  int sawNew = 0;
  for (const vaultfs::testing::PowerLossCase& loss : vaultfs::testing::kPowerLosses) {
    if (loss.unflushed == MemoryHostFiles::Unflushed::kKept) continue;
    // Every third cut, whole or torn in turn, keeps the run short.
    for (std::uint64_t cut = loss.seed % 3; cut < writes; cut += 3) {
      const bool torn = cut % 2 == 1;
      MemoryHostFiles files(made);
      files.ResetFaults();
      files.SetPowerLoss(loss.unflushed, loss.seed);
      files.CrashOrTearAt(cut, torn, MemoryHostFiles::kSectorSize / 2);
      ChangeAndClose(files);
      const std::string opens = WhichPasswordOpens(files.TakeSnapshot());
      EXPECT_NE(opens, "neither") << "power lost after write " << cut << (torn ? " (torn)" : "")
                                  << ", " << loss.name;
      sawOld += opens == "old";
      sawNew += opens == "new";
    }
  }
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
}

TEST(ChangePassword, AWrongPasswordOrAClassicContainerChangesNothing) {
  MemoryHostFiles files(MakeContainer());
  auto storage = NewLockedContainerStorage(kPath);
  AttachHostFiles(*storage, files);
  storage->Open(2);
  EXPECT_FALSE(ChangeContainerPassword(*storage, "not it", kNew, kKdfFloor, ""));
  storage->Close();
  EXPECT_EQ(WhichPasswordOpens(files.TakeSnapshot()), "old");

  MemoryHostFiles classicFiles;
  auto classic = TContainerAccess::Classic(kOld).NewStorage(kPath);
  AttachHostFiles(*classic, classicFiles);
  classic->Open(1);
  WriteServiceRecords(*classic, 1, "hash", false, "");
  EXPECT_THROW(ChangeContainerPassword(*classic, kOld, kNew, kKdfFloor, ""), HardenedKeyError);
  classic->Close();
}

TEST(Manifest, AnyChangedByteOrAnotherKeyIsRefused) {
  const SecretBytes key = GenerateMasterKey();
  TManifest manifest;
  manifest["a"] = TSealedEntry{TSealedKind::skFile, {1, 2, 3}};
  manifest["a/b"] = TSealedEntry{TSealedKind::skFolder, {4}};
  manifest["l"] = TSealedEntry{TSealedKind::skLink, {5}};
  const std::vector<std::uint8_t> bytes = EncodeManifest(manifest, key);
  ASSERT_EQ(DecodeManifest(bytes, key), manifest);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::vector<std::uint8_t> changed = bytes;
    changed[i] ^= 0x01;
    EXPECT_FALSE(DecodeManifest(changed, key)) << "byte " << i;
  }
  EXPECT_FALSE(DecodeManifest(std::span(bytes).first(bytes.size() - 1), key));
  EXPECT_FALSE(DecodeManifest(bytes, GenerateMasterKey()));
  EXPECT_TRUE(DecodeManifest(EncodeManifest({}, key), key));
}

TEST(Manifest, ComparingNamesEveryDifference) {
  TManifest sealed;
  sealed["kept"] = TSealedEntry{TSealedKind::skFile, {1}};
  sealed["changed"] = TSealedEntry{TSealedKind::skFile, {2}};
  sealed["gone"] = TSealedEntry{TSealedKind::skLink, {3}};
  sealed["kind"] = TSealedEntry{TSealedKind::skFolder, {4}};
  TManifest found = sealed;
  found["changed"].Mac[0] = 9;
  found.erase("gone");
  found["kind"].Kind = TSealedKind::skFile;
  found["new"] = TSealedEntry{TSealedKind::skFile, {5}};
  std::vector<std::string> named;
  for (const TDamage& item : CompareManifests(sealed, found)) named.push_back(item.Path);
  EXPECT_EQ(named, (std::vector<std::string>{"changed", "gone", "kind", "new"}));
  EXPECT_TRUE(CompareManifests(sealed, sealed).empty());
}

}  // namespace
}  // namespace korvane

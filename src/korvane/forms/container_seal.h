// The integrity of a hardened container's tree: every entry below DATA (file,
// link, folder) has an HMAC-SHA-256 under the container's MAC key, and the
// manifest lists them all, sorted by path, under a MAC of its own. The
// manifest is a file of the container (_SERVICE\manifest), enciphered with
// every other page; the MAC key never leaves the master key's holder.
//
// An entry's MAC covers what restoring it depends on, as the container holds
// it: its path below DATA, its kind, its attributes and modification time,
// its metadata tag (mode and exact time; for a folder also the exact times
// of its links), a link's target, a file's bytes and their count. Any change
// of one of them, an entry added, removed, renamed or two entries swapped,
// and a manifest changed or taken from elsewhere, shows as damage.
//
// Manifest layout (little-endian):
//   0   8  marker "KORVMANI"
//   8   2  version (1)
//   10  4  entry count N
//   14     N entries, sorted by path bytes: u8 kind, u32 path length, the
//          path (UTF-8, '/' between names), 32-byte MAC
//   end-32 32  HMAC-SHA-256 of every byte before it, domain-separated from
//          the entries' MACs
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "korvane/keys/hardened_keys.h"
#include "vaultfs/vault_storage.h"

namespace korvane {

inline constexpr const char16_t* kManifestRecord = u"_SERVICE\\manifest";
// A manifest beyond this is refused as damage (about two million entries).
inline constexpr std::uint64_t kMaxManifestSize = std::uint64_t{256} << 20;

using TEntryMacValue = std::array<std::uint8_t, 32>;

// The MAC of one entry while it is read (defined with the code).
class TEntryMac;

enum class TSealedKind : std::uint8_t { skFile = 1, skLink = 2, skFolder = 3 };

struct TSealedEntry {
  TSealedKind Kind = TSealedKind::skFile;
  TEntryMacValue Mac{};
  bool operator==(const TSealedEntry&) const = default;
};

// Path below DATA -> entry.
using TManifest = std::map<std::string, TSealedEntry>;

std::vector<std::uint8_t> EncodeManifest(const TManifest& manifest, const SecretBytes& macKey);
// Nothing when the bytes are not a manifest made with this key (damaged,
// truncated, changed, or from another container).
std::optional<TManifest> DecodeManifest(std::span<const std::uint8_t> bytes,
                                        const SecretBytes& macKey);

// One damaged entry: its path below DATA and what is wrong with it.
struct TDamage {
  std::string Path;
  std::string Reason;
  bool operator<(const TDamage& other) const { return Path < other.Path; }
};

// Called now and then while a tree is read: the path below DATA of the entry
// being read. Returning false stops the walk.
using TSealProgress = std::function<bool(const std::string& path)>;

// Reads the tree below `dataRoot` (a container directory path ending in its
// separator, such as "DATA\") of an open, unlocked container and computes
// every entry's MAC. An entry that cannot be read (a container error) is
// left out and reported in `unreadable` when given; without it the error is
// raised. Nothing when `progress` stopped the walk.
std::optional<TManifest> ComputeManifest(vaultfs::TVaultStorage& storage,
                                         const std::u16string& dataRoot,
                                         const SecretBytes& macKey,
                                         const TSealProgress& progress = {},
                                         std::vector<TDamage>* unreadable = nullptr);

// Writes the manifest into the open container (replacing one that is there),
// stored as it is: the storage's page encryption is its protection.
void WriteManifest(vaultfs::TVaultStorage& storage, const TManifest& manifest,
                   const SecretBytes& macKey);
// The container's manifest; nothing when it is missing or does not verify.
std::optional<TManifest> ReadManifest(vaultfs::TVaultStorage& storage, const SecretBytes& macKey);

// What differs between the manifest a container was sealed with and the one
// its tree gives now, entry by entry, sorted by path.
std::vector<TDamage> CompareManifests(const TManifest& sealed, const TManifest& found);

// Checks an export against the manifest: a file or link whose MAC differs,
// or that the manifest does not list, is refused before it takes its name;
// folders are checked once written; entries of the manifest the export never
// reached count as missing. Damage() after the export lists it all.
class TManifestCheck final : public vaultfs::TVaultExportCheck {
 public:
  TManifestCheck(const TManifest& manifest, const SecretBytes& macKey, std::u16string dataRoot);
  ~TManifestCheck() override;

  void BeginEntry(vaultfs::TVaultStorage& storage, const std::u16string& path,
                  bool isLink) override;
  void EntryData(const std::uint8_t* data, std::size_t size) override;
  bool EndEntry() override;
  void EntryFailed(const std::u16string& path, const std::string& message) override;
  void FolderDone(vaultfs::TVaultStorage& storage, const std::u16string& path) override;

  // Every damaged entry found so far, with the manifest's entries that were
  // never reached; sorted by path.
  std::vector<TDamage> Damage() const;

 private:
  void Judge(const std::string& path, TSealedKind kind, const TEntryMacValue& mac);

  const TManifest& manifest_;
  const SecretBytes& macKey_;
  std::u16string dataRoot_;
  std::unique_ptr<TEntryMac> current_;
  std::string currentPath_;
  TSealedKind currentKind_ = TSealedKind::skFile;
  std::set<std::string> seen_;
  std::vector<TDamage> damage_;
};

// The damaged entries as message lines ("\rPATH: REASON" each), at most
// `maxLines` of them and then how many more there are.
std::string DamageList(const std::vector<TDamage>& damage, std::size_t maxLines = 20);

}  // namespace korvane

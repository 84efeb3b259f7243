#include "korvane/forms/container_seal.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "vaultfs/utf16.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/vault_error.h"
#include "vaultfs/vault_stream.h"

namespace korvane {

namespace {

constexpr std::array<std::uint8_t, 8> kManifestMarker = {'K', 'O', 'R', 'V',
                                                         'M', 'A', 'N', 'I'};
constexpr std::uint16_t kManifestVersion = 1;
constexpr std::size_t kManifestHeaderSize = 14;
constexpr std::string_view kEntryDomain = "korvane hardened v1 entry";
constexpr std::string_view kManifestDomain = "korvane hardened v1 manifest";
constexpr std::size_t kReadBlock = 64 * 1024;

// Little-endian on every host: the manifest and the MAC inputs are the same
// bytes on any machine.
void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void PutU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void PutBytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  PutU32(out, static_cast<std::uint32_t>(bytes.size()));
  out.insert(out.end(), bytes.begin(), bytes.end());
}
void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
  PutBytes(out, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}
std::uint32_t GetU32(const std::uint8_t* p) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{p[i]} << (8 * i);
  return value;
}

[[noreturn]] void CipherFailure() {
  throw HardenedKeyError(HardenedKeyError::Kind::kSystemFailure,
                         "The integrity check cannot be computed (HMAC failed).");
}

// HMAC-SHA-256 with its algorithms looked up, keyed by nobody: each entry's
// MAC starts from a copy, since looking the algorithms up again for every
// entry of a large folder costs more than the MAC of a small file.
const EVP_MAC_CTX* HmacPrototype() {
  static EVP_MAC_CTX* const prototype = [] {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) return static_cast<EVP_MAC_CTX*>(nullptr);
    EVP_MAC_CTX* context = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);  // the context keeps its own reference
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    if (context != nullptr && EVP_MAC_CTX_set_params(context, params) != 1) {
      EVP_MAC_CTX_free(context);
      context = nullptr;
    }
    return context;
  }();
  return prototype;
}

// An incremental HMAC-SHA-256.
class Hmac {
 public:
  explicit Hmac(const SecretBytes& key) {
    const EVP_MAC_CTX* prototype = HmacPrototype();
    if (prototype == nullptr) CipherFailure();
    // The copy only reads the prototype: threads may share it.
    context_ = EVP_MAC_CTX_dup(prototype);
    if (context_ == nullptr) CipherFailure();
    if (EVP_MAC_init(context_, key.data(), key.size(), nullptr) != 1) {
      EVP_MAC_CTX_free(context_);
      CipherFailure();
    }
  }
  ~Hmac() { EVP_MAC_CTX_free(context_); }
  Hmac(const Hmac&) = delete;
  Hmac& operator=(const Hmac&) = delete;

  void Update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty() && EVP_MAC_update(context_, bytes.data(), bytes.size()) != 1)
      CipherFailure();
  }
  TEntryMacValue Final() {
    TEntryMacValue out{};
    std::size_t length = 0;
    if (EVP_MAC_final(context_, out.data(), &length, out.size()) != 1 || length != out.size())
      CipherFailure();
    return out;
  }

 private:
  EVP_MAC_CTX* context_ = nullptr;
};

bool SameMac(const TEntryMacValue& a, const TEntryMacValue& b) {
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The tag's bytes, or nothing when the entry has no such tag.
std::optional<std::vector<std::uint8_t>> ReadTag(vaultfs::TVaultStorage& storage,
                                                 const std::u16string& path, std::uint16_t tag) {
  bool exists = false;
  const std::uint32_t size = storage.GetFileTagSize(path, tag, exists);
  if (!exists) return std::nullopt;
  std::vector<std::uint8_t> bytes(size);
  const std::uint32_t got = size > 0 ? storage.GetFileTag(path, tag, bytes.data(), size) : 0;
  bytes.resize(std::min(got, size));
  return bytes;
}

void PutOptionalTag(std::vector<std::uint8_t>& out,
                    const std::optional<std::vector<std::uint8_t>>& tag) {
  out.push_back(tag ? 1 : 0);
  if (tag) PutBytes(out, *tag);
}

std::u16string WithoutTrailingSeparator(std::u16string path, char16_t separator) {
  while (!path.empty() && path.back() == separator) path.pop_back();
  return path;
}

}  // namespace

// The MAC of one entry: its description first, then the content as it comes.
class TEntryMac {
 public:
  TEntryMac(const SecretBytes& key, vaultfs::TVaultStorage& storage, const std::string& relativePath,
      const std::u16string& path, TSealedKind kind)
      : hmac(key) {
    std::vector<std::uint8_t> head;
    PutText(head, kEntryDomain);
    head.push_back(static_cast<std::uint8_t>(kind));
    PutText(head, relativePath);
    std::uint32_t attributes = 0;
    storage.GetFileAttributes(path, attributes);
    vaultfs::StorageTime created = 0, modified = 0, accessed = 0;
    storage.Call(vaultfs::StorageGetFileTimes(storage.Handle(), path, created, modified, accessed));
    PutU32(head, attributes);
    PutU64(head, std::bit_cast<std::uint64_t>(modified));
    if (kind == TSealedKind::skLink) {
      // A tag read through a link's path is its target's: links have none of
      // their own; their exact times are in their folder's tags.
      std::u16string target;
      storage.ReadLink(path, target);
      PutText(head, vaultfs::Utf16ToUtf8(target));
    } else {
      PutOptionalTag(head, ReadTag(storage, path, vaultfs::kPosixMetadataTag));
    }
    if (kind == TSealedKind::skFolder) {
      for (std::uint32_t id = vaultfs::kLinkTimesFirstTag; id <= vaultfs::kLinkTimesLastTag; ++id) {
        auto tag = ReadTag(storage, path, static_cast<std::uint16_t>(id));
        if (!tag) break;
        PutBytes(head, *tag);
      }
    }
    hmac.Update(head);
  }
  void Update(std::span<const std::uint8_t> bytes) {
    hmac.Update(bytes);
    count += bytes.size();
  }
  TEntryMacValue Final() {
    std::vector<std::uint8_t> tail;
    PutU64(tail, count);
    hmac.Update(tail);
    return hmac.Final();
  }

 private:
  Hmac hmac;
  std::uint64_t count = 0;
};

namespace {

// The path below the data root as the manifest keeps it.
std::string RelativePath(const std::u16string& dataRoot, const std::u16string& path,
                         char16_t separator) {
  std::u16string rest = path.compare(0, dataRoot.size(), dataRoot) == 0
                            ? path.substr(dataRoot.size())
                            : path;
  rest = WithoutTrailingSeparator(rest, separator);
  std::replace(rest.begin(), rest.end(), separator, u'/');
  return vaultfs::Utf16ToUtf8(rest);
}

class TreeSealer {
 public:
  TreeSealer(vaultfs::TVaultStorage& storage, std::u16string dataRoot, const SecretBytes& macKey,
             const TSealProgress& progress, std::vector<TDamage>* unreadable)
      : storage_(storage),
        root_(std::move(dataRoot)),
        key_(macKey),
        progress_(progress),
        unreadable_(unreadable),
        buffer_(kReadBlock) {}

  bool Run() { return Folder(root_); }
  TManifest& Manifest() { return manifest_; }

 private:
  // One container error costs only the entry it came from, when the caller
  // collects them.
  template <typename Work>
  bool Guarded(const std::u16string& path, Work work) {
    if (unreadable_ == nullptr) return work();
    try {
      return work();
    } catch (const vaultfs::EVaultError& error) {
      unreadable_->push_back(
          TDamage{RelativePath(root_, path, storage_.PathSeparator()), error.what()});
      return true;
    }
  }

  bool Folder(const std::u16string& folder) {
    std::vector<std::pair<std::u16string, std::uint32_t>> entries;
    const bool listed = Guarded(folder, [&] {
      vaultfs::TVaultSearchRec search;
      vaultfs::TSearchGuard guard{storage_, search};
      for (bool found = storage_.FindFirst(search, folder + u"*.*", 0xFFFFFFFFu); found;
           found = storage_.FindNext(search)) {
        entries.emplace_back(search.Name, search.Attributes);
      }
      return true;
    });
    if (!listed) return false;
    const char16_t separator = storage_.PathSeparator();
    for (const auto& entry : entries) {
      // Plain locals, not a structured binding: the lambda below captures
      // them, which clang before 16 refuses for bindings.
      const std::u16string path = folder + entry.first;
      const auto attributes = entry.second;
      const std::string relative = RelativePath(root_, path, separator);
      if (progress_ && !progress_(relative)) return false;
      bool goOn = true;
      const bool finished = Guarded(path, [&] {
        if (attributes & vaultfs::attrDirectory) {
          goOn = Folder(path + separator);
          if (goOn) Seal(path, relative, TSealedKind::skFolder);
        } else if (attributes & vaultfs::attrSymLink) {
          Seal(path, relative, TSealedKind::skLink);
        } else {
          SealFile(path, relative);
        }
        return true;
      });
      if (!finished || !goOn) return false;
    }
    return true;
  }

  void Seal(const std::u16string& path, const std::string& relative, TSealedKind kind) {
    TEntryMac mac(key_, storage_, relative, path, kind);
    manifest_[relative] = TSealedEntry{kind, mac.Final()};
  }

  void SealFile(const std::u16string& path, const std::string& relative) {
    TEntryMac mac(key_, storage_, relative, path, TSealedKind::skFile);
    vaultfs::TVaultStream stream(storage_, path, vaultfs::fmOpenRead | vaultfs::fmShareDenyWrite);
    for (;;) {
      const std::int32_t got =
          stream.Read(buffer_.data(), static_cast<std::int32_t>(buffer_.size()));
      if (got > 0) mac.Update(std::span(buffer_.data(), static_cast<std::size_t>(got)));
      if (got < static_cast<std::int32_t>(buffer_.size())) break;
    }
    manifest_[relative] = TSealedEntry{TSealedKind::skFile, mac.Final()};
  }

  vaultfs::TVaultStorage& storage_;
  std::u16string root_;
  const SecretBytes& key_;
  const TSealProgress& progress_;
  std::vector<TDamage>* unreadable_;
  std::vector<std::uint8_t> buffer_;
  TManifest manifest_;
};

const char* KindName(TSealedKind kind) {
  switch (kind) {
    case TSealedKind::skFile:
      return "file";
    case TSealedKind::skLink:
      return "link";
    case TSealedKind::skFolder:
      return "folder";
  }
  return "entry";
}

}  // namespace

std::vector<std::uint8_t> EncodeManifest(const TManifest& manifest, const SecretBytes& macKey) {
  std::vector<std::uint8_t> out(kManifestMarker.begin(), kManifestMarker.end());
  PutU16(out, kManifestVersion);
  PutU32(out, static_cast<std::uint32_t>(manifest.size()));
  for (const auto& [path, entry] : manifest) {
    out.push_back(static_cast<std::uint8_t>(entry.Kind));
    PutText(out, path);
    out.insert(out.end(), entry.Mac.begin(), entry.Mac.end());
  }
  Hmac hmac(macKey);
  std::vector<std::uint8_t> domain;
  PutText(domain, kManifestDomain);
  hmac.Update(domain);
  hmac.Update(out);
  const TEntryMacValue mac = hmac.Final();
  out.insert(out.end(), mac.begin(), mac.end());
  return out;
}

std::optional<TManifest> DecodeManifest(std::span<const std::uint8_t> bytes,
                                        const SecretBytes& macKey) {
  constexpr std::size_t kMacSize = std::tuple_size_v<TEntryMacValue>;
  if (bytes.size() < kManifestHeaderSize + kMacSize) return std::nullopt;
  const auto body = bytes.first(bytes.size() - kMacSize);
  TEntryMacValue stored{};
  std::memcpy(stored.data(), bytes.data() + body.size(), kMacSize);
  // The MAC first: nothing of an unauthenticated manifest is interpreted.
  Hmac hmac(macKey);
  std::vector<std::uint8_t> domain;
  PutText(domain, kManifestDomain);
  hmac.Update(domain);
  hmac.Update(body);
  if (!SameMac(hmac.Final(), stored)) return std::nullopt;
  if (!std::equal(kManifestMarker.begin(), kManifestMarker.end(), body.begin()) ||
      (body[8] | (body[9] << 8)) != kManifestVersion)
    return std::nullopt;
  const std::uint32_t count = GetU32(body.data() + 10);
  TManifest manifest;
  std::size_t at = kManifestHeaderSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (body.size() - at < 5) return std::nullopt;
    const auto kind = static_cast<TSealedKind>(body[at]);
    const std::uint32_t length = GetU32(body.data() + at + 1);
    at += 5;
    if (body.size() - at < std::uint64_t{length} + kMacSize) return std::nullopt;
    std::string path(reinterpret_cast<const char*>(body.data() + at), length);
    at += length;
    TSealedEntry entry{kind, {}};
    std::memcpy(entry.Mac.data(), body.data() + at, kMacSize);
    at += kMacSize;
    if (kind != TSealedKind::skFile && kind != TSealedKind::skLink &&
        kind != TSealedKind::skFolder)
      return std::nullopt;
    if (!manifest.emplace(std::move(path), entry).second) return std::nullopt;
  }
  if (at != body.size()) return std::nullopt;
  return manifest;
}

std::optional<TManifest> ComputeManifest(vaultfs::TVaultStorage& storage,
                                         const std::u16string& dataRoot,
                                         const SecretBytes& macKey, const TSealProgress& progress,
                                         std::vector<TDamage>* unreadable) {
  TreeSealer sealer(storage, dataRoot, macKey, progress, unreadable);
  if (!sealer.Run()) return std::nullopt;
  return std::move(sealer.Manifest());
}

void WriteManifest(vaultfs::TVaultStorage& storage, const TManifest& manifest,
                   const SecretBytes& macKey) {
  const std::vector<std::uint8_t> bytes = EncodeManifest(manifest, macKey);
  const std::u16string path = kManifestRecord;
  storage.ForceCreateDirectories(path.substr(0, path.rfind(u'\\') + 1));
  // Stored as it is: its MAC vouches for it, the page encryption hides it.
  vaultfs::TVaultStream stream(storage, path, /*createNew=*/false, /*read=*/true, /*write=*/true,
                               /*denyRead=*/false, /*denyWrite=*/false, std::u16string(),
                               vaultfs::ecNoEncryption, vaultfs::crNoCompression, 0, 1);
  stream.SetSize64(0);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size() - done, 1u << 30);
    stream.WriteBuffer(bytes.data() + done, static_cast<std::int32_t>(piece));
    done += piece;
  }
}

std::optional<TManifest> ReadManifest(vaultfs::TVaultStorage& storage, const SecretBytes& macKey) {
  if (!storage.FileExists(kManifestRecord)) return std::nullopt;
  vaultfs::TVaultStream stream(storage, kManifestRecord, /*createNew=*/false, /*read=*/true,
                               /*write=*/false, /*denyRead=*/false, /*denyWrite=*/false,
                               std::u16string(), vaultfs::ecNoEncryption,
                               vaultfs::crNoCompression, 0, 1);
  const std::int64_t size = stream.GetSize64();
  if (size < 0 || static_cast<std::uint64_t>(size) > kMaxManifestSize) return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size() - done, 1u << 30);
    stream.ReadBuffer(bytes.data() + done, static_cast<std::int32_t>(piece));
    done += piece;
  }
  return DecodeManifest(bytes, macKey);
}

std::vector<TDamage> CompareManifests(const TManifest& sealed, const TManifest& found) {
  std::vector<TDamage> damage;
  for (const auto& [path, entry] : sealed) {
    const auto there = found.find(path);
    if (there == found.end()) {
      damage.push_back({path, std::string("missing (the ") + KindName(entry.Kind) +
                                  " was removed or renamed)"});
    } else if (there->second.Kind != entry.Kind) {
      damage.push_back({path, std::string("is a ") + KindName(there->second.Kind) +
                                  " but was stored as a " + KindName(entry.Kind)});
    } else if (!SameMac(there->second.Mac, entry.Mac)) {
      damage.push_back({path, "changed (its content or details do not match)"});
    }
  }
  for (const auto& [path, entry] : found) {
    if (!sealed.contains(path))
      damage.push_back({path, std::string("added (the ") + KindName(entry.Kind) +
                                  " was not stored when the folder was protected)"});
  }
  std::sort(damage.begin(), damage.end());
  return damage;
}

TManifestCheck::TManifestCheck(const TManifest& manifest, const SecretBytes& macKey,
                               std::u16string dataRoot)
    : manifest_(manifest), macKey_(macKey), dataRoot_(std::move(dataRoot)) {}

TManifestCheck::~TManifestCheck() = default;

void TManifestCheck::BeginEntry(vaultfs::TVaultStorage& storage, const std::u16string& path,
                                bool isLink) {
  currentKind_ = isLink ? TSealedKind::skLink : TSealedKind::skFile;
  currentPath_ = RelativePath(dataRoot_, path, storage.PathSeparator());
  current_.reset();
  seen_.insert(currentPath_);
  current_ = std::make_unique<TEntryMac>(macKey_, storage, currentPath_, path, currentKind_);
}

void TManifestCheck::EntryData(const std::uint8_t* data, std::size_t size) {
  if (current_) current_->Update({data, size});
}

bool TManifestCheck::EndEntry() {
  if (!current_) return false;
  const TEntryMacValue mac = current_->Final();
  current_.reset();
  const std::size_t before = damage_.size();
  Judge(currentPath_, currentKind_, mac);
  return damage_.size() == before;
}

void TManifestCheck::EntryFailed(const std::u16string& path, const std::string& message) {
  current_.reset();
  const std::string relative = RelativePath(dataRoot_, path, u'\\');
  seen_.insert(relative);
  damage_.push_back({relative, "cannot be read (" + message + ")"});
}

void TManifestCheck::FolderDone(vaultfs::TVaultStorage& storage, const std::u16string& path) {
  const std::string relative = RelativePath(dataRoot_, path, storage.PathSeparator());
  seen_.insert(relative);
  try {
    TEntryMac mac(macKey_, storage, relative, path, TSealedKind::skFolder);
    Judge(relative, TSealedKind::skFolder, mac.Final());
  } catch (const vaultfs::EVaultError& error) {
    damage_.push_back({relative, std::string("cannot be read (") + error.what() + ")"});
  }
}

void TManifestCheck::Judge(const std::string& path, TSealedKind kind, const TEntryMacValue& mac) {
  const auto found = manifest_.find(path);
  if (found == manifest_.end()) {
    damage_.push_back({path, std::string("added (the ") + KindName(kind) +
                                 " was not stored when the folder was protected)"});
  } else if (found->second.Kind != kind) {
    damage_.push_back({path, std::string("is a ") + KindName(kind) + " but was stored as a " +
                                 KindName(found->second.Kind)});
  } else if (!SameMac(found->second.Mac, mac)) {
    damage_.push_back({path, "changed (its content or details do not match)"});
  }
}

std::vector<TDamage> TManifestCheck::Damage() const {
  std::vector<TDamage> all = damage_;
  for (const auto& [path, entry] : manifest_) {
    if (!seen_.contains(path))
      all.push_back({path, std::string("missing (the ") + KindName(entry.Kind) +
                               " was removed or renamed)"});
  }
  std::sort(all.begin(), all.end());
  return all;
}

std::string DamageList(const std::vector<TDamage>& damage, std::size_t maxLines) {
  std::string text;
  std::size_t shown = 0;
  for (const TDamage& item : damage) {
    if (shown++ == maxLines) {
      text += "\r... and " + std::to_string(damage.size() - maxLines) + " more";
      break;
    }
    text += "\r" + item.Path + ": " + item.Reason;
  }
  return text;
}

}  // namespace korvane

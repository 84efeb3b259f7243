// The keys of a hardened container: a random master key wrapped under an
// Argon2id key of the password, the subkeys derived from it, and the small
// public record that carries everything needed to unwrap it again. Nothing
// here touches a container; the workflows call these functions and store the
// record. Every key lives in a type that wipes itself.
//
// Errors: a record or parameters that cannot be used, and failures of the
// system (no memory, no random bytes), throw HardenedKeyError with a message
// fit for the person. A password that does not open a record is not an
// error but an expected answer: the unwrap functions return an empty
// optional. AES-GCM cannot tell a wrong password from an altered salt,
// parameter, nonce, wrapped key or tag, so that answer covers both; the
// record's structure (marker, version, length, parameter limits) is checked
// first and reported as damage on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

inline constexpr std::size_t kMasterKeySize = 32;
inline constexpr std::size_t kPasswordKeySize = 32;
inline constexpr std::size_t kSubkeySize = 32;
inline constexpr std::size_t kKdfSaltSize = 16;
inline constexpr std::size_t kWrapNonceSize = 12;
inline constexpr std::size_t kWrapTagSize = 16;

// ---------------------------------------------------------------- errors

class HardenedKeyError : public std::runtime_error {
 public:
  enum class Kind {
    kDamagedRecord,       // wrong length or marker
    kUnsupportedVersion,  // a layout version this program does not know
    kOutOfLimits,         // key-derivation figures outside what is accepted
    kInvalidArgument,     // a caller's mistake (wrong key size, bad target)
    kSystemFailure,       // no memory, no random bytes, a cipher failure
  };
  HardenedKeyError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// ---------------------------------------------------------------- secrets

// An owned byte string holding a secret, of a size fixed when it is made so
// that it never reallocates (a reallocation would leave an unwiped copy).
// Wiped with OPENSSL_cleanse on destruction and before it takes other bytes.
// Move-only: a copy of a key is made on purpose with Copy().
class SecretBytes {
 public:
  SecretBytes() = default;
  // `size` zero bytes, to be filled through data().
  explicit SecretBytes(std::size_t size);
  explicit SecretBytes(std::span<const std::uint8_t> bytes);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes();

  SecretBytes Copy() const { return SecretBytes(span()); }
  void Clear() noexcept;
  // Compares in time independent of where the first difference lies.
  bool Equals(std::span<const std::uint8_t> bytes) const;

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> span() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

// A password text for the storage component, which takes passwords as
// UTF-16 text. Wiped like SecretBytes; the text's buffer is sized once and
// never grows, so no copy is left behind. Move-only.
class EnginePassword {
 public:
  EnginePassword() = default;
  EnginePassword(EnginePassword&& other) noexcept;
  EnginePassword& operator=(EnginePassword&& other) noexcept;
  EnginePassword(const EnginePassword&) = delete;
  EnginePassword& operator=(const EnginePassword&) = delete;
  ~EnginePassword();

  const std::u16string& text() const { return text_; }

 private:
  friend EnginePassword ToEnginePassword(const SecretBytes& key);
  void Wipe() noexcept;
  std::u16string text_;
};

// The password the storage component gets for a 32-byte key: its 64
// lowercase hexadecimal digits as UTF-16. The engine takes a password as the
// UTF-16LE bytes of its text (128 bytes here) and refuses an empty one;
// hexadecimal keeps the text free of zero units and of surrogates, and every
// 16-bit unit carries four key bits, so the password holds the key's full
// 256 bits. (Half-length key variants, which the engine still accepts for old
// containers, would use the first 32 digits: 128 bits.)
EnginePassword ToEnginePassword(const SecretBytes& key);

// ---------------------------------------------------------------- Argon2id

struct KdfParameters {
  std::uint32_t TimeCost = 0;     // passes over the memory
  std::uint32_t MemoryKiB = 0;    // memory in KiB
  std::uint32_t Parallelism = 0;  // lanes (and threads)
  bool operator==(const KdfParameters&) const = default;
};

// The least any container is protected with, and the least opening accepts:
// one pass over 64 MiB.
inline constexpr KdfParameters kKdfFloor{1, 64 * 1024, 1};
// Protecting uses at most this many lanes, so that a machine with fewer
// cores than the one that protected still opens in reasonable time.
inline constexpr std::uint32_t kMaxProtectParallelism = 4;
// Ceilings for what opening accepts, so that a hostile record cannot ask for
// a terabyte or an hour. Memory is further limited to half of this machine's
// memory (OpeningMemoryLimitKiB).
inline constexpr std::uint32_t kMaxTimeCost = 64;
inline constexpr std::uint32_t kMaxMemoryKiB = 4u * 1024 * 1024;  // 4 GiB
inline constexpr std::uint32_t kMaxParallelism = 16;
// Calibration raises memory up to 1 GiB (and an eighth of this machine's
// memory), then raises the time cost.
inline constexpr std::uint32_t kCalibrationMemoryCapKiB = 1024 * 1024;

// The most memory opening accepts on this machine: kMaxMemoryKiB or half of
// the physical memory, whichever is less (never below the floor).
std::uint32_t OpeningMemoryLimitKiB();

// Throws HardenedKeyError(kOutOfLimits), naming the offending figure, when
// `parameters` lie outside [kKdfFloor, ceilings].
void CheckKdfParameters(const KdfParameters& parameters);

// What protecting actually uses for `requested`: each figure raised to the
// floor, parallelism kept within 1..kMaxProtectParallelism. Nothing (no
// option, variable or build flag) goes below the floor. Throws like
// CheckKdfParameters when a figure is above what opening would accept.
KdfParameters ProtectParameters(const KdfParameters& requested);

// Parameters that take about `targetSeconds` (at least that long when
// measured) on this machine with at least `minMemoryKiB` (and never less than
// the floor): memory first, up to kCalibrationMemoryCapKiB, then passes.
// Lanes: this machine's cores, 1..kMaxProtectParallelism. Each step is a real
// derivation, so this takes a few times `targetSeconds`.
KdfParameters CalibrateKdf(double targetSeconds, std::uint32_t minMemoryKiB = kKdfFloor.MemoryKiB);

// The 32-byte key of a password (its bytes as typed, UTF-8 in this program).
// Out-of-limits parameters are refused before any memory is taken.
SecretBytes DerivePasswordKey(std::span<const std::uint8_t> password,
                              std::span<const std::uint8_t, kKdfSaltSize> salt,
                              const KdfParameters& parameters);

// ---------------------------------------------------------------- master key

// 32 bytes from the system's cryptographic random generator.
SecretBytes GenerateMasterKey();

// HKDF with SHA-256 (extract and expand); an empty salt means the zero salt.
SecretBytes HkdfSha256(std::span<const std::uint8_t> inputKey, std::span<const std::uint8_t> salt,
                       std::string_view info, std::size_t length);

// Labels that keep the subkeys apart; a new layout version takes new labels.
inline constexpr std::string_view kStorageLabel = "korvane hardened v1 storage";
inline constexpr std::string_view kFilesLabel = "korvane hardened v1 files";
inline constexpr std::string_view kMacLabel = "korvane hardened v1 mac";

// Subkeys of a master key, 32 bytes each. The storage and file passwords go
// to the engine through ToEnginePassword.
struct HardenedSubkeys {
  SecretBytes StoragePassword;
  SecretBytes FilePassword;
  SecretBytes MacKey;
};
HardenedSubkeys DeriveSubkeys(const SecretBytes& masterKey);

// A master key enciphered with AES-256-GCM.
struct WrappedKey {
  std::array<std::uint8_t, kWrapNonceSize> Nonce{};
  std::array<std::uint8_t, kMasterKeySize> Ciphertext{};
  std::array<std::uint8_t, kWrapTagSize> Tag{};
};

// Wraps `masterKey` under `passwordKey` with a fresh random nonce;
// `associatedData` is authenticated with it and must be given unchanged to
// unwrap.
WrappedKey WrapMasterKey(const SecretBytes& masterKey, const SecretBytes& passwordKey,
                         std::span<const std::uint8_t> associatedData);

// The master key, or nothing when the tag does not verify: a wrong password
// key, or altered associated data, nonce, ciphertext or tag.
std::optional<SecretBytes> UnwrapMasterKey(const WrappedKey& wrapped,
                                           const SecretBytes& passwordKey,
                                           std::span<const std::uint8_t> associatedData);

// ---------------------------------------------------------------- record

// HardenedRecord, little-endian, fixed size.
//   OFFSET SIZE  FIELD
//      0     8   marker "KORVHARD"
//      8     2   version (1)
//     10     4   Argon2id time cost
//     14     4   Argon2id memory in KiB
//     18     4   Argon2id parallelism
//     22    16   salt
//     38    12   nonce
//     50    32   wrapped master key
//     82    16   tag
//     98     8   size of the folder in KB
//    106         end
// Invariant: bytes [0, 38) are the header, the associated data of the wrap,
// so that no change of marker, version, parameters or salt lets the key
// unwrap. The size figure is outside it: it is advisory (the free-space check
// before opening) and may be rewritten without the password.
inline constexpr std::size_t kHardenedRecordSize = 106;
inline constexpr std::size_t kHardenedHeaderSize = 38;
inline constexpr std::uint16_t kHardenedVersion = 1;
inline constexpr std::array<std::uint8_t, 8> kHardenedMarker = {'K', 'O', 'R', 'V',
                                                                'H', 'A', 'R', 'D'};

struct HardenedRecord {
  KdfParameters Kdf;
  std::array<std::uint8_t, kKdfSaltSize> Salt{};
  WrappedKey Wrapped;
  std::uint64_t SizeKB = 0;
};

// Whether `bytes` start with the hardened marker: the quick test that tells
// the layouts apart. A record that passes it and is damaged must then be
// refused by DecodeHardenedRecord, not read as the classic layout.
bool IsHardenedRecord(std::span<const std::uint8_t> bytes);

std::array<std::uint8_t, kHardenedHeaderSize> HardenedRecordHeader(const HardenedRecord& record);
std::vector<std::uint8_t> EncodeHardenedRecord(const HardenedRecord& record);
// Throws HardenedKeyError: kDamagedRecord for a wrong length or marker,
// kUnsupportedVersion, kOutOfLimits for parameters opening refuses.
HardenedRecord DecodeHardenedRecord(std::span<const std::uint8_t> bytes);

// A record for `masterKey` under `password`: ProtectParameters(parameters),
// a fresh salt and nonce.
HardenedRecord CreateHardenedRecord(const SecretBytes& masterKey,
                                    std::span<const std::uint8_t> password,
                                    const KdfParameters& parameters, std::uint64_t sizeKB);

// The master key, or nothing when `password` does not open the record.
// Checks the record's parameters before deriving.
std::optional<SecretBytes> OpenHardenedRecord(const HardenedRecord& record,
                                              std::span<const std::uint8_t> password);

// The same master key under `newPassword` with `newParameters` (through
// ProtectParameters), a fresh salt and nonce, the size figure kept; nothing
// when `oldPassword` does not open `record`.
std::optional<HardenedRecord> ChangeWrappedPassword(const HardenedRecord& record,
                                                    std::span<const std::uint8_t> oldPassword,
                                                    std::span<const std::uint8_t> newPassword,
                                                    const KdfParameters& newParameters);

}  // namespace korvane

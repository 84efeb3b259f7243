// The hardened layout's keys: Argon2id from the reference library, HKDF,
// AES-256-GCM and random bytes from OpenSSL, and the record's byte layout.
// Every intermediate key is written straight into a SecretBytes buffer, so no
// unwiped copy is ever made; parameters are checked before any memory is
// taken for a derivation.
#include "korvane/keys/hardened_keys.h"

#include <argon2.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <thread>

namespace korvane {
namespace {

using Kind = HardenedKeyError::Kind;

[[noreturn]] void Fail(Kind kind, const std::string& message) {
  throw HardenedKeyError(kind, message);
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
struct KdfFree {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

void RandomBytes(std::span<std::uint8_t> out) {
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    Fail(Kind::kSystemFailure, "The system gave no random bytes for a new key.");
  }
}

std::uint64_t PhysicalMemoryKiB() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 1024;
}

// "65536 KiB (64 MiB)", or just KiB when not a whole number of MiB.
std::string DescribeKiB(std::uint64_t kib) {
  std::string text = std::to_string(kib) + " KiB";
  if (kib % 1024 == 0) text += " (" + std::to_string(kib / 1024) + " MiB)";
  return text;
}

void StoreU16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
void StoreU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void StoreU64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint16_t LoadU16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
std::uint32_t LoadU32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}
std::uint64_t LoadU64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

// Record offsets (the table is in the header).
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kTimeCostOffset = 10;
constexpr std::size_t kMemoryOffset = 14;
constexpr std::size_t kParallelismOffset = 18;
constexpr std::size_t kSaltOffset = 22;
constexpr std::size_t kNonceOffset = 38;
constexpr std::size_t kCiphertextOffset = 50;
constexpr std::size_t kTagOffset = 82;
constexpr std::size_t kSizeOffset = 98;
static_assert(kSaltOffset + kKdfSaltSize == kHardenedHeaderSize);
static_assert(kNonceOffset == kHardenedHeaderSize);
static_assert(kCiphertextOffset == kNonceOffset + kWrapNonceSize);
static_assert(kTagOffset == kCiphertextOffset + kMasterKeySize);
static_assert(kSizeOffset == kTagOffset + kWrapTagSize);
static_assert(kSizeOffset + 8 == kHardenedRecordSize);

void RequireKeySize(const SecretBytes& key, std::size_t size, const char* what) {
  if (key.size() != size) {
    Fail(Kind::kInvalidArgument, std::string(what) + " must be " + std::to_string(size) +
                                     " bytes, not " + std::to_string(key.size()) + ".");
  }
}

int AssociatedDataLength(std::span<const std::uint8_t> associatedData) {
  if (associatedData.size() > static_cast<std::size_t>(INT_MAX)) {
    Fail(Kind::kInvalidArgument, "The associated data of a key wrap is too long.");
  }
  return static_cast<int>(associatedData.size());
}

double SecondsToDerive(const KdfParameters& parameters) {
  static constexpr std::uint8_t kPassword[] = {'c', 'a', 'l', 'i', 'b', 'r', 'a', 't', 'e'};
  const std::array<std::uint8_t, kKdfSaltSize> salt{};
  const auto start = std::chrono::steady_clock::now();
  const SecretBytes key = DerivePasswordKey(kPassword, salt, parameters);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// ---------------------------------------------------------------- SecretBytes

SecretBytes::SecretBytes(std::size_t size) {
  if (size == 0) return;
  bytes_ = std::make_unique<std::uint8_t[]>(size);
  size_ = size;
}

SecretBytes::SecretBytes(std::span<const std::uint8_t> bytes) : SecretBytes(bytes.size()) {
  if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), bytes_.get());
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(other.size_) {
  other.size_ = 0;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    Clear();
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    other.size_ = 0;
  }
  return *this;
}

SecretBytes::~SecretBytes() {
  Clear();
}

void SecretBytes::Clear() noexcept {
  if (bytes_ != nullptr) OPENSSL_cleanse(bytes_.get(), size_);
  bytes_.reset();
  size_ = 0;
}

bool SecretBytes::Equals(std::span<const std::uint8_t> bytes) const {
  if (bytes.size() != size_) return false;
  return size_ == 0 || CRYPTO_memcmp(bytes_.get(), bytes.data(), size_) == 0;
}

// ---------------------------------------------------------------- EnginePassword

EnginePassword::EnginePassword(EnginePassword&& other) noexcept : text_(std::move(other.text_)) {
  other.Wipe();
}

EnginePassword& EnginePassword::operator=(EnginePassword&& other) noexcept {
  if (this != &other) {
    Wipe();
    text_ = std::move(other.text_);
    other.Wipe();
  }
  return *this;
}

EnginePassword::~EnginePassword() {
  Wipe();
}

void EnginePassword::Wipe() noexcept {
  if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size() * sizeof(char16_t));
  text_.clear();
}

EnginePassword ToEnginePassword(const SecretBytes& key) {
  RequireKeySize(key, kSubkeySize, "A key for the storage component");
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  EnginePassword password;
  // Sized once: appending within the capacity never moves the text.
  password.text_.reserve(key.size() * 2);
  for (const std::uint8_t byte : key.span()) {
    password.text_.push_back(kDigits[byte >> 4]);
    password.text_.push_back(kDigits[byte & 0x0F]);
  }
  return password;
}

// ---------------------------------------------------------------- Argon2id

std::uint32_t OpeningMemoryLimitKiB() {
  std::uint64_t limit = std::min<std::uint64_t>(kMaxMemoryKiB, PhysicalMemoryKiB() / 2);
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(limit, kKdfFloor.MemoryKiB));
}

void CheckKdfParameters(const KdfParameters& parameters) {
  if (parameters.TimeCost < kKdfFloor.TimeCost || parameters.TimeCost > kMaxTimeCost) {
    Fail(Kind::kOutOfLimits, "The key-derivation time cost " + std::to_string(parameters.TimeCost) +
                                 " is outside the range " + std::to_string(kKdfFloor.TimeCost) +
                                 " to " + std::to_string(kMaxTimeCost) + " this program accepts.");
  }
  const std::uint32_t memoryLimit = OpeningMemoryLimitKiB();
  if (parameters.MemoryKiB < kKdfFloor.MemoryKiB) {
    Fail(Kind::kOutOfLimits, "The key-derivation memory of " + DescribeKiB(parameters.MemoryKiB) +
                                 " is below the least this program accepts, " +
                                 DescribeKiB(kKdfFloor.MemoryKiB) + ".");
  }
  if (parameters.MemoryKiB > memoryLimit) {
    Fail(Kind::kOutOfLimits, "The key-derivation memory of " + DescribeKiB(parameters.MemoryKiB) +
                                 " is more than this program accepts on this machine, " +
                                 DescribeKiB(memoryLimit) + ".");
  }
  if (parameters.Parallelism < kKdfFloor.Parallelism || parameters.Parallelism > kMaxParallelism) {
    Fail(Kind::kOutOfLimits, "The key-derivation parallelism " +
                                 std::to_string(parameters.Parallelism) + " is outside the range " +
                                 std::to_string(kKdfFloor.Parallelism) + " to " +
                                 std::to_string(kMaxParallelism) + " this program accepts.");
  }
}

KdfParameters ProtectParameters(const KdfParameters& requested) {
  KdfParameters parameters;
  parameters.TimeCost = std::max(requested.TimeCost, kKdfFloor.TimeCost);
  parameters.MemoryKiB = std::max(requested.MemoryKiB, kKdfFloor.MemoryKiB);
  parameters.Parallelism =
      std::clamp(requested.Parallelism, kKdfFloor.Parallelism, kMaxProtectParallelism);
  CheckKdfParameters(parameters);
  return parameters;
}

KdfParameters CalibrateKdf(double targetSeconds, std::uint32_t minMemoryKiB) {
  if (!(targetSeconds > 0.0 && targetSeconds <= 60.0)) {
    Fail(Kind::kInvalidArgument, "The calibration target must be between 0 and 60 seconds.");
  }
  const std::uint32_t cores = std::max(1u, std::thread::hardware_concurrency());
  KdfParameters parameters = ProtectParameters({1, minMemoryKiB, cores});

  const std::uint64_t cap = std::max<std::uint64_t>(
      parameters.MemoryKiB,
      std::min<std::uint64_t>({kCalibrationMemoryCapKiB,
                               std::max<std::uint64_t>(PhysicalMemoryKiB() / 8, 1),
                               OpeningMemoryLimitKiB()}));
  double seconds = SecondsToDerive(parameters);
  while (seconds < targetSeconds && parameters.MemoryKiB < cap) {
    // Time grows about linearly with memory; aim a little above the target
    // so that one more step usually ends it, and grow at most eightfold per
    // step in case the first measure was too short to trust.
    const double factor = std::min(8.0, targetSeconds / std::max(seconds, 1e-3) * 1.1);
    std::uint64_t next = static_cast<std::uint64_t>(parameters.MemoryKiB * factor);
    next = (next + 1023) / 1024 * 1024;
    parameters.MemoryKiB = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>(next, parameters.MemoryKiB + 1ull, cap));
    seconds = SecondsToDerive(parameters);
  }
  if (seconds < targetSeconds) {
    // Memory is at its cap: passes add time linearly.
    const double perPass = std::max(seconds, 1e-3) / parameters.TimeCost;
    const double passes = std::ceil(targetSeconds / perPass);
    parameters.TimeCost = static_cast<std::uint32_t>(
        std::clamp(passes, static_cast<double>(parameters.TimeCost), double{kMaxTimeCost}));
  }
  return parameters;
}

SecretBytes DerivePasswordKey(std::span<const std::uint8_t> password,
                              std::span<const std::uint8_t, kKdfSaltSize> salt,
                              const KdfParameters& parameters) {
  CheckKdfParameters(parameters);
  if (password.size() > ARGON2_MAX_PWD_LENGTH) {
    Fail(Kind::kInvalidArgument, "The password is too long.");
  }
  SecretBytes key(kPasswordKeySize);
  const int result =
      argon2id_hash_raw(parameters.TimeCost, parameters.MemoryKiB, parameters.Parallelism,
                        password.empty() ? nullptr : password.data(), password.size(), salt.data(),
                        salt.size(), key.data(), key.size());
  if (result == ARGON2_MEMORY_ALLOCATION_ERROR) {
    Fail(Kind::kSystemFailure, "There is not enough memory to derive the key (" +
                                   DescribeKiB(parameters.MemoryKiB) + " needed).");
  }
  if (result != ARGON2_OK) {
    Fail(Kind::kSystemFailure,
         std::string("The key derivation failed: ") + argon2_error_message(result) + ".");
  }
  return key;
}

// ---------------------------------------------------------------- master key

SecretBytes GenerateMasterKey() {
  SecretBytes key(kMasterKeySize);
  RandomBytes({key.data(), key.size()});
  return key;
}

SecretBytes HkdfSha256(std::span<const std::uint8_t> inputKey, std::span<const std::uint8_t> salt,
                       std::string_view info, std::size_t length) {
  // SHA-256 output times the 255 blocks HKDF can expand to.
  if (inputKey.empty() || length == 0 || length > 255 * 32) {
    Fail(Kind::kInvalidArgument, "HKDF needs an input key and an output of 1 to 8160 bytes.");
  }
  const std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (kdf == nullptr) Fail(Kind::kSystemFailure, "HKDF is not available in this OpenSSL.");
  const std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> context(EVP_KDF_CTX_new(kdf.get()));
  if (context == nullptr) Fail(Kind::kSystemFailure, "Out of memory for HKDF.");

  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  OSSL_PARAM* param = params;
  *param++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  *param++ = OSSL_PARAM_construct_octet_string(
      OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(inputKey.data()), inputKey.size());
  if (!salt.empty()) {
    *param++ = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size());
  }
  *param++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()),
                                               info.size());
  *param = OSSL_PARAM_construct_end();

  SecretBytes out(length);
  if (EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1) {
    Fail(Kind::kSystemFailure, "HKDF failed.");
  }
  return out;
}

HardenedSubkeys DeriveSubkeys(const SecretBytes& masterKey) {
  RequireKeySize(masterKey, kMasterKeySize, "The master key");
  // The master key is uniformly random, so the extract step needs no salt.
  return {HkdfSha256(masterKey.span(), {}, kStorageLabel, kSubkeySize),
          HkdfSha256(masterKey.span(), {}, kFilesLabel, kSubkeySize),
          HkdfSha256(masterKey.span(), {}, kMacLabel, kSubkeySize)};
}

WrappedKey WrapMasterKey(const SecretBytes& masterKey, const SecretBytes& passwordKey,
                         std::span<const std::uint8_t> associatedData) {
  RequireKeySize(masterKey, kMasterKeySize, "The master key");
  RequireKeySize(passwordKey, kPasswordKeySize, "The password key");
  const int adLength = AssociatedDataLength(associatedData);
  WrappedKey wrapped;
  RandomBytes(wrapped.Nonce);

  const CipherCtx context(EVP_CIPHER_CTX_new());
  int length = 0;
  int finalLength = 0;
  if (context == nullptr ||
      EVP_EncryptInit_ex2(context.get(), EVP_aes_256_gcm(), passwordKey.data(),
                          wrapped.Nonce.data(), nullptr) != 1 ||
      (adLength > 0 &&
       EVP_EncryptUpdate(context.get(), nullptr, &length, associatedData.data(), adLength) != 1) ||
      EVP_EncryptUpdate(context.get(), wrapped.Ciphertext.data(), &length, masterKey.data(),
                        static_cast<int>(masterKey.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), wrapped.Ciphertext.data() + length, &finalLength) != 1 ||
      length + finalLength != static_cast<int>(kMasterKeySize) ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, kWrapTagSize, wrapped.Tag.data()) !=
          1) {
    Fail(Kind::kSystemFailure, "Wrapping the master key failed.");
  }
  return wrapped;
}

std::optional<SecretBytes> UnwrapMasterKey(const WrappedKey& wrapped,
                                           const SecretBytes& passwordKey,
                                           std::span<const std::uint8_t> associatedData) {
  RequireKeySize(passwordKey, kPasswordKeySize, "The password key");
  const int adLength = AssociatedDataLength(associatedData);
  const CipherCtx context(EVP_CIPHER_CTX_new());
  std::array<std::uint8_t, kWrapTagSize> tag = wrapped.Tag;  // the call wants it writable
  SecretBytes masterKey(kMasterKeySize);
  int length = 0;
  if (context == nullptr ||
      EVP_DecryptInit_ex2(context.get(), EVP_aes_256_gcm(), passwordKey.data(),
                          wrapped.Nonce.data(), nullptr) != 1 ||
      (adLength > 0 &&
       EVP_DecryptUpdate(context.get(), nullptr, &length, associatedData.data(), adLength) != 1) ||
      EVP_DecryptUpdate(context.get(), masterKey.data(), &length, wrapped.Ciphertext.data(),
                        static_cast<int>(wrapped.Ciphertext.size())) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, kWrapTagSize, tag.data()) != 1) {
    Fail(Kind::kSystemFailure, "Unwrapping the master key failed.");
  }
  int finalLength = 0;
  // Only the tag check fails here; the bytes written so far are wiped with
  // masterKey.
  if (EVP_DecryptFinal_ex(context.get(), masterKey.data() + length, &finalLength) != 1) {
    return std::nullopt;
  }
  return masterKey;
}

// ---------------------------------------------------------------- record

bool IsHardenedRecord(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kHardenedMarker.size() &&
         std::equal(kHardenedMarker.begin(), kHardenedMarker.end(), bytes.begin());
}

std::array<std::uint8_t, kHardenedHeaderSize> HardenedRecordHeader(const HardenedRecord& record) {
  std::array<std::uint8_t, kHardenedHeaderSize> header{};
  std::copy(kHardenedMarker.begin(), kHardenedMarker.end(), header.begin());
  StoreU16(&header[kVersionOffset], kHardenedVersion);
  StoreU32(&header[kTimeCostOffset], record.Kdf.TimeCost);
  StoreU32(&header[kMemoryOffset], record.Kdf.MemoryKiB);
  StoreU32(&header[kParallelismOffset], record.Kdf.Parallelism);
  std::copy(record.Salt.begin(), record.Salt.end(), header.begin() + kSaltOffset);
  return header;
}

std::vector<std::uint8_t> EncodeHardenedRecord(const HardenedRecord& record) {
  std::vector<std::uint8_t> bytes(kHardenedRecordSize);
  const auto header = HardenedRecordHeader(record);
  std::copy(header.begin(), header.end(), bytes.begin());
  const WrappedKey& wrapped = record.Wrapped;
  std::copy(wrapped.Nonce.begin(), wrapped.Nonce.end(), bytes.begin() + kNonceOffset);
  std::copy(wrapped.Ciphertext.begin(), wrapped.Ciphertext.end(),
            bytes.begin() + kCiphertextOffset);
  std::copy(wrapped.Tag.begin(), wrapped.Tag.end(), bytes.begin() + kTagOffset);
  StoreU64(&bytes[kSizeOffset], record.SizeKB);
  return bytes;
}

HardenedRecord DecodeHardenedRecord(std::span<const std::uint8_t> bytes) {
  // Marker and version come before the length, so that a later version with
  // another length is reported as such.
  if (bytes.size() >= kHardenedMarker.size() && !IsHardenedRecord(bytes)) {
    Fail(Kind::kDamagedRecord, "The container's key record does not start with its marker.");
  }
  if (bytes.size() < kTimeCostOffset) {
    Fail(Kind::kDamagedRecord, "The container's key record is too short (" +
                                   std::to_string(bytes.size()) + " bytes, " +
                                   std::to_string(kHardenedRecordSize) + " expected).");
  }
  const std::uint16_t version = LoadU16(&bytes[kVersionOffset]);
  if (version != kHardenedVersion) {
    Fail(Kind::kUnsupportedVersion, "The container's key record has layout version " +
                                        std::to_string(version) + "; this program reads version " +
                                        std::to_string(kHardenedVersion) + ".");
  }
  if (bytes.size() != kHardenedRecordSize) {
    Fail(Kind::kDamagedRecord, std::string("The container's key record is too ") +
                                   (bytes.size() < kHardenedRecordSize ? "short" : "long") + " (" +
                                   std::to_string(bytes.size()) + " bytes, " +
                                   std::to_string(kHardenedRecordSize) + " expected).");
  }
  HardenedRecord record;
  record.Kdf.TimeCost = LoadU32(&bytes[kTimeCostOffset]);
  record.Kdf.MemoryKiB = LoadU32(&bytes[kMemoryOffset]);
  record.Kdf.Parallelism = LoadU32(&bytes[kParallelismOffset]);
  CheckKdfParameters(record.Kdf);
  const auto at = bytes.begin();
  std::copy(at + kSaltOffset, at + kSaltOffset + kKdfSaltSize, record.Salt.begin());
  WrappedKey& wrapped = record.Wrapped;
  std::copy(at + kNonceOffset, at + kNonceOffset + kWrapNonceSize, wrapped.Nonce.begin());
  std::copy(at + kCiphertextOffset, at + kCiphertextOffset + kMasterKeySize,
            wrapped.Ciphertext.begin());
  std::copy(at + kTagOffset, at + kTagOffset + kWrapTagSize, wrapped.Tag.begin());
  record.SizeKB = LoadU64(&bytes[kSizeOffset]);
  return record;
}

HardenedRecord CreateHardenedRecord(const SecretBytes& masterKey,
                                    std::span<const std::uint8_t> password,
                                    const KdfParameters& parameters, std::uint64_t sizeKB) {
  RequireKeySize(masterKey, kMasterKeySize, "The master key");
  HardenedRecord record;
  record.Kdf = ProtectParameters(parameters);
  record.SizeKB = sizeKB;
  RandomBytes(record.Salt);
  const SecretBytes passwordKey = DerivePasswordKey(password, record.Salt, record.Kdf);
  record.Wrapped = WrapMasterKey(masterKey, passwordKey, HardenedRecordHeader(record));
  return record;
}

std::optional<SecretBytes> OpenHardenedRecord(const HardenedRecord& record,
                                              std::span<const std::uint8_t> password) {
  const SecretBytes passwordKey = DerivePasswordKey(password, record.Salt, record.Kdf);
  return UnwrapMasterKey(record.Wrapped, passwordKey, HardenedRecordHeader(record));
}

std::optional<HardenedRecord> ChangeWrappedPassword(const HardenedRecord& record,
                                                    std::span<const std::uint8_t> oldPassword,
                                                    std::span<const std::uint8_t> newPassword,
                                                    const KdfParameters& newParameters) {
  // Refuse impossible new parameters before the slow unwrap.
  const KdfParameters parameters = ProtectParameters(newParameters);
  const std::optional<SecretBytes> masterKey = OpenHardenedRecord(record, oldPassword);
  if (!masterKey) return std::nullopt;
  return CreateHardenedRecord(*masterKey, newPassword, parameters, record.SizeKB);
}

}  // namespace korvane

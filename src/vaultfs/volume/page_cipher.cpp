#include "vaultfs/volume/page_cipher.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace vaultfs {
namespace {

constexpr std::size_t kChainUnit = 32;  // mode 1 enciphers 32-byte units
constexpr std::size_t kAesBlock = 16;
constexpr std::size_t kPadUnit = 8;  // mode 1 pads the password to whole 8-byte groups
constexpr std::uint32_t kHalfHashVariant = 2;

// Once the algorithms were found, a failing call of the crypto library can
// only mean that it ran out of memory.
constexpr EngineResult kCryptoFailure = errOutOfMemory;

struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// A tweak word goes into the key material as it lies in memory. The caller
// passes it in the byte order of the machine that made the volume (swapped
// on a byte-swapped volume), so a volume's keys are the same whichever
// byte order reads it; on the little-endian machines the words are stored
// little-endian.
void StoreTweakWord(std::uint8_t* out, std::uint32_t value) {
  std::memcpy(out, &value, sizeof value);
}

struct MacContextDeleter {
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};

// An HMAC-SHA-256 context of this thread, its algorithms looked up once:
// every page of a volume under mode 3 takes a MAC for its key, and looking
// the algorithms up for each (as the one-shot call does) costs more than
// the MAC itself. Each use starts it afresh with its own key.
EVP_MAC_CTX* ThreadHmacSha256() {
  thread_local const std::unique_ptr<EVP_MAC_CTX, MacContextDeleter> context = [] {
    std::unique_ptr<EVP_MAC_CTX, MacContextDeleter> made;
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) return made;
    made.reset(EVP_MAC_CTX_new(mac));
    EVP_MAC_free(mac);  // the context keeps its own reference
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_END};
    if (made && EVP_MAC_CTX_set_params(made.get(), params) != 1) made.reset();
    return made;
  }();
  return context.get();
}

// The two ciphers of modes 1 and 3, looked up once for the process: every
// file key is a PageCipher of its own, and the lookup costs more than
// setting a key. The library keeps fetched algorithms thread-safe to share.
const EVP_CIPHER* SharedCipher(TVaultEncryption mode) {
  static EVP_CIPHER* const ecb = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
  static EVP_CIPHER* const cbc = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  return mode == ecAES256_SHA256 ? ecb : cbc;
}

bool KnownMode(TVaultEncryption mode) {
  return mode <= ecAES256_HMAC256;
}

// The check value (and chaining value) of modes 1 and 3 over the password
// share `key`, which the caller has already cut to the variant's length.
EngineResult ChainValue(TVaultEncryption mode, std::span<const std::uint8_t> key,
                        std::uint32_t variant, std::uint32_t a, CheckValueBytes& out) {
  if (mode == ecAES256_HMAC256) {
    std::uint8_t macKey[4];
    StoreTweakWord(macKey, a);
    EVP_MAC_CTX* mac = ThreadHmacSha256();
    std::size_t written = 0;
    if (mac == nullptr || EVP_MAC_init(mac, macKey, sizeof macKey, nullptr) != 1 ||
        EVP_MAC_update(mac, key.data(), key.size()) != 1 ||
        EVP_MAC_final(mac, out.data(), &written, out.size()) != 1 || written != out.size()) {
      return kCryptoFailure;
    }
    return 0;
  }
  // Mode 1: SHA-256 of the share zero-padded to a multiple of 8 bytes; the
  // half-length variant 2 hashes only the first 8 padded bytes when the share
  // is not already a whole number of groups.
  std::size_t hashed = key.size();
  if (variant == kHalfHashVariant && key.size() % kPadUnit != 0)
    hashed = std::min(hashed, kPadUnit);
  const std::size_t padded = (hashed + kPadUnit - 1) / kPadUnit * kPadUnit;
  static constexpr std::uint8_t kZeros[kPadUnit] = {};
  std::unique_ptr<EVP_MD_CTX, MdContextDeleter> md(EVP_MD_CTX_new());
  unsigned int written = 0;
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(md.get(), key.data(), hashed) != 1 ||
      EVP_DigestUpdate(md.get(), kZeros, padded - hashed) != 1 ||
      EVP_DigestFinal_ex(md.get(), out.data(), &written) != 1 || written != out.size()) {
    return kCryptoFailure;
  }
  return 0;
}

bool FitsU32(std::size_t size) {
  return size <= std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

// ---------------------------------------------------------- check values

EngineResult EffectiveKeyLength(TVaultEncryption mode, std::uint32_t variant,
                                std::size_t passwordLength, std::size_t& length) {
  mode = NormalizeEncryption(mode);
  if (!KnownMode(mode) || variant > kMaxKeyVariant) return errInvalidParameter;
  length = passwordLength;
  if (mode == ecAES256_SHA256) {
    if (variant == 1) return errInvalidParameter;
    if (variant == 2 || variant == 4) length = passwordLength / 2;
  } else if (mode == ecAES256_HMAC256 && variant != 0) {
    length = passwordLength / 2;
  }
  return 0;
}

EngineResult ValidateNewPassword(TVaultEncryption mode, std::span<const std::uint8_t> password) {
  mode = NormalizeEncryption(mode);
  if (!KnownMode(mode)) return errInvalidParameter;
  if ((mode == ecAES256_SHA256 || mode == ecAES256_HMAC256) && password.empty()) {
    return errInvalidPassword;
  }
  return 0;
}

EngineResult CheckValue(TVaultEncryption mode, std::span<const std::uint8_t> password,
                        std::uint32_t variant, std::uint32_t a,
                        const CustomCipherCallbacks* callbacks, CheckValueBytes& out) {
  mode = NormalizeEncryption(mode);
  std::size_t length = 0;
  EngineResult r = EffectiveKeyLength(mode, variant, password.size(), length);
  if (r != 0) return r;
  if (mode == ecNoEncryption) return errInvalidParameter;
  if (mode == ecCustom256) {
    if (callbacks == nullptr || callbacks->OnHashCalculate == nullptr) {
      return errNoEncryptionHandlers;
    }
    if (!FitsU32(password.size())) return errInvalidParameter;
    return callbacks->OnHashCalculate(callbacks->UserData, password.data(),
                                      static_cast<std::uint32_t>(password.size()), out.data());
  }
  // No password bytes means no secret: such a value would match anyone.
  if (length == 0) return errInvalidPassword;
  return ChainValue(mode, password.first(length), variant, a, out);
}

EngineResult CheckPassword(std::uint32_t storedMode, std::span<const std::uint8_t> password,
                           std::span<const std::uint8_t, kCheckValueSize> storedCheck,
                           std::uint32_t a, const CustomCipherCallbacks* callbacks, bool& valid,
                           std::uint32_t& variant) {
  valid = false;
  variant = 0;
  const TVaultEncryption mode = NormalizeEncryption(storedMode);
  if (mode == ecNoEncryption) {
    valid = true;
    return 0;
  }
  if (!KnownMode(mode)) return errStorageCorrupted;
  if (mode == ecCustom256) {
    if (callbacks == nullptr || callbacks->OnHashValidate == nullptr) {
      return errNoEncryptionHandlers;
    }
    if (!FitsU32(password.size())) return errInvalidParameter;
    bool matched = false;
    const EngineResult r = callbacks->OnHashValidate(callbacks->UserData, password.data(),
                                                     static_cast<std::uint32_t>(password.size()),
                                                     storedCheck.data(), matched);
    valid = r == 0 && matched;
    return 0;
  }
  if (password.empty()) return 0;

  // Variant 0 and 3 are the same in mode 1; the half-length variants exist so
  // that containers whose check values were made from half of the password
  // bytes still open.
  static constexpr std::uint32_t kMode1Order[] = {3, 2, 4};
  static constexpr std::uint32_t kMode3Order[] = {0, 3};
  const std::span<const std::uint32_t> order = mode == ecAES256_SHA256
                                                   ? std::span<const std::uint32_t>(kMode1Order)
                                                   : std::span<const std::uint32_t>(kMode3Order);
  for (const std::uint32_t candidate : order) {
    std::size_t length = 0;
    EngineResult r = EffectiveKeyLength(mode, candidate, password.size(), length);
    if (r != 0) return r;
    // A one-byte password has no half: skip rather than compare against the
    // value of no secret at all.
    if (length == 0) continue;
    CheckValueBytes computed;
    r = ChainValue(mode, password.first(length), candidate, a, computed);
    if (r != 0) return r;
    const bool equal = CRYPTO_memcmp(computed.data(), storedCheck.data(), kCheckValueSize) == 0;
    OPENSSL_cleanse(computed.data(), computed.size());
    if (equal) {
      valid = true;
      variant = candidate;
      return 0;
    }
  }
  return 0;
}

// ---------------------------------------------------------------- PageCipher

PageCipher::PageCipher(TVaultEncryption mode, std::uint32_t variant,
                       const CustomCipherCallbacks* callbacks)
    : mode_(mode), variant_(variant), callbacks_(callbacks) {}

PageCipher::~PageCipher() {
  OPENSSL_cleanse(key_.data(), key_.size());
  OPENSSL_cleanse(chain_.data(), chain_.size());
  EVP_MAC_CTX_free(keyMac_);
  EVP_CIPHER_CTX_free(cipherContext_);
}

EngineResult PageCipher::Create(std::uint32_t mode, std::span<const std::uint8_t> password,
                                std::uint32_t variant, const CustomCipherCallbacks* callbacks,
                                std::shared_ptr<PageCipher>& cipher) {
  cipher.reset();
  mode = NormalizeEncryption(mode);
  std::size_t length = 0;
  EngineResult r = EffectiveKeyLength(mode, variant, password.size(), length);
  if (r != 0) return r;
  if (mode == ecCustom256 && !FitsU32(password.size())) return errInvalidParameter;
  if ((mode == ecAES256_SHA256 || mode == ecAES256_HMAC256) && length == 0) {
    return errInvalidPassword;
  }
  std::shared_ptr<PageCipher> made(new PageCipher(mode, variant, callbacks));
  made->keyLength_ = length;
  r = made->Setup(password);
  if (r != 0) return r;
  cipher = std::move(made);
  return 0;
}

EngineResult PageCipher::Setup(std::span<const std::uint8_t> password) {
  password_.Assign(password);
  if (mode_ != ecAES256_SHA256 && mode_ != ecAES256_HMAC256) return 0;

  cipher_ = SharedCipher(mode_);
  if (cipher_ == nullptr) return errNotImplemented;
  // A copy of this thread's HMAC-SHA-256 context has the algorithms already.
  EVP_MAC_CTX* const prototype = ThreadHmacSha256();
  if (prototype == nullptr) return errNotImplemented;
  keyMac_ = EVP_MAC_CTX_dup(prototype);
  cipherContext_ = EVP_CIPHER_CTX_new();
  if (keyMac_ == nullptr || cipherContext_ == nullptr) return errOutOfMemory;

  // Key the MAC once; each page then only restarts it with the same key.
  if (EVP_MAC_init(keyMac_, password_.data(), keyLength_, nullptr) != 1) return errNotImplemented;

  // Bind the cipher to the context once; later calls only change key and IV.
  // Payloads are whole blocks, so no padding (with padding on, deciphering
  // would hold the last block back).
  if (EVP_CipherInit_ex2(cipherContext_, cipher_, nullptr, nullptr, 1, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(cipherContext_, 0) != 1) {
    return kCryptoFailure;
  }

  if (mode_ == ecAES256_SHA256) {
    const EngineResult r =
        ChainValue(mode_, password_.span().first(keyLength_), variant_, 0, chain_);
    if (r != 0) return r;
    chainValid_ = true;
  }
  return 0;
}

EngineResult PageCipher::Encipher(std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                                  std::uint32_t b) {
  return Run(true, data, size, a, b);
}

EngineResult PageCipher::Decipher(std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                                  std::uint32_t b) {
  return Run(false, data, size, a, b);
}

EngineResult PageCipher::Run(bool encipher, std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                             std::uint32_t b) {
  if (data == nullptr && size != 0) return errInvalidParameter;
  switch (mode_) {
    case ecNoEncryption:
      return 0;
    case ecCustom256: {
      if (callbacks_ == nullptr) return errNoEncryptionHandlers;
      const CustomCipherCallbacks::DataEvent event =
          encipher ? callbacks_->OnDataEncrypt : callbacks_->OnDataDecrypt;
      if (event == nullptr) return errNoEncryptionHandlers;
      return event(callbacks_->UserData, password_.data(),
                   static_cast<std::uint32_t>(password_.size()), data, size, a, b);
    }
    default:
      break;
  }
  const std::uint32_t unit = mode_ == ecAES256_SHA256 ? kChainUnit : kAesBlock;
  if (size % unit != 0) return errInvalidParameter;
  if (size == 0) return 0;

  std::scoped_lock guard(lock_);
  EngineResult r = PrepareTweak(a, b);
  if (r != 0) return r;
  if (mode_ == ecAES256_SHA256) {
    r = encipher ? ChainedEncipher(data, size) : ChainedDecipher(data, size);
  } else {
    r = CbcRun(encipher, data, size);
  }
  return r;
}

EngineResult PageCipher::PrepareTweak(std::uint32_t a, std::uint32_t b) {
  if (mode_ == ecAES256_HMAC256 && (!chainValid_ || chainA_ != a)) {
    chainValid_ = false;
    const EngineResult r =
        ChainValue(mode_, password_.span().first(keyLength_), variant_, a, chain_);
    if (r != 0) return r;
    chainA_ = a;
    chainValid_ = true;
  }
  if (keyValid_ && keyA_ == a && keyB_ == b) return 0;
  keyValid_ = false;
  std::uint8_t tweak[8];
  StoreTweakWord(tweak, a);
  StoreTweakWord(tweak + 4, b);
  std::size_t written = 0;
  // A null key restarts the MAC with the password share set in Setup.
  if (EVP_MAC_init(keyMac_, nullptr, 0, nullptr) != 1 ||
      EVP_MAC_update(keyMac_, tweak, sizeof tweak) != 1 ||
      EVP_MAC_final(keyMac_, key_.data(), &written, key_.size()) != 1 || written != key_.size()) {
    return kCryptoFailure;
  }
  keyA_ = a;
  keyB_ = b;
  keyValid_ = true;
  return 0;
}

EngineResult PageCipher::ChainedEncipher(std::uint8_t* data, std::uint32_t size) {
  if (EVP_CipherInit_ex2(cipherContext_, nullptr, key_.data(), nullptr, 1, nullptr) != 1) {
    return kCryptoFailure;
  }
  // Each unit depends on the ciphertext before it, so this runs unit by unit.
  const std::uint8_t* previous = chain_.data();
  std::uint8_t mixed[kChainUnit];
  for (std::uint32_t at = 0; at < size; at += kChainUnit) {
    std::uint8_t* unit = data + at;
    for (std::size_t i = 0; i < kChainUnit; ++i) mixed[i] = unit[i] ^ previous[i];
    int written = 0;
    if (EVP_CipherUpdate(cipherContext_, unit, &written, mixed, kChainUnit) != 1 ||
        written != static_cast<int>(kChainUnit)) {
      OPENSSL_cleanse(mixed, sizeof mixed);
      return kCryptoFailure;
    }
    previous = unit;
  }
  OPENSSL_cleanse(mixed, sizeof mixed);
  return 0;
}

EngineResult PageCipher::ChainedDecipher(std::uint8_t* data, std::uint32_t size) {
  if (EVP_CipherInit_ex2(cipherContext_, nullptr, key_.data(), nullptr, 0, nullptr) != 1) {
    return kCryptoFailure;
  }
  // Units decipher independently of each other; only the XOR needs the
  // previous ciphertext. Decipher a stretch at a time out of a copy of its
  // ciphertext, so the library sees many blocks per call.
  constexpr std::size_t kStretch = 1024;
  std::uint8_t cipherText[kStretch];
  std::uint8_t previous[kChainUnit];
  std::memcpy(previous, chain_.data(), kChainUnit);
  for (std::uint32_t at = 0; at < size;) {
    const std::size_t count = std::min<std::size_t>(kStretch, size - at);
    std::uint8_t* stretch = data + at;
    std::memcpy(cipherText, stretch, count);
    int written = 0;
    if (EVP_CipherUpdate(cipherContext_, stretch, &written, cipherText, static_cast<int>(count)) !=
            1 ||
        written != static_cast<int>(count)) {
      return kCryptoFailure;
    }
    for (std::size_t i = 0; i < kChainUnit; ++i) stretch[i] ^= previous[i];
    for (std::size_t unit = kChainUnit; unit < count; unit += kChainUnit) {
      for (std::size_t i = 0; i < kChainUnit; ++i) {
        stretch[unit + i] ^= cipherText[unit - kChainUnit + i];
      }
    }
    std::memcpy(previous, cipherText + count - kChainUnit, kChainUnit);
    at += static_cast<std::uint32_t>(count);
  }
  return 0;
}

EngineResult PageCipher::CbcRun(bool encipher, std::uint8_t* data, std::uint32_t size) {
  if (EVP_CipherInit_ex2(cipherContext_, nullptr, key_.data(), chain_.data(), encipher ? 1 : 0,
                         nullptr) != 1) {
    return kCryptoFailure;
  }
  // As few calls as the library's int lengths allow (one for any page or
  // block): deciphering CBC runs blocks in parallel. The chain carries over
  // from one call to the next.
  constexpr std::uint32_t kMostPerCall = 1u << 30;
  for (std::uint32_t at = 0; at < size;) {
    const std::uint32_t count = std::min(kMostPerCall, size - at);
    int written = 0;
    if (EVP_CipherUpdate(cipherContext_, data + at, &written, data + at, static_cast<int>(count)) !=
            1 ||
        written != static_cast<int>(count)) {
      return kCryptoFailure;
    }
    at += count;
  }
  return 0;
}

}  // namespace vaultfs

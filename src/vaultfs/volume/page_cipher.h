// Page encryption: the cipher applied to the payload of a storage page or of
// a file's data block, and the check value that tells a right password from a
// wrong one. The same primitives serve the storage password (tweak A =
// PageSize, B = the page number) and per-file passwords (A = ObjectId, B = the
// page index within the file).
//
// Passwords are byte strings; the storage component passes UTF-16LE code
// units, so a password of n characters is 2n bytes long.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "vaultfs/volume/volume.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/secret_bytes.h"

// Kept opaque here so that users of the volume do not need OpenSSL's headers.
struct evp_cipher_st;
struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

namespace vaultfs {

// Older containers may hold this in place of ecNoEncryption.
inline constexpr std::uint32_t kStoredNoEncryption = 0xFFFFFFFFu;

inline constexpr std::size_t kCheckValueSize = 32;
inline constexpr std::uint32_t kMaxKeyVariant = 4;
using CheckValueBytes = std::array<std::uint8_t, kCheckValueSize>;

// The mode a stored value stands for (0xFFFFFFFF reads as ecNoEncryption).
constexpr TVaultEncryption NormalizeEncryption(std::uint32_t stored) {
  return stored == kStoredNoEncryption ? ecNoEncryption : stored;
}

// How many leading password bytes a mode and KeyVariant use for keys and check
// values. Fails with errInvalidParameter for an unknown mode or a variant the
// mode does not define (mode 1 has no variant 1).
[[nodiscard]] EngineResult EffectiveKeyLength(TVaultEncryption mode, std::uint32_t variant,
                                              std::size_t passwordLength, std::size_t& length);

// Refuses a password that a volume or file could never be unlocked with again:
// an empty password for ecAES256_SHA256 or ecAES256_HMAC256, whose check never
// accepts one (errInvalidPassword). An unknown mode is errInvalidParameter.
// Modes 0 and 2 accept any password.
[[nodiscard]] EngineResult ValidateNewPassword(TVaultEncryption mode,
                                               std::span<const std::uint8_t> password);

// The 32-byte check value of `password` for modes 1 to 3; for mode 3 it is
// keyed with tweak word `a`. Mode 2 asks OnHashCalculate (Buffer = the whole
// password). Mode 0 has no check value (errInvalidParameter), and neither has
// a variant that leaves no password bytes (errInvalidPassword).
[[nodiscard]] EngineResult CheckValue(TVaultEncryption mode, std::span<const std::uint8_t> password,
                                      std::uint32_t variant, std::uint32_t a,
                                      const CustomCipherCallbacks* callbacks, CheckValueBytes& out);

// Whether `password` matches the check value stored with mode `storedMode`,
// and the KeyVariant under which it matched (to be kept with the key).
// Modes 0 and 0xFFFFFFFF are always valid. Modes 1 and 3 never accept an empty
// password and try the variants in a fixed order (mode 1: 3, 2, 4; mode 3: 0,
// then 3 when half the password is not empty). Mode 2 asks OnHashValidate; an
// event error counts as a wrong password. An unknown stored mode means the
// record is damaged: errStorageCorrupted.
[[nodiscard]] EngineResult CheckPassword(std::uint32_t storedMode,
                                         std::span<const std::uint8_t> password,
                                         std::span<const std::uint8_t, kCheckValueSize> storedCheck,
                                         std::uint32_t a, const CustomCipherCallbacks* callbacks,
                                         bool& valid, std::uint32_t& variant);

// A key: mode, password and KeyVariant, ready to encipher and decipher page
// payloads in place under the tweak (A, B).
//
// Every page gets its own AES-256 key, HMAC-SHA-256 over A and B keyed with the
// variant's share of the password. Mode 1 chains 32-byte units (each unit is
// XORed with the previous ciphertext unit, the first with the check value,
// then its two halves are enciphered on their own); mode 3 is CBC over 16-byte
// blocks whose initial vector is the first half of the check value under A.
// Mode 2 hands the payload to the caller's events; mode 0 leaves it as it is.
//
// The cipher and MAC contexts are made once, in Create, and reused, so a call
// allocates nothing. Encipher and Decipher may be called from several threads
// on one object: modes 1 and 3 serialise on an internal mutex (the contexts
// are shared state); mode 2 holds no state and calls the events directly.
class PageCipher final : public PageCipherHook {
 public:
  // `callbacks` is only used in mode 2 and must outlive the key; it is read at
  // each call, so handlers installed later are seen. Fails with
  // errInvalidParameter for an unknown mode or variant, errInvalidPassword
  // when modes 1 and 3 would get no password bytes, errNotImplemented when the
  // crypto library lacks AES-256 or HMAC-SHA-256, errOutOfMemory when it
  // cannot make its contexts.
  [[nodiscard]] static EngineResult Create(std::uint32_t mode,
                                           std::span<const std::uint8_t> password,
                                           std::uint32_t variant,
                                           const CustomCipherCallbacks* callbacks,
                                           std::shared_ptr<PageCipher>& cipher);

  ~PageCipher() override;
  PageCipher(const PageCipher&) = delete;
  PageCipher& operator=(const PageCipher&) = delete;

  // `size` must be a multiple of 32 in mode 1 and of 16 in mode 3, else
  // errInvalidParameter and the data is untouched.
  [[nodiscard]] EngineResult Encipher(std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                                      std::uint32_t b) override;
  [[nodiscard]] EngineResult Decipher(std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                                      std::uint32_t b) override;

  TVaultEncryption Mode() const { return mode_; }
  std::uint32_t KeyVariant() const { return variant_; }
  const SecretBytes& Password() const { return password_; }
  const CustomCipherCallbacks* Callbacks() const { return callbacks_; }

 private:
  PageCipher(TVaultEncryption mode, std::uint32_t variant, const CustomCipherCallbacks* callbacks);

  [[nodiscard]] EngineResult Setup(std::span<const std::uint8_t> password);
  [[nodiscard]] EngineResult Run(bool encipher, std::uint8_t* data, std::uint32_t size,
                                 std::uint32_t a, std::uint32_t b);
  // Under lock_: makes sure key_ holds the AES key of (a, b) and, in mode 3,
  // chain_ the initial vector of a.
  [[nodiscard]] EngineResult PrepareTweak(std::uint32_t a, std::uint32_t b);
  [[nodiscard]] EngineResult ChainedEncipher(std::uint8_t* data, std::uint32_t size);
  [[nodiscard]] EngineResult ChainedDecipher(std::uint8_t* data, std::uint32_t size);
  [[nodiscard]] EngineResult CbcRun(bool encipher, std::uint8_t* data, std::uint32_t size);

  const TVaultEncryption mode_;
  const std::uint32_t variant_;
  const CustomCipherCallbacks* const callbacks_;
  SecretBytes password_;
  std::size_t keyLength_ = 0;  // the variant's share of password_

  std::mutex lock_;
  const evp_cipher_st* cipher_ = nullptr;  // shared, never freed here
  evp_cipher_ctx_st* cipherContext_ = nullptr;
  evp_mac_ctx_st* keyMac_ = nullptr;  // HMAC-SHA-256 keyed with the password share
  // Mode 1: the check value, fixed for the key. Mode 3: the check value under
  // chainA_, recomputed when A changes (once per key in practice).
  CheckValueBytes chain_{};
  bool chainValid_ = false;
  std::uint32_t chainA_ = 0;
  // The AES key of the last tweak; re-reading a page just written reuses it.
  std::array<std::uint8_t, 32> key_{};
  bool keyValid_ = false;
  std::uint32_t keyA_ = 0;
  std::uint32_t keyB_ = 0;
};

}  // namespace vaultfs

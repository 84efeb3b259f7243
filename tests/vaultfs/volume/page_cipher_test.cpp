// Page encryption and password check values. Expected bytes are built here
// straight from the published primitives with one-shot library calls (SHA-256,
// HMAC-SHA-256, single AES blocks, AES-CBC), so the tests pin the construction
// rather than restating the engine's code path.
#include "vaultfs/volume/page_cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/volume.h"
#include "support/memory_host_files.h"

namespace vaultfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------ reference side

// A tweak word as the key material takes it: as it lies in memory, so
// little-endian on the little-endian machines (the volume swaps the words of
// a volume of the other byte order before they get here).
Bytes Word32(std::uint32_t value) {
  Bytes bytes(4);
  StoreU32(bytes.data(), value);
  return bytes;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Prefix(const Bytes& bytes, std::size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + n);
}

Bytes RefSha256(const Bytes& message) {
  Bytes out(SHA256_DIGEST_LENGTH);
  SHA256(message.data(), message.size(), out.data());
  return out;
}

Bytes RefHmac(const Bytes& key, const Bytes& message) {
  static const std::uint8_t kNothing = 0;
  Bytes out(32);
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.empty() ? &kNothing : key.data(), static_cast<int>(key.size()),
       message.data(), message.size(), out.data(), &length);
  EXPECT_EQ(length, 32u);
  return out;
}

// One raw AES-256 block operation.
void RefAesBlock(bool encrypt, const Bytes& key, const std::uint8_t* in, std::uint8_t* out) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  ASSERT_EQ(
      EVP_CipherInit_ex(context, EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0),
      1);
  EVP_CIPHER_CTX_set_padding(context, 0);
  ASSERT_EQ(EVP_CipherUpdate(context, out, &written, in, 16), 1);
  EXPECT_EQ(written, 16);
  EVP_CIPHER_CTX_free(context);
}

// Mode 1: C0 = chain; each 32-byte unit XOR the previous ciphertext unit,
// then both 16-byte halves enciphered on their own.
Bytes RefMode1Encipher(const Bytes& key, const Bytes& chain, const Bytes& plain) {
  Bytes out(plain.size());
  Bytes previous = chain;
  for (std::size_t at = 0; at < plain.size(); at += 32) {
    std::uint8_t mixed[32];
    for (int i = 0; i < 32; ++i) mixed[i] = plain[at + i] ^ previous[i];
    RefAesBlock(true, key, mixed, &out[at]);
    RefAesBlock(true, key, mixed + 16, &out[at + 16]);
    previous.assign(out.begin() + at, out.begin() + at + 32);
  }
  return out;
}

Bytes RefCbcEncipher(const Bytes& key, const Bytes& iv, const Bytes& plain) {
  Bytes out(plain.size());
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr, key.data(), iv.data()), 1);
  EVP_CIPHER_CTX_set_padding(context, 0);
  EXPECT_EQ(EVP_EncryptUpdate(context, out.data(), &written, plain.data(),
                              static_cast<int>(plain.size())),
            1);
  EXPECT_EQ(written, static_cast<int>(plain.size()));
  EVP_CIPHER_CTX_free(context);
  return out;
}

// Mode 1 check value: SHA-256 of the first `hashed` password bytes followed
// by zeros up to `paddedTo`. Mode 3: HMAC-SHA-256 keyed with A over the first
// `hashed` password bytes.
Bytes RefCheckValue(TVaultEncryption mode, const Bytes& password, std::size_t hashed,
                    std::size_t paddedTo, std::uint32_t a) {
  Bytes share = Prefix(password, hashed);
  if (mode == ecAES256_SHA256) {
    share.resize(paddedTo, 0);
    return RefSha256(share);
  }
  return RefHmac(Word32(a), share);
}

// --------------------------------------------------------------- test data

// A password as the storage component hands it over: UTF-16LE code units.
Bytes Utf16Password(const char* text) {
  Bytes out;
  for (const char* p = text; *p != '\0'; ++p) {
    out.push_back(static_cast<std::uint8_t>(*p));
    out.push_back(0);
  }
  return out;
}

// `length` password bytes that all differ, so any wrong prefix shows.
Bytes PasswordOfLength(std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(0x41 + i * 3);
  return out;
}

Bytes Payload(std::size_t size, std::uint32_t seed = 1) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::uint8_t>((seed * 131 + i * 7 + (i >> 8)) & 0xFF);
  return out;
}

std::shared_ptr<PageCipher> MakeCipher(std::uint32_t mode, const Bytes& password,
                                       std::uint32_t variant = 0,
                                       const CustomCipherCallbacks* callbacks = nullptr) {
  std::shared_ptr<PageCipher> cipher;
  EXPECT_EQ(PageCipher::Create(mode, password, variant, callbacks, cipher), 0);
  return cipher;
}

Bytes Enciphered(PageCipher& cipher, Bytes data, std::uint32_t a, std::uint32_t b) {
  EXPECT_EQ(cipher.Encipher(data.data(), static_cast<std::uint32_t>(data.size()), a, b), 0);
  return data;
}

Bytes Deciphered(PageCipher& cipher, Bytes data, std::uint32_t a, std::uint32_t b) {
  EXPECT_EQ(cipher.Decipher(data.data(), static_cast<std::uint32_t>(data.size()), a, b), 0);
  return data;
}

// ------------------------------------------------------------------ ciphers

// One key object serves a run of tweaks and sizes, as a volume's key and a
// file's key do, so a stale cached key or chaining value would show as a
// mismatch against the reference.
TEST(PageCipher, MatchesReferenceConstruction) {
  struct Tweak {
    std::uint32_t a, b, size;
  };
  const Tweak tweaks[] = {
      {4096, 77, 4096}, {4096, 78, 4096}, {0x12345678, 78, 1056},  {0x12345678, 3, 32},
      {4096, 77, 4096}, {4096, 77, 4096}, {512, 0x01020304, 4096},
  };
  const Bytes password = Utf16Password("Secret!");  // 14 bytes: mode 1 pads to 16
  for (const TVaultEncryption mode : {ecAES256_SHA256, ecAES256_HMAC256}) {
    SCOPED_TRACE(mode);
    auto cipher = MakeCipher(mode, password);
    ASSERT_TRUE(cipher);
    for (const Tweak& t : tweaks) {
      SCOPED_TRACE(::testing::Message() << "A=" << t.a << " B=" << t.b << " size=" << t.size);
      const Bytes plain = Payload(t.size, t.b);
      const Bytes key = RefHmac(password, Concat(Word32(t.a), Word32(t.b)));
      const Bytes expected =
          mode == ecAES256_SHA256
              ? RefMode1Encipher(key, RefSha256(Concat(password, Bytes(2, 0))), plain)
              : RefCbcEncipher(key, Prefix(RefHmac(Word32(t.a), password), 16), plain);
      const Bytes cipherText = Enciphered(*cipher, plain, t.a, t.b);
      EXPECT_EQ(cipherText, expected);
      EXPECT_EQ(Deciphered(*cipher, cipherText, t.a, t.b), plain);
    }
  }
}

TEST(PageCipher, RoundTripsUnderEveryVariant) {
  struct Case {
    TVaultEncryption mode;
    std::size_t passwordLength;
    std::uint32_t variant;
  };
  const Case cases[] = {
      {ecAES256_SHA256, 18, 0}, {ecAES256_SHA256, 26, 2},  {ecAES256_SHA256, 26, 3},
      {ecAES256_SHA256, 26, 4}, {ecAES256_HMAC256, 18, 0}, {ecAES256_HMAC256, 18, 1},
      {ecAES256_HMAC256, 2, 3}, {ecAES256_HMAC256, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " length " << c.passwordLength
                                      << " variant " << c.variant);
    const Bytes password = PasswordOfLength(c.passwordLength);
    auto writer = MakeCipher(c.mode, password, c.variant);
    auto reader = MakeCipher(c.mode, password, c.variant);
    ASSERT_TRUE(writer && reader);
    for (const std::uint32_t size : {4096u, 4064u, 65536u}) {
      const Bytes plain = Payload(size);
      const Bytes cipherText = Enciphered(*writer, plain, 4096, 9);
      EXPECT_NE(cipherText, plain);
      EXPECT_EQ(Deciphered(*reader, cipherText, 4096, 9), plain);
    }
  }
}

// No random element: the same page written twice stores the same bytes; any
// other page number or object gives other bytes; and one changed byte alters
// everything after it (the chain), not just its own block.
TEST(PageCipher, CiphertextFollowsKeyTweakAndChain) {
  const Bytes password = Utf16Password("tobel5931");
  const Bytes plain = Payload(4096);
  for (const TVaultEncryption mode : {ecAES256_SHA256, ecAES256_HMAC256}) {
    SCOPED_TRACE(mode);
    auto cipher = MakeCipher(mode, password);
    ASSERT_TRUE(cipher);
    const Bytes page5 = Enciphered(*cipher, plain, 4096, 5);
    EXPECT_EQ(Enciphered(*MakeCipher(mode, password), plain, 4096, 5), page5);
    EXPECT_NE(Enciphered(*cipher, plain, 4096, 6), page5);
    EXPECT_NE(Enciphered(*cipher, plain, 4097, 5), page5);
    EXPECT_NE(Enciphered(*MakeCipher(mode, Utf16Password("tobel5932")), plain, 4096, 5), page5);

    Bytes changed = plain;
    changed[100] ^= 1;
    const Bytes changedPage = Enciphered(*cipher, changed, 4096, 5);
    EXPECT_TRUE(std::equal(page5.begin(), page5.begin() + 96, changedPage.begin()));
    EXPECT_NE(Bytes(page5.end() - 32, page5.end()),
              Bytes(changedPage.end() - 32, changedPage.end()));
  }
}

TEST(PageCipher, RefusesPayloadsThatAreNotWholeUnits) {
  struct Case {
    TVaultEncryption mode;
    std::uint32_t size;
    EngineResult expected;
  };
  const Case cases[] = {
      {ecAES256_SHA256, 16, errInvalidParameter},
      {ecAES256_SHA256, 4080, errInvalidParameter},
      {ecAES256_SHA256, 4095, errInvalidParameter},
      {ecAES256_HMAC256, 8, errInvalidParameter},
      {ecAES256_HMAC256, 4100, errInvalidParameter},
      {ecAES256_HMAC256, 48, 0},
      {ecAES256_SHA256, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " size " << c.size);
    auto cipher = MakeCipher(c.mode, Utf16Password("pw"));
    ASSERT_TRUE(cipher);
    const Bytes plain = Payload(c.size);
    Bytes data = plain;
    EXPECT_EQ(cipher->Encipher(data.data(), c.size, 4096, 3), c.expected);
    EXPECT_EQ(cipher->Decipher(data.data(), c.size, 4096, 3), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(data, plain);
    }
  }
}

TEST(PageCipher, RefusesKeysItCannotUse) {
  struct Case {
    std::uint32_t mode;
    std::size_t passwordLength;
    std::uint32_t variant;
    EngineResult create;  // PageCipher::Create
    EngineResult check;   // CheckValue
  };
  const Case cases[] = {
      {ecNoEncryption, 0, 0, 0, errInvalidParameter},
      {kStoredNoEncryption, 4, 0, 0, errInvalidParameter},
      {ecAES256_SHA256, 0, 0, errInvalidPassword, errInvalidPassword},
      {ecAES256_HMAC256, 0, 0, errInvalidPassword, errInvalidPassword},
      {ecAES256_HMAC256, 1, 3, errInvalidPassword, errInvalidPassword},
      {ecAES256_SHA256, 1, 4, errInvalidPassword, errInvalidPassword},
      {ecAES256_SHA256, 8, 1, errInvalidParameter, errInvalidParameter},
      {ecAES256_HMAC256, 8, 5, errInvalidParameter, errInvalidParameter},
      {4, 8, 0, errInvalidParameter, errInvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " length " << c.passwordLength
                                      << " variant " << c.variant);
    const Bytes password = PasswordOfLength(c.passwordLength);
    std::shared_ptr<PageCipher> cipher;
    EXPECT_EQ(PageCipher::Create(c.mode, password, c.variant, nullptr, cipher), c.create);
    EXPECT_EQ(cipher != nullptr, c.create == 0);
    CheckValueBytes value;
    EXPECT_EQ(CheckValue(c.mode, password, c.variant, 4096, nullptr, value), c.check);
  }
}

TEST(PageCipher, NoEncryptionLeavesDataAlone) {
  auto cipher = MakeCipher(kStoredNoEncryption, {});
  ASSERT_TRUE(cipher);
  EXPECT_EQ(cipher->Mode(), ecNoEncryption);
  const Bytes plain = Payload(100);
  EXPECT_EQ(Enciphered(*cipher, plain, 4096, 1), plain);
}

// A file key may be shared by handles on several threads.
TEST(PageCipher, SharedKeyGivesSameResultsAcrossThreads) {
  const Bytes password = Utf16Password("threads");
  for (const TVaultEncryption mode : {ecAES256_SHA256, ecAES256_HMAC256}) {
    SCOPED_TRACE(mode);
    auto cipher = MakeCipher(mode, password);
    ASSERT_TRUE(cipher);
    constexpr std::uint32_t kThreads = 4;
    constexpr std::uint32_t kRounds = 100;
    const Bytes plain = Payload(4096);
    std::vector<Bytes> expected;
    for (std::uint32_t t = 0; t < kThreads; ++t)
      expected.push_back(Enciphered(*MakeCipher(mode, password), plain, 100 + t, t));
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (std::uint32_t round = 0; round < kRounds; ++round) {
          Bytes data = plain;
          if (cipher->Encipher(data.data(), 4096, 100 + t, t) != 0 || data != expected[t])
            ++mismatches[t];
          if (cipher->Decipher(data.data(), 4096, 100 + t, t) != 0 || data != plain)
            ++mismatches[t];
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
  }
}

// ------------------------------------------------------------ check values

TEST(PageCipher, CheckValueMatchesReference) {
  struct Case {
    TVaultEncryption mode;
    std::size_t passwordLength;
    std::uint32_t variant;
    std::uint32_t a;
    std::size_t hashed;    // password bytes that go in
    std::size_t paddedTo;  // mode 1: length after zero padding
  };
  const Case cases[] = {
      {ecAES256_SHA256, 14, 0, 4096, 14, 16},
      {ecAES256_SHA256, 14, 3, 77, 14, 16},    // same as 0; A plays no part
      {ecAES256_SHA256, 16, 0, 4096, 16, 16},  // already whole groups: no padding
      {ecAES256_SHA256, 26, 4, 4096, 13, 16},
      {ecAES256_SHA256, 26, 2, 4096, 8, 8},  // half not whole groups: first 8 bytes only
      {ecAES256_SHA256, 10, 2, 4096, 5, 8},
      {ecAES256_SHA256, 32, 2, 4096, 16, 16},
      {ecAES256_HMAC256, 14, 0, 4096, 14, 0},
      {ecAES256_HMAC256, 14, 0, 0x01020304, 14, 0},
      {ecAES256_HMAC256, 14, 1, 4096, 7, 0},
      {ecAES256_HMAC256, 14, 3, 4096, 7, 0},
      {ecAES256_HMAC256, 15, 4, 4096, 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " length " << c.passwordLength
                                      << " variant " << c.variant << " A " << c.a);
    const Bytes password = PasswordOfLength(c.passwordLength);
    CheckValueBytes value;
    ASSERT_EQ(CheckValue(c.mode, password, c.variant, c.a, nullptr, value), 0);
    EXPECT_EQ(Bytes(value.begin(), value.end()),
              RefCheckValue(c.mode, password, c.hashed, c.paddedTo, c.a));
  }
}

TEST(CheckPassword, SearchesVariantsInOrder) {
  struct Case {
    const char* what;
    std::uint32_t mode;
    std::size_t passwordLength;
    // The stored value: made from these many bytes of a password (the given
    // one, or another when `otherPassword`) padded to `paddedTo`, under A.
    std::size_t hashed;
    std::size_t paddedTo;
    std::uint32_t storedA;
    bool otherPassword;
    bool valid;
    std::uint32_t variant;
  };
  constexpr std::uint32_t kA = 4096;
  const Case cases[] = {
      {"mode 1 full", ecAES256_SHA256, 14, 14, 16, kA, false, true, 3},
      {"mode 1 first 8 of half", ecAES256_SHA256, 26, 8, 8, kA, false, true, 2},
      {"mode 1 half padded", ecAES256_SHA256, 26, 13, 16, kA, false, true, 4},
      {"mode 1 half of 8: 2 before 4", ecAES256_SHA256, 16, 8, 8, kA, false, true, 2},
      {"mode 1 wrong password", ecAES256_SHA256, 14, 14, 16, kA, true, false, 0},
      {"mode 1 empty password", ecAES256_SHA256, 0, 0, 0, kA, false, false, 0},
      {"mode 1 one byte has no half", ecAES256_SHA256, 1, 0, 0, kA, false, false, 0},
      {"mode 3 full", ecAES256_HMAC256, 14, 14, 0, kA, false, true, 0},
      {"mode 3 half", ecAES256_HMAC256, 14, 7, 0, kA, false, true, 3},
      {"mode 3 odd length half", ecAES256_HMAC256, 15, 7, 0, kA, false, true, 3},
      {"mode 3 other A", ecAES256_HMAC256, 14, 14, 0, kA + 1, false, false, 0},
      {"mode 3 wrong password", ecAES256_HMAC256, 14, 14, 0, kA, true, false, 0},
      {"mode 3 empty password", ecAES256_HMAC256, 0, 0, 0, kA, false, false, 0},
      {"mode 3 one byte has no half", ecAES256_HMAC256, 1, 0, 0, kA, false, false, 0},
      {"mode 0", ecNoEncryption, 0, 0, 0, kA, true, true, 0},
      {"mode 0 as stored by older containers", kStoredNoEncryption, 6, 0, 0, kA, true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes password = PasswordOfLength(c.passwordLength);
    Bytes source = password;
    if (c.otherPassword) source = Utf16Password("another");
    const Bytes stored = c.mode == ecAES256_HMAC256 || c.mode == ecAES256_SHA256
                             ? RefCheckValue(c.mode, source, c.hashed, c.paddedTo, c.storedA)
                             : Bytes(kCheckValueSize, 0);
    bool valid = !c.valid;
    std::uint32_t variant = 99;
    ASSERT_EQ(CheckPassword(c.mode, password, std::span<const std::uint8_t, 32>(stored.data(), 32),
                            kA, nullptr, valid, variant),
              0);
    EXPECT_EQ(valid, c.valid);
    if (c.valid) {
      EXPECT_EQ(variant, c.variant);
    }
  }
}

TEST(CheckPassword, UnknownStoredModeIsDamage) {
  const Bytes stored(kCheckValueSize, 0);
  bool valid = true;
  std::uint32_t variant = 0;
  EXPECT_EQ(
      CheckPassword(4, Utf16Password("pw"), std::span<const std::uint8_t, 32>(stored.data(), 32),
                    4096, nullptr, valid, variant),
      errStorageCorrupted);
  EXPECT_FALSE(valid);
}

// A container whose check value was made from the first half of the password
// bytes opens with the whole password, and from then on every page uses the
// half-length key it was written with.
TEST(CheckPassword, HalfLengthVariantKeysThePages) {
  struct Case {
    TVaultEncryption mode;
    std::size_t passwordLength;
  };
  for (const Case& c : {Case{ecAES256_HMAC256, 14}, Case{ecAES256_SHA256, 26}}) {
    SCOPED_TRACE(c.mode);
    const Bytes password = PasswordOfLength(c.passwordLength);
    const Bytes half = Prefix(password, c.passwordLength / 2);
    CheckValueBytes stored;
    ASSERT_EQ(CheckValue(c.mode, half, 0, 4096, nullptr, stored), 0);
    auto writer = MakeCipher(c.mode, half);
    ASSERT_TRUE(writer);
    const Bytes plain = Payload(4096);
    const Bytes onDisk = Enciphered(*writer, plain, 4096, 42);

    bool valid = false;
    std::uint32_t variant = 0;
    ASSERT_EQ(CheckPassword(c.mode, password, stored, 4096, nullptr, valid, variant), 0);
    ASSERT_TRUE(valid);
    EXPECT_NE(variant, 0u);
    auto reader = MakeCipher(c.mode, password, variant);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->KeyVariant(), variant);
    EXPECT_TRUE(reader->Password().Equals(password));
    EXPECT_EQ(Deciphered(*reader, onDisk, 4096, 42), plain);
    EXPECT_EQ(Enciphered(*reader, plain, 4096, 42), onDisk);
  }
}

TEST(ValidateNewPassword, RefusesPasswordsThatCouldNeverUnlock) {
  struct Case {
    std::uint32_t mode;
    std::size_t passwordLength;
    EngineResult expected;
  };
  const Case cases[] = {
      {ecAES256_SHA256, 0, errInvalidPassword},
      {ecAES256_HMAC256, 0, errInvalidPassword},
      {ecAES256_SHA256, 2, 0},
      {ecAES256_HMAC256, 2, 0},
      {ecNoEncryption, 0, 0},
      {kStoredNoEncryption, 0, 0},
      {ecCustom256, 0, 0},
      {7, 2, errInvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " length " << c.passwordLength);
    EXPECT_EQ(ValidateNewPassword(c.mode, PasswordOfLength(c.passwordLength)), c.expected);
  }
}

// ------------------------------------------------------------ custom mode

struct Recorder {
  Bytes key;
  std::uint32_t keyLength = 0;
  const std::uint8_t* data = nullptr;
  std::uint32_t dataSize = 0;
  std::uint32_t objectId = 0;
  std::uint32_t pageIndex = 0;
  Bytes hashBuffer;
  Bytes validatedHash;
  EngineResult fail = 0;
  int calls = 0;
};

EngineResult RecordData(void* userData, const std::uint8_t* key, std::uint32_t keyLength,
                        std::uint8_t* data, std::uint32_t dataSize, std::uint32_t objectId,
                        std::uint32_t pageIndex) {
  auto& r = *static_cast<Recorder*>(userData);
  ++r.calls;
  r.key.assign(key, key + keyLength);
  r.keyLength = keyLength;
  r.data = data;
  r.dataSize = dataSize;
  r.objectId = objectId;
  r.pageIndex = pageIndex;
  if (r.fail != 0) return r.fail;
  for (std::uint32_t i = 0; i < dataSize; ++i) data[i] ^= 0x5A;
  return 0;
}

EngineResult RecordHashCalculate(void* userData, const std::uint8_t* buffer, std::uint32_t count,
                                 std::uint8_t* hash) {
  auto& r = *static_cast<Recorder*>(userData);
  ++r.calls;
  r.hashBuffer.assign(buffer, buffer + count);
  for (std::uint32_t i = 0; i < kCheckValueSize; ++i)
    hash[i] = static_cast<std::uint8_t>(i + count);
  return r.fail;
}

EngineResult RecordHashValidate(void* userData, const std::uint8_t* buffer, std::uint32_t count,
                                const std::uint8_t* hash, bool& valid) {
  auto& r = *static_cast<Recorder*>(userData);
  ++r.calls;
  r.hashBuffer.assign(buffer, buffer + count);
  r.validatedHash.assign(hash, hash + kCheckValueSize);
  valid = true;
  return r.fail;
}

CustomCipherCallbacks AllEvents(Recorder& recorder) {
  CustomCipherCallbacks events;
  events.OnDataEncrypt = RecordData;
  events.OnDataDecrypt = RecordData;
  events.OnHashCalculate = RecordHashCalculate;
  events.OnHashValidate = RecordHashValidate;
  events.UserData = &recorder;
  return events;
}

TEST(CustomCipher, EventsGetTheWholePasswordAndTheTweak) {
  Recorder recorder;
  const CustomCipherCallbacks events = AllEvents(recorder);
  const Bytes password = PasswordOfLength(10);
  // The variant shortens keys of the built-in modes only.
  auto cipher = MakeCipher(ecCustom256, password, 3, &events);
  ASSERT_TRUE(cipher);
  const Bytes plain = Payload(100);  // no unit size: the events take any length
  Bytes data = plain;
  ASSERT_EQ(cipher->Encipher(data.data(), 100, 0xAABBCCDD, 17), 0);
  EXPECT_EQ(recorder.key, password);
  EXPECT_EQ(recorder.keyLength, 10u);
  EXPECT_EQ(recorder.data, data.data());
  EXPECT_EQ(recorder.dataSize, 100u);
  EXPECT_EQ(recorder.objectId, 0xAABBCCDDu);
  EXPECT_EQ(recorder.pageIndex, 17u);
  EXPECT_NE(data, plain);
  ASSERT_EQ(cipher->Decipher(data.data(), 100, 0xAABBCCDD, 17), 0);
  EXPECT_EQ(data, plain);

  recorder.fail = errStorageFull;
  EXPECT_EQ(cipher->Encipher(data.data(), 100, 1, 2), errStorageFull);
  EXPECT_EQ(cipher->Decipher(data.data(), 100, 1, 2), errStorageFull);
}

TEST(CustomCipher, HashEventsMakeAndJudgeCheckValues) {
  Recorder recorder;
  const CustomCipherCallbacks events = AllEvents(recorder);
  const Bytes password = PasswordOfLength(6);
  CheckValueBytes value;
  ASSERT_EQ(CheckValue(ecCustom256, password, 0, 4096, &events, value), 0);
  EXPECT_EQ(recorder.hashBuffer, password);
  EXPECT_EQ(value[0], 6u);

  bool valid = false;
  std::uint32_t variant = 9;
  ASSERT_EQ(CheckPassword(ecCustom256, password, value, 4096, &events, valid, variant), 0);
  EXPECT_TRUE(valid);
  EXPECT_EQ(variant, 0u);
  EXPECT_EQ(recorder.validatedHash, Bytes(value.begin(), value.end()));

  // An event that fails counts as a wrong password; CheckValue passes it on.
  recorder.fail = EIO;
  ASSERT_EQ(CheckPassword(ecCustom256, password, value, 4096, &events, valid, variant), 0);
  EXPECT_FALSE(valid);
  EXPECT_EQ(CheckValue(ecCustom256, password, 0, 4096, &events, value), EIO);
}

TEST(CustomCipher, MissingEventsAreReported) {
  Recorder recorder;
  CustomCipherCallbacks encryptOnly;
  encryptOnly.OnDataEncrypt = RecordData;
  encryptOnly.UserData = &recorder;
  const Bytes password = PasswordOfLength(4);
  const CheckValueBytes stored{};
  for (const CustomCipherCallbacks* events :
       {static_cast<const CustomCipherCallbacks*>(nullptr),
        static_cast<const CustomCipherCallbacks*>(&encryptOnly)}) {
    SCOPED_TRACE(events == nullptr ? "no events" : "encrypt event only");
    auto cipher = MakeCipher(ecCustom256, password, 0, events);
    ASSERT_TRUE(cipher);
    Bytes data = Payload(32);
    EXPECT_EQ(cipher->Encipher(data.data(), 32, 1, 1),
              events == nullptr ? errNoEncryptionHandlers : 0);
    EXPECT_EQ(cipher->Decipher(data.data(), 32, 1, 1), errNoEncryptionHandlers);
    CheckValueBytes value;
    EXPECT_EQ(CheckValue(ecCustom256, password, 0, 1, events, value), errNoEncryptionHandlers);
    bool valid = true;
    std::uint32_t variant = 0;
    EXPECT_EQ(CheckPassword(ecCustom256, password, stored, 1, events, valid, variant),
              errNoEncryptionHandlers);
    EXPECT_FALSE(valid);
  }
  EXPECT_EQ(recorder.calls, 1);  // the one event that was there
}

// ------------------------------------------------------------ secret bytes

TEST(SecretBytes, OwnsIndependentCopiesAndEmptiesWhenMovedOrCleared) {
  const Bytes secret = Utf16Password("hunter2");
  SecretBytes a(secret);
  EXPECT_TRUE(a.Equals(secret));
  EXPECT_FALSE(a.Equals(Prefix(secret, 13)));
  EXPECT_FALSE(a.Equals(Utf16Password("hunter3")));

  SecretBytes copy = a;
  EXPECT_NE(copy.data(), a.data());
  EXPECT_TRUE(copy.Equals(secret));

  SecretBytes moved = std::move(a);
  EXPECT_TRUE(moved.Equals(secret));
  EXPECT_TRUE(a.empty());  // a move leaves no second copy behind
  EXPECT_EQ(a.data(), nullptr);

  copy.Assign(copy.span().first(4));  // from its own bytes
  EXPECT_TRUE(copy.Equals(Prefix(secret, 4)));
  copy = moved;
  EXPECT_TRUE(copy.Equals(secret));
  copy.Clear();
  EXPECT_TRUE(copy.empty());
  EXPECT_TRUE(copy.Equals({}));
  EXPECT_TRUE(moved.Equals(secret));
}

// --------------------------------------------------------- with a volume

// The key plugs into page I/O: an enciphered page reaches the host file with
// its header in plain text and its payload enciphered under (PageSize, page
// number), and reads back as written.
TEST(PageCipher, ServesAsTheVolumeStorageKey) {
  using namespace layout;
  testing::MemoryHostFiles files;
  Volume volume;
  ASSERT_EQ(volume.SetHostFileCallbacks(files.Callbacks()), 0);
  ASSERT_EQ(volume.SetUseTransactions(false), 0);
  ASSERT_EQ(volume.Create(u"c.vfs", false, 4096, u""), 0);
  const Bytes password = Utf16Password("tobel5931");
  auto key = MakeCipher(ecAES256_HMAC256, password);
  ASSERT_TRUE(key);
  volume.ReadKey = key;
  volume.WriteKey = key;

  PageRef page;
  ASSERT_EQ(volume.AllocateNewPage(DataPage, nullptr, page), 0);
  const std::uint32_t n = page->PageNumber;
  EngineResult released = 0;
  page.Release(released);
  ASSERT_EQ(released, 0);

  Bytes image = Payload(4096, 3);
  StoreU16(image.data() + kPageType, DataPage);
  StoreU32(image.data() + kPageNumber, n);
  StoreU32(image.data() + kOwnerId, 100);
  ASSERT_EQ(volume.WritePage(n, image.data()), 0);

  const Bytes file = files.Contents(u"c.vfs");
  const std::size_t at = (std::size_t{volume.VolumeStart} + n) * 4096;
  ASSERT_GE(file.size(), at + 4096);
  const Bytes stored(file.begin() + at, file.begin() + at + 4096);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + kPageHeaderSize, stored.begin()));
  const Bytes payload(image.begin() + kPageHeaderSize, image.end());
  EXPECT_EQ(Bytes(stored.begin() + kPageHeaderSize, stored.end()),
            Enciphered(*MakeCipher(ecAES256_HMAC256, password), payload, 4096, n));

  Bytes readBack(4096);
  ASSERT_EQ(volume.ReadPage(n, readBack.data()), 0);
  EXPECT_EQ(readBack, image);
  volume.ReadKey.reset();
  volume.WriteKey.reset();
  EXPECT_EQ(volume.Close(), 0);
}

}  // namespace
}  // namespace vaultfs

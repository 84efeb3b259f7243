// Hardened recovery escrow: the escrow text round-trips through the private
// key, its blocks are standard RSA-OAEP with SHA-256 for the hash and the
// mask that OpenSSL reads back on its own, and wrong keys, damaged texts and
// unusable key files are refused.
//
// The fixtures are a TEST key pair (3072 bits) that protects nothing.
#include "korvane/forms/hardened_escrow.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "korvane/forms/openssl_holders.h"
#include "escrow_test_support.h"

namespace korvane {
namespace {

using namespace escrow_test;
using openssl::BigNum;
using openssl::Pkey;
using openssl::PkeyCtx;

constexpr std::size_t kCipherBlockBytes = 384;
constexpr std::size_t kBlockBytes = kHardenedEscrowBlockBytes;

// One OAEP decryption by OpenSSL alone, with the given digests (null: its
// default) for the label hash and the mask.
bool OaepDecrypt(EVP_PKEY* key, const EVP_MD* digest, const EVP_MD* maskDigest,
                 const std::string& cipher, std::string& plain) {
  PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      (digest != nullptr && EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), digest) != 1) ||
      (maskDigest != nullptr && EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), maskDigest) != 1)) {
    return false;
  }
  plain.assign(kCipherBlockBytes, '\0');
  std::size_t length = plain.size();
  if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &length,
                       reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()) != 1) {
    return false;
  }
  plain.resize(length);
  return true;
}

// A public key with `key`'s modulus and another exponent.
std::string PublicPemWithExponent(EVP_PKEY* key, unsigned long exponent) {
  BIGNUM* modulus = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &modulus), 1);
  const BigNum modulusOwner(modulus);
  const BigNum exponentNumber(BN_new());
  EXPECT_EQ(BN_set_word(exponentNumber.get(), exponent), 1);
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  EXPECT_EQ(OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, modulus), 1);
  EXPECT_EQ(OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, exponentNumber.get()), 1);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
  OSSL_PARAM_BLD_free(builder);
  const PkeyCtx context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* made = nullptr;
  EXPECT_EQ(EVP_PKEY_fromdata_init(context.get()), 1);
  EXPECT_EQ(EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params), 1);
  OSSL_PARAM_free(params);
  const Pkey madeOwner(made);
  return PublicPem(made);
}

class HardenedEscrowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    publicPem_ = Fixture("hardened-test-public-key.pem");
    privatePem_ = Fixture("hardened-test-private-key.pem");
    privateKey_ = ReadPrivateKey(privatePem_);
    ASSERT_TRUE(privateKey_);
  }

  std::string Encrypted(const std::string& password) {
    std::string escrow = EncryptPasswordForHardenedRecovery(password, publicPem_);
    EXPECT_FALSE(escrow.empty());
    return escrow;
  }

  std::string Decrypted(const std::string& escrow) {
    std::string password;
    std::string error;
    EXPECT_TRUE(DecryptHardenedRecoveryText(escrow, privatePem_, password, error)) << error;
    return password;
  }

  std::string publicPem_;
  std::string privatePem_;
  Pkey privateKey_;
};

TEST_F(HardenedEscrowTest, EscrowTextLengthAndRoundTrip) {
  struct Case {
    std::string password;
    std::size_t escrowLength;
  };
  const Case cases[] = {
      {"", 512},
      {"secret", 512},
      {"P\xC3\xA4ssw\xC3\xB6rd \xE5\xAF\x86\xE7\xA0\x81", 512},
      {std::string("\0\0\0", 3), 512},
      {PatternBytes(kBlockBytes), 512},
      {PatternBytes(kBlockBytes + 1), 1024},
      {PatternBytes(2 * kBlockBytes), 1024},
      {PatternBytes(2 * kBlockBytes + 1), 1536},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE("password of " + std::to_string(testCase.password.size()) + " bytes");
    const std::string escrow = Encrypted(testCase.password);
    EXPECT_EQ(escrow.size(), testCase.escrowLength);
    EXPECT_EQ(escrow.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
              std::string::npos);
    EXPECT_EQ(Decrypted(escrow), testCase.password);
  }
}

TEST_F(HardenedEscrowTest, EncryptionsOfOnePasswordDiffer) {
  const std::string first = Encrypted("secret");
  const std::string second = Encrypted("secret");
  EXPECT_NE(first, second);
  EXPECT_EQ(Decrypted(first), "secret");
  EXPECT_EQ(Decrypted(second), "secret");
}

// Every block is what OpenSSL's own OAEP decryption reads with SHA-256 for
// both digests, holding the password's next 318 bytes; with any other
// digest pair (OpenSSL's default SHA-1 among them) it does not decrypt.
TEST_F(HardenedEscrowTest, BlocksAreStandardOaepWithSha256) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{5}, kBlockBytes, kBlockBytes + 1, std::size_t{700}}) {
    SCOPED_TRACE("password of " + std::to_string(length) + " bytes");
    const std::string password = PatternBytes(length);
    const std::string cipher = Base64Decode(Encrypted(password));
    ASSERT_EQ(cipher.size(), kCipherBlockBytes * std::max<std::size_t>(
                                                     1, (length + kBlockBytes - 1) / kBlockBytes));
    std::string joined;
    for (std::size_t offset = 0; offset < cipher.size(); offset += kCipherBlockBytes) {
      const std::string block = cipher.substr(offset, kCipherBlockBytes);
      std::string message;
      ASSERT_TRUE(OaepDecrypt(privateKey_.get(), EVP_sha256(), EVP_sha256(), block, message));
      EXPECT_EQ(message, password.substr(offset / kCipherBlockBytes * kBlockBytes, kBlockBytes));
      joined += message;

      std::string ignored;
      EXPECT_FALSE(OaepDecrypt(privateKey_.get(), nullptr, nullptr, block, ignored));
      EXPECT_FALSE(OaepDecrypt(privateKey_.get(), EVP_sha256(), EVP_sha1(), block, ignored));
      EXPECT_FALSE(OaepDecrypt(privateKey_.get(), EVP_sha1(), EVP_sha256(), block, ignored));
    }
    EXPECT_EQ(joined, password);
  }
}

TEST_F(HardenedEscrowTest, DamagedTextIsRefused) {
  const std::string good = Encrypted(PatternBytes(kBlockBytes + 1));  // two blocks
  ASSERT_EQ(good.size(), 1024u);
  auto withCharacter = [&](std::size_t index, char character) {
    std::string text = good;
    text[index] = character;
    return text;
  };
  const std::string cipher = Base64Decode(good);
  const std::string firstBlock = cipher.substr(0, kCipherBlockBytes);
  const std::string secondBlock = cipher.substr(kCipherBlockBytes);
  const std::string classicEscrow = TrimmedLine(Fixture("escrow-text.txt"));

  struct Case {
    const char* what;
    std::string text;
    const char* errorMentions;
  };
  const Case cases[] = {
      {"empty", "", "empty"},
      {"one character changed", withCharacter(100, good[100] == 'A' ? 'B' : 'A'), "block 1 of 2"},
      {"last block changed", withCharacter(900, good[900] == 'A' ? 'B' : 'A'), "block 2 of 2"},
      {"not Base64", withCharacter(10, '*'), "Base64"},
      {"four characters short", good.substr(0, good.size() - 4), "whole number"},
      {"half a block more", good + good.substr(0, 256), "whole number"},
      {"a classic escrow text", classicEscrow, "whole number"},
      {"blocks swapped", Base64Encode(secondBlock + firstBlock), "short"},
      {"all bits set", Base64Encode(std::string(kCipherBlockBytes, '\xFF')), "block 1 of 1"},
      {"all zero", Base64Encode(std::string(kCipherBlockBytes, '\0')), "block 1 of 1"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    std::string password = "stale";
    std::string error;
    EXPECT_FALSE(DecryptHardenedRecoveryText(testCase.text, privatePem_, password, error));
    EXPECT_NE(error.find(testCase.errorMentions), std::string::npos) << error;
    EXPECT_TRUE(password.empty());
  }
}

TEST_F(HardenedEscrowTest, WrongOrUnusablePrivateKeyIsRefused) {
  const std::string escrow = Encrypted("secret");
  const Pkey otherKey = GenerateRsa(kHardenedEscrowKeyBits);
  ASSERT_TRUE(otherKey);
  struct Case {
    const char* what;
    std::string pem;
    const char* errorMentions;
  };
  const Case cases[] = {
      {"another 3072-bit key", PrivatePem(otherKey.get()), "wrong key"},
      {"the classic 1024-bit test key", Fixture("test-private-key.pem"), "3072-bit"},
      {"the public key", publicPem_, "cannot be read"},
      {"no key", "hello", "cannot be read"},
      {"passphrase-protected", PrivatePem(privateKey_.get(), EVP_aes_256_cbc(), "pass phrase"),
       "passphrase"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    std::string password = "stale";
    std::string error;
    EXPECT_FALSE(DecryptHardenedRecoveryText(escrow, testCase.pem, password, error));
    EXPECT_NE(error.find(testCase.errorMentions), std::string::npos) << error;
    EXPECT_TRUE(password.empty());
  }
}

// Only sound RSA public keys of 3072 bits are escrowed to; for any other
// key the escrow is not made at all. Exponent 1 would leave every block
// readable without the private key.
TEST_F(HardenedEscrowTest, OnlySound3072BitPublicKeysAreTaken) {
  EXPECT_TRUE(IsHardenedRecoveryKey(publicPem_));
  EXPECT_TRUE(IsHardenedRecoveryKey("Recovery key of Example Ltd.\n" + publicPem_ + "-- end --\n"));

  const Pkey elliptic(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  ASSERT_TRUE(elliptic);
  struct Case {
    const char* what;
    std::string pem;
  };
  const Case cases[] = {
      {"empty", ""},
      {"not a key", "-----BEGIN PUBLIC KEY-----\nnot base64\n-----END PUBLIC KEY-----\n"},
      {"cut short", publicPem_.substr(0, publicPem_.size() / 2)},
      {"the private key", privatePem_},
      {"a 1024-bit key", Fixture("test-public-key.pem")},
      {"an elliptic curve key", PublicPem(elliptic.get())},
      {"exponent 1", PublicPemWithExponent(privateKey_.get(), 1)},
      {"an even exponent", PublicPemWithExponent(privateKey_.get(), 65536)},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    EXPECT_FALSE(IsHardenedRecoveryKey(testCase.pem));
    EXPECT_EQ(EncryptPasswordForHardenedRecovery("secret", testCase.pem), "");
  }
}

TEST_F(HardenedEscrowTest, BuiltInKeyIsTheMakersOwn) {
  const std::string builtIn = BuiltInHardenedRecoveryKey();
  EXPECT_TRUE(IsHardenedRecoveryKey(builtIn));
  EXPECT_NE(builtIn, publicPem_);  // not the test key by mistake
  EXPECT_EQ(EncryptPasswordForHardenedRecovery("secret", builtIn).size(), 512u);
  std::string password;
  std::string error;
  EXPECT_FALSE(DecryptHardenedRecoveryText(EncryptPasswordForHardenedRecovery("secret", builtIn),
                                           privatePem_, password, error));
}

TEST_F(ConfigHomeTest, LoadHardenedRecoveryKeyPrefersTheUsersKeyAndSkipsUnusableFiles) {
  const fs::path keyPath = home_ / "korvane" / "hardened-recovery-key.pem";
  const bool systemKey = fs::exists("/etc/korvane/hardened-recovery-key.pem");
  auto expectFallenBack = [&](const char* what) {
    SCOPED_TRACE(what);
    std::string source;
    const std::string key = LoadHardenedRecoveryKey(&source);
    EXPECT_NE(source, keyPath.string());
    EXPECT_TRUE(IsHardenedRecoveryKey(key));
    if (!systemKey) {
      EXPECT_EQ(source, "built-in");
      EXPECT_EQ(key, BuiltInHardenedRecoveryKey());
    }
  };
  const std::string testKey = Fixture("hardened-test-public-key.pem");

  expectFallenBack("no file");
  Write("recovery-key.pem", testKey);
  expectFallenBack("the key under the classic kind's name");
  Write("hardened-recovery-key.pem", "this is not a key\n");
  expectFallenBack("not a key");
  Write("hardened-recovery-key.pem", Fixture("test-public-key.pem"));
  expectFallenBack("a 1024-bit key");
  fs::remove(keyPath);
  fs::create_directory(keyPath);
  expectFallenBack("a folder");
  fs::remove(keyPath);
  ASSERT_EQ(mkfifo(keyPath.c_str(), 0600), 0);
  expectFallenBack("a FIFO with no writer");  // must not hang
  fs::remove(keyPath);

  Write("hardened-recovery-key.pem", testKey);
  std::string source;
  EXPECT_EQ(LoadHardenedRecoveryKey(&source), testKey);
  EXPECT_EQ(source, keyPath.string());
  EXPECT_EQ(LoadHardenedRecoveryKey(), testKey);  // source is optional
}

}  // namespace
}  // namespace korvane

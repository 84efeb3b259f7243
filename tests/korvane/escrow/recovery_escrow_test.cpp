// Recovery escrow: the escrow text round-trips through the private key, is
// standard RSAES-PKCS1-v1_5 once both byte orders are turned around, and
// every damaged text, wrong key or unusable key file is refused.
//
// The fixtures are a TEST key pair (1024 bits, exponent 769) that protects
// nothing, and an escrow text made with it together with its password.
#include "korvane/forms/recovery_escrow.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "korvane/forms/openssl_holders.h"
#include "escrow_test_support.h"

namespace korvane {
namespace {

using namespace escrow_test;

constexpr std::size_t kBlockBytes = 128;
constexpr std::size_t kMessageBytes = 117;

using openssl::Bio;
using openssl::Pkey;
using openssl::PkeyCtx;

// One RSA private-key operation on 128 big-endian bytes with the given padding.
bool RsaDecrypt(EVP_PKEY* key, int padding, const std::string& cipher, std::string& plain) {
  PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), padding) != 1) {
    return false;
  }
  plain.assign(kBlockBytes, '\0');
  std::size_t length = plain.size();
  if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &length,
                       reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()) != 1) {
    return false;
  }
  plain.resize(length);
  return true;
}

// One raw RSA public-key operation on 128 big-endian bytes (no padding added).
std::string RsaEncryptRaw(EVP_PKEY* key, const std::string& block) {
  PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  std::string cipher(kBlockBytes, '\0');
  std::size_t length = cipher.size();
  const bool ok =
      context && EVP_PKEY_encrypt_init(context.get()) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) == 1 &&
      EVP_PKEY_encrypt(context.get(), reinterpret_cast<unsigned char*>(cipher.data()), &length,
                       reinterpret_cast<const unsigned char*>(block.data()), block.size()) == 1;
  EXPECT_TRUE(ok && length == kBlockBytes);
  return cipher;
}

std::string Reversed(std::string text) {
  std::reverse(text.begin(), text.end());
  return text;
}

std::string AllByteValues() {
  std::string bytes(256, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i);
  return bytes;
}

class RecoveryEscrowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    privatePem_ = Fixture("test-private-key.pem");
    privateKey_ = ReadPrivateKey(privatePem_);
    ASSERT_TRUE(privateKey_);
    ASSERT_TRUE(PemToRecoveryKey(Fixture("test-public-key.pem"), publicKey_));
  }

  std::string Decrypted(const std::string& escrow) {
    std::string password;
    std::string error;
    EXPECT_TRUE(DecryptRecoveryText(escrow, privatePem_, password, error)) << error;
    return password;
  }

  std::string privatePem_;
  Pkey privateKey_;
  RecoveryPublicKey publicKey_;
};

TEST_F(RecoveryEscrowTest, EscrowTextLengthAndRoundTrip) {
  struct Case {
    std::string password;
    std::size_t escrowLength;
  };
  const Case cases[] = {
      {"", 172},
      {"x", 172},
      {PatternBytes(117), 172},
      {PatternBytes(118), 344},
      {PatternBytes(234), 344},
      {PatternBytes(235), 512},
      {AllByteValues(), 512},
      {std::string("\0\0\0", 3), 172},
      {"P\xC3\xA4ssw\xC3\xB6rd \xE5\xAF\x86\xE7\xA0\x81", 172},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE("password of " + std::to_string(testCase.password.size()) + " bytes");
    const std::string escrow =
        EncryptPasswordForRecovery(testCase.password, "FALLBACK", publicKey_);
    EXPECT_EQ(escrow.size(), testCase.escrowLength);
    EXPECT_EQ(escrow.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Decrypted(escrow), testCase.password);
  }
}

TEST_F(RecoveryEscrowTest, EncryptionsOfOnePasswordDiffer) {
  const std::string first = EncryptPasswordForRecovery("secret", "FALLBACK", publicKey_);
  const std::string second = EncryptPasswordForRecovery("secret", "FALLBACK", publicKey_);
  EXPECT_NE(first, second);
  EXPECT_EQ(Decrypted(first), "secret");
  EXPECT_EQ(Decrypted(second), "secret");
}

// Each block, read most significant byte first, must be 00 02, filler bytes
// from 1 to 253 (125 - k of them), 00, then the k message bytes reversed; and
// OpenSSL's own PKCS#1 v1.5 decryption must accept it.
TEST_F(RecoveryEscrowTest, BlocksAreStandardPkcs1WithBothByteOrdersReversed) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{5}, kMessageBytes, std::size_t{150}}) {
    SCOPED_TRACE("password of " + std::to_string(length) + " bytes");
    const std::string password = PatternBytes(length);
    const std::string cipher =
        Base64Decode(EncryptPasswordForRecovery(password, "FALLBACK", publicKey_));
    ASSERT_EQ(cipher.size() % kBlockBytes, 0u);
    ASSERT_EQ(cipher.size() / kBlockBytes, std::max<std::size_t>(1, (length + 116) / 117));
    std::string joined;
    for (std::size_t offset = 0; offset < cipher.size(); offset += kBlockBytes) {
      const std::string bigEndian = Reversed(cipher.substr(offset, kBlockBytes));
      const std::string block =
          password.substr(offset / kBlockBytes * kMessageBytes, kMessageBytes);

      std::string padded;
      ASSERT_TRUE(RsaDecrypt(privateKey_.get(), RSA_NO_PADDING, bigEndian, padded));
      ASSERT_EQ(padded.size(), kBlockBytes);
      const std::size_t fillerLength = 125 - block.size();
      EXPECT_EQ(padded[0], '\x00');
      EXPECT_EQ(padded[1], '\x02');
      for (std::size_t i = 2; i < 2 + fillerLength; ++i) {
        const auto filler = static_cast<unsigned char>(padded[i]);
        EXPECT_TRUE(filler >= 1 && filler <= 253) << "filler byte " << int{filler} << " at " << i;
      }
      EXPECT_EQ(padded[2 + fillerLength], '\x00');
      EXPECT_EQ(padded.substr(3 + fillerLength), Reversed(block));

      std::string message;
      ASSERT_TRUE(RsaDecrypt(privateKey_.get(), RSA_PKCS1_PADDING, bigEndian, message));
      joined += Reversed(message);
    }
    EXPECT_EQ(joined, password);
  }
}

// An escrow text issued earlier must keep decrypting to the same password.
TEST_F(RecoveryEscrowTest, DecryptsIssuedEscrowText) {
  EXPECT_EQ(Decrypted(TrimmedLine(Fixture("escrow-text.txt"))), Fixture("escrow-password.bin"));
}

TEST_F(RecoveryEscrowTest, MalformedKeyGivesFallback) {
  const std::string modulus = publicKey_.ModulusHex;
  std::string evenModulus = modulus;
  evenModulus[1] = '0';  // lowest byte 0xX0: an even number cannot be an RSA modulus
  const RecoveryPublicKey keys[] = {
      {"", ""},
      {"", publicKey_.ExponentHex},
      {modulus, ""},
      {"not hexadecimal at all", publicKey_.ExponentHex},
      {modulus.substr(0, 254), publicKey_.ExponentHex},  // 1016 bits: would lose message bytes
      {evenModulus, publicKey_.ExponentHex},
      {modulus, "01"},  // exponent 1 leaves the password in clear
      {modulus, "00"},
      {modulus, "0201"},   // even exponent
      {modulus, modulus},  // exponent not below the modulus
  };
  for (const RecoveryPublicKey& key : keys) {
    SCOPED_TRACE("modulus '" + key.ModulusHex + "' exponent '" + key.ExponentHex + "'");
    EXPECT_EQ(EncryptPasswordForRecovery("secret", "FALLBACK", key), "FALLBACK");
  }
}

// Digit pairs, least significant byte first; other characters skipped; at
// most 128 bytes; high zero bytes make no difference.
TEST_F(RecoveryEscrowTest, KeyTextConvention) {
  EXPECT_EQ(publicKey_.ExponentHex, "0103");  // 769 = 0x0301, low byte first
  EXPECT_EQ(publicKey_.ModulusHex.size(), 256u);

  std::string spacedLower;
  for (std::size_t i = 0; i < publicKey_.ModulusHex.size(); i += 2) {
    spacedLower += static_cast<char>(std::tolower(publicKey_.ModulusHex[i]));
    spacedLower += static_cast<char>(std::tolower(publicKey_.ModulusHex[i + 1]));
    spacedLower += i % 32 == 30 ? "\n" : ":";
  }
  const RecoveryPublicKey variants[] = {
      {spacedLower, "01 03"},
      {publicKey_.ModulusHex + "FF", "010300000000"},  // a 129th byte is not read
  };
  for (const RecoveryPublicKey& key : variants) {
    SCOPED_TRACE("modulus '" + key.ModulusHex + "' exponent '" + key.ExponentHex + "'");
    EXPECT_EQ(Decrypted(EncryptPasswordForRecovery("secret", "FALLBACK", key)), "secret");
  }

  // The exponent read with the wrong byte order (0x0103) would be a
  // different key: what it makes does not decrypt.
  std::string password;
  std::string error;
  const std::string wrongOrder =
      EncryptPasswordForRecovery("secret", "FALLBACK", {publicKey_.ModulusHex, "0301"});
  EXPECT_FALSE(DecryptRecoveryText(wrongOrder, privatePem_, password, error));
}

TEST_F(RecoveryEscrowTest, BuiltInKeyIsTheShippedPublicKey) {
  const std::string shipped = ReadBytes(kSourceDir / "../../../packaging/recovery-key.pem");
  ASSERT_FALSE(shipped.empty());
  RecoveryPublicKey fromPem;
  ASSERT_TRUE(PemToRecoveryKey(shipped, fromPem));
  const RecoveryPublicKey builtIn = BuiltInRecoveryKey();
  EXPECT_EQ(builtIn.ModulusHex, fromPem.ModulusHex);
  EXPECT_EQ(builtIn.ExponentHex, fromPem.ExponentHex);
  EXPECT_NE(EncryptPasswordForRecovery("secret", "FALLBACK", builtIn), "FALLBACK");
}

TEST_F(RecoveryEscrowTest, PemToRecoveryKeyTakesOnlyRsa1024PublicKeys) {
  RecoveryPublicKey bareRsa;
  ASSERT_TRUE(PemToRecoveryKey(Fixture("test-public-key-rsa.pem"), bareRsa));
  EXPECT_EQ(bareRsa.ModulusHex, publicKey_.ModulusHex);
  EXPECT_EQ(bareRsa.ExponentHex, publicKey_.ExponentHex);
  RecoveryPublicKey withText;
  ASSERT_TRUE(PemToRecoveryKey(
      "Recovery key of Example Ltd.\n" + Fixture("test-public-key.pem") + "\n-- end --\n",
      withText));
  EXPECT_EQ(withText.ModulusHex, publicKey_.ModulusHex);

  const Pkey small = GenerateRsa(512);
  const Pkey elliptic(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  ASSERT_TRUE(small && elliptic);
  const std::string publicPem = Fixture("test-public-key.pem");
  const std::string rejected[] = {
      "",
      "-----BEGIN PUBLIC KEY-----\nnot base64\n-----END PUBLIC KEY-----\n",
      publicPem.substr(0, publicPem.size() / 2),
      privatePem_,
      PublicPem(small.get()),
      PublicPem(elliptic.get()),
  };
  for (const std::string& pem : rejected) {
    SCOPED_TRACE(pem);
    RecoveryPublicKey key{"untouched", "untouched"};
    EXPECT_FALSE(PemToRecoveryKey(pem, key));
    EXPECT_EQ(key.ModulusHex, "untouched");
  }
}

TEST_F(RecoveryEscrowTest, DamagedTextIsRefused) {
  const std::string good = TrimmedLine(Fixture("escrow-text.txt"));  // two blocks
  ASSERT_EQ(good.size(), 344u);
  auto withCharacter = [&](std::size_t index, char character) {
    std::string text = good;
    text[index] = character;
    return text;
  };
  // The last character before "==" carries 2 bits of the bytes and 4 unused
  // bits; setting the unused ones keeps the bytes but is not our text.
  const std::size_t lastData = good.size() - 3;
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char unusedBitsSet = alphabet[alphabet.find(good[lastData]) + 1];
  const std::string cipher = Base64Decode(good);
  const std::string firstBlock = cipher.substr(0, kBlockBytes);
  const std::string secondBlock = cipher.substr(kBlockBytes);
  auto encode = [](const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(text.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
    return text;
  };

  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"empty", ""},
      {"one character changed", withCharacter(100, good[100] == 'A' ? 'B' : 'A')},
      {"not Base64", withCharacter(10, '*')},
      {"space inside", withCharacter(10, ' ')},
      {"four characters short", good.substr(0, good.size() - 4)},
      {"not whole blocks", good.substr(0, good.size() - 4) + "AAAAAAAA"},
      {"unused bits set", withCharacter(lastData, unusedBitsSet)},
      {"blocks swapped", encode(secondBlock + firstBlock)},
      {"all bits set", encode(std::string(kBlockBytes, '\xFF'))},
      {"all zero", encode(std::string(kBlockBytes, '\0'))},
  };
  for (const auto& [what, text] : damaged) {
    SCOPED_TRACE(what);
    std::string password = "stale";
    std::string error;
    EXPECT_FALSE(DecryptRecoveryText(text, privatePem_, password, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(password.empty());
  }
}

// Blocks padded by hand (big-endian layout, then turned into escrow text the
// way the program writes it): only 00 02, at least 8 nonzero filler bytes
// and a 00 separator make a block.
TEST_F(RecoveryEscrowTest, PaddingIsCheckedExactly) {
  auto escrowOf = [&](const std::string& padded) {
    const std::string cipher = Reversed(RsaEncryptRaw(privateKey_.get(), padded));
    std::string text(4 * ((cipher.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(text.data()),
        reinterpret_cast<const unsigned char*>(cipher.data()), static_cast<int>(cipher.size()))));
    return text;
  };
  auto padded = [](char lead, char type, std::size_t fillerLength, bool separator) {
    std::string block{lead, type};
    block += std::string(fillerLength, '\x7F');
    if (separator) block += '\0';
    block += std::string(kBlockBytes - block.size(), 'm');
    return block;
  };

  std::string password;
  std::string error;
  // The least filler there may be: 8 bytes before 117 message bytes.
  ASSERT_TRUE(DecryptRecoveryText(escrowOf(padded(0, 2, 8, true)), privatePem_, password, error))
      << error;
  EXPECT_EQ(password, std::string(kMessageBytes, 'm'));

  struct Case {
    const char* what;
    std::string block;
  };
  const Case cases[] = {
      {"7 filler bytes", padded(0, 2, 7, true)},  {"no filler", padded(0, 2, 0, true)},
      {"no separator", padded(0, 2, 126, false)}, {"block type 1", padded(0, 1, 8, true)},
      {"block type 0", padded(0, 0, 8, true)},    {"top byte not zero", padded(1, 2, 8, true)},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    password = "stale";
    EXPECT_FALSE(DecryptRecoveryText(escrowOf(testCase.block), privatePem_, password, error));
    EXPECT_NE(error.find("block 1 of 1"), std::string::npos) << error;
    EXPECT_TRUE(password.empty());
  }
}

TEST_F(RecoveryEscrowTest, WrongOrUnusablePrivateKeyIsRefused) {
  const std::string escrow = TrimmedLine(Fixture("escrow-text.txt"));
  const Pkey otherKey = GenerateRsa(1024);
  const Pkey largerKey = GenerateRsa(2048);
  ASSERT_TRUE(otherKey && largerKey);
  struct Case {
    const char* what;
    std::string pem;
    const char* errorMentions;
  };
  const Case cases[] = {
      {"another 1024-bit key", PrivatePem(otherKey.get()), "wrong key"},
      {"a 2048-bit key", PrivatePem(largerKey.get()), "1024-bit"},
      {"a public key", Fixture("test-public-key.pem"), "cannot be read"},
      {"no key", "hello", "cannot be read"},
      {"passphrase-protected", PrivatePem(privateKey_.get(), EVP_aes_256_cbc(), "pass phrase"),
       "passphrase"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    std::string password = "stale";
    std::string error;
    EXPECT_FALSE(DecryptRecoveryText(escrow, testCase.pem, password, error));
    EXPECT_NE(error.find(testCase.errorMentions), std::string::npos) << error;
    EXPECT_TRUE(password.empty());
  }
}

TEST(ExtractEscrowTextTest, FindsTheTextInRequestsAndBareInput) {
  const std::string escrow = "uQDh+dTq6/Hh69H2==";
  auto request = [&](const std::string& lineBreak, const std::string& escrowLines) {
    return "Please recover lost or forgotten password to my personal Korvane Folder." + lineBreak +
           "Folder password cipher text is " + lineBreak + escrowLines + lineBreak + lineBreak +
           "Thanks" + lineBreak + "I have read and agree to the terms." + lineBreak;
  };
  struct Case {
    const char* what;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"bare text", escrow, escrow},
      {"bare text with blanks and line breaks", "  uQDh+dTq\r\n6/Hh69H2==\n", escrow},
      {"request with \\n", request("\n", escrow), escrow},
      {"request with \\r\\n", request("\r\n", escrow), escrow},
      {"request with \\r", request("\r", escrow), escrow},
      {"escrow line with trailing blanks", request("\n", escrow + "  \t"), escrow},
      {"escrow line wrapped by a mail program", request("\r\n", "uQDh+dTq6/\r\nHh69H2=="), escrow},
      {"quoted mail", "> Folder password cipher text is \n> " + escrow + "\n>\n> I agree.\n",
       escrow},
      {"marker on the last line", "Folder password cipher text is ", ""},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    EXPECT_EQ(ExtractEscrowText(testCase.input), testCase.expected);
  }
}

TEST_F(ConfigHomeTest, LoadRecoveryKeyPrefersTheUsersKeyAndSkipsUnusableFiles) {
  const fs::path keyPath = home_ / "korvane" / "recovery-key.pem";
  const bool systemKey = fs::exists("/etc/korvane/recovery-key.pem");
  auto expectFallenBack = [&](const char* what) {
    SCOPED_TRACE(what);
    std::string source;
    const RecoveryPublicKey key = LoadRecoveryKey(&source);
    EXPECT_NE(source, keyPath.string());
    if (!systemKey) {
      EXPECT_EQ(source, "built-in");
      EXPECT_EQ(key.ModulusHex, BuiltInRecoveryKey().ModulusHex);
    }
  };

  expectFallenBack("no file");
  Write("recovery-key.pem", "this is not a key\n");
  expectFallenBack("not a key");
  const Pkey small = GenerateRsa(512);
  ASSERT_TRUE(small);
  Write("recovery-key.pem", PublicPem(small.get()));
  expectFallenBack("a 512-bit key");
  fs::remove(keyPath);
  fs::create_directory(keyPath);
  expectFallenBack("a folder");
  fs::remove(keyPath);
  ASSERT_EQ(mkfifo(keyPath.c_str(), 0600), 0);
  expectFallenBack("a FIFO with no writer");  // must not hang
  fs::remove(keyPath);

  const std::string publicPem = Fixture("test-public-key-rsa.pem");
  Write("recovery-key.pem", publicPem);
  std::string source;
  const RecoveryPublicKey key = LoadRecoveryKey(&source);
  EXPECT_EQ(source, keyPath.string());
  RecoveryPublicKey expected;
  ASSERT_TRUE(PemToRecoveryKey(publicPem, expected));
  EXPECT_EQ(key.ModulusHex, expected.ModulusHex);
  EXPECT_EQ(key.ExponentHex, expected.ExponentHex);
  EXPECT_EQ(LoadRecoveryKey().ModulusHex, expected.ModulusHex);  // source is optional
}

TEST_F(ConfigHomeTest, SupportAddressComesFromTheRecoverySection) {
  const bool systemSettings = fs::exists("/etc/korvane/korvane.conf");
  if (!systemSettings) {
    EXPECT_STREQ(SupportAddress().c_str(), kDefaultSupportAddress);
  }
  Write("korvane.conf", "[Update]\nSupportAddress=wrong@example.org\n");
  if (!systemSettings) {
    EXPECT_STREQ(SupportAddress().c_str(), kDefaultSupportAddress);
  }
  Write("korvane.conf",
        "[Update]\nLastCheck=45000\n\n[Recovery]\nSupportAddress=help@corp.example\n");
  EXPECT_EQ(SupportAddress(), "help@corp.example");
}

}  // namespace
}  // namespace korvane

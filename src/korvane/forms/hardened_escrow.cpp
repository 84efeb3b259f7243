// The hardened layout's recovery escrow: RSA-OAEP with SHA-256 (label hash
// and MGF1 mask alike, empty label) under a 3072-bit key, done wholly by
// OpenSSL's EVP_PKEY interface. Unlike the classic kind there is nothing of
// our own in the construction: a block is exactly what any standard OAEP
// implementation writes and reads, and the text is plain Base64 of the
// blocks. OAEP binds no block to its place, so the decrypting side insists
// that only the last block is short, which catches blocks out of order; a
// text cut after a whole block still decrypts, to the start of the password.
#include "korvane/forms/hardened_escrow.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "korvane/forms/escrow_common.h"
#include "korvane/forms/openssl_holders.h"
#include "korvane/platform/platform.h"

namespace korvane {
namespace {

using openssl::Pkey;
using openssl::PkeyCtx;

constexpr std::size_t kCipherBlockBytes = kHardenedEscrowKeyBits / 8;  // 384
static_assert(kHardenedEscrowBlockBytes == kCipherBlockBytes - 2 * 32 - 2);

constexpr const char* kOaepDigest = "SHA256";
constexpr std::string_view kKeyFileName = "hardened-recovery-key.pem";

// The maker's public key. Its private half never ships; it answers the
// recovery requests that reach the maker.
constexpr std::string_view kBuiltInKey = R"(-----BEGIN PUBLIC KEY-----
MIIBojANBgkqhkiG9w0BAQEFAAOCAY8AMIIBigKCAYEAnlGcQXURG/8pYIlnNjtC
sBol6QS/YQjonRPgGZYVJVQO0Y4eUcKa1hBCd5nbC4BKxRLA8XCtSC0QLe1n6YM+
Zp2bPm0Nvi7HmuhsVwbuoOuSW0qT1W9NMqZkDI4n1p/WBVHfihcGOMA6KEPdLOKG
+NgSJfsA9DbHeV3Abg8SmUYqn16lDijO0+RQxg6N2utvUKkKN7ELzMBxx3v0sQpp
cg918hW+KoH3vfprapAFRDt2UdcN/XIxsqnxFS18DCdWgawxCdB+2ASiON60rgz2
J2bpRDiHurFiOXFzaMIZC/bjvClOUHQQPLbCpX8cpk9CJoXB0yIuAoOhyOJZpuOP
ffhBB0pVRBxjFVCecc108XPae5ujer+TXX5xLf/WAxz13rsEV8z+2c1kDMPVCtVw
BCINOl/jpS6+ofUtO8VqpbaoSz1s35u0kZldLEyGLj53qy4Ocr+yfMemHnn4MfUU
tykQ/habl0/6I8lrfdpntR/0RK3CA0FCRj0oB35puUkhAgMBAAE=
-----END PUBLIC KEY-----
)";

using WipedBlock = escrow::WipedBlock<kCipherBlockBytes>;

bool IsHardenedKeySize(const EVP_PKEY* key) {
  return EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_get_bits(key) == kHardenedEscrowKeyBits;
}

// A key we may escrow to: RSA of 3072 bits that passes OpenSSL's validation
// of a public key (among other things an odd modulus and an odd exponent
// above 1). Without it a key file with exponent 1 would make blocks that
// anyone unmasks without the private key.
Pkey ReadHardenedPublicKey(const std::string& pem) {
  Pkey key = escrow::ReadPublicKeyPem(pem);
  if (!key || !IsHardenedKeySize(key.get())) return nullptr;
  const PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  const bool sound = check && EVP_PKEY_public_check(check.get()) == 1;
  ERR_clear_error();
  return sound ? std::move(key) : nullptr;
}

bool UseOaepSha256(EVP_PKEY_CTX* context) {
  return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) == 1 &&
         EVP_PKEY_CTX_set_rsa_oaep_md_name(context, kOaepDigest, nullptr) == 1 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md_name(context, kOaepDigest, nullptr) == 1;
}

}  // namespace

std::string BuiltInHardenedRecoveryKey() {
  return std::string(kBuiltInKey);
}

std::string LoadHardenedRecoveryKey(std::string* source) {
  const std::string candidates[] = {
      platform::ConfigHome() + "/korvane/" + std::string(kKeyFileName),
      std::string(escrow::kSystemConfigFolder) + "/" + std::string(kKeyFileName)};
  for (const std::string& path : candidates) {
    std::string pem;
    if (escrow::ReadSmallFile(path, pem) && IsHardenedRecoveryKey(pem)) {
      if (source != nullptr) *source = path;
      return pem;
    }
  }
  if (source != nullptr) *source = "built-in";
  return BuiltInHardenedRecoveryKey();
}

bool IsHardenedRecoveryKey(const std::string& pem) {
  return ReadHardenedPublicKey(pem) != nullptr;
}

std::string EncryptPasswordForHardenedRecovery(const std::string& password,
                                               const std::string& publicKeyPem) {
  const Pkey key = ReadHardenedPublicKey(publicKeyPem);
  if (!key) return {};
  const PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 || !UseOaepSha256(context.get())) {
    ERR_clear_error();
    return {};
  }

  const std::size_t blockCount = std::max<std::size_t>(
      1, (password.size() + kHardenedEscrowBlockBytes - 1) / kHardenedEscrowBlockBytes);
  std::string cipher(blockCount * kCipherBlockBytes, '\0');
  const auto* in = reinterpret_cast<const unsigned char*>(password.data());
  for (std::size_t block = 0; block < blockCount; ++block) {
    const std::size_t offset = block * kHardenedEscrowBlockBytes;
    const std::size_t length = std::min(kHardenedEscrowBlockBytes, password.size() - offset);
    auto* out = reinterpret_cast<unsigned char*>(cipher.data()) + block * kCipherBlockBytes;
    std::size_t written = kCipherBlockBytes;
    if (EVP_PKEY_encrypt(context.get(), out, &written, in + offset, length) != 1 ||
        written != kCipherBlockBytes) {
      ERR_clear_error();
      return {};
    }
  }
  return escrow::EncodeBase64(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size());
}

bool DecryptHardenedRecoveryText(const std::string& escrowText, const std::string& privateKeyPem,
                                 std::string& password, std::string& error) {
  escrow::WipeString(password);
  error.clear();
  auto fail = [&](std::string reason) {
    escrow::WipeString(password);
    error = std::move(reason);
    ERR_clear_error();
    return false;
  };

  std::string cipher;
  if (escrowText.empty()) return fail("the escrow text is empty");
  if (!escrow::DecodeBase64(escrowText, cipher)) {
    return fail("the escrow text is not valid Base64");
  }
  if (cipher.empty() || cipher.size() % kCipherBlockBytes != 0) {
    return fail("the escrow text is not a whole number of " + std::to_string(kCipherBlockBytes) +
                "-byte blocks (is it complete?)");
  }
  const std::size_t blockCount = cipher.size() / kCipherBlockBytes;

  std::string keyError;
  const Pkey privateKey = escrow::ReadPrivateKeyPem(privateKeyPem, keyError);
  if (!privateKey) return fail(keyError);
  if (!IsHardenedKeySize(privateKey.get())) {
    return fail("the private key is not a " + std::to_string(kHardenedEscrowKeyBits) +
                "-bit RSA key");
  }
  const PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey.get(), nullptr));
  if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 || !UseOaepSha256(context.get())) {
    return fail("the private key cannot be used for decryption");
  }

  // Reserved up front: appending never moves the bytes and leaves a copy.
  password.reserve(blockCount * kHardenedEscrowBlockBytes);
  WipedBlock plain;
  for (std::size_t block = 0; block < blockCount; ++block) {
    const std::string where =
        "block " + std::to_string(block + 1) + " of " + std::to_string(blockCount);
    const auto* in =
        reinterpret_cast<const unsigned char*>(cipher.data()) + block * kCipherBlockBytes;
    std::size_t length = plain.size();
    if (EVP_PKEY_decrypt(context.get(), plain.data(), &length, in, kCipherBlockBytes) != 1 ||
        length > kHardenedEscrowBlockBytes) {
      return fail(where + " cannot be decrypted with this key (wrong key, or the text is damaged)");
    }
    if (block + 1 < blockCount && length != kHardenedEscrowBlockBytes) {
      return fail(where + " is short (blocks out of order, or not an escrow text)");
    }
    password.append(reinterpret_cast<const char*>(plain.data()), length);
  }
  return true;
}

}  // namespace korvane

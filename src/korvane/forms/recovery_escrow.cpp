// Password recovery escrow. The construction is RSAES-PKCS1-v1_5 over a
// 1024-bit modulus with both byte orders turned around, which is the same as
// building the padded message and the cipher block as little-endian numbers:
// message bytes from the least significant end, then the 0x00 separator, the
// filler, 0x02 and 0x00 at the top. OpenSSL's little-endian BIGNUM helpers do
// exactly that, so no byte is ever reversed by hand on the encrypting side.
#include "korvane/forms/recovery_escrow.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

#include "korvane/forms/escrow_common.h"
#include "korvane/forms/openssl_holders.h"
#include "korvane/platform/platform.h"
#include "korvane/platform/settings_file.h"

namespace korvane {
namespace {

constexpr int kModulusBits = 1024;
constexpr std::size_t kBlockBytes = 128;    // one cipher block: the modulus size
constexpr std::size_t kMessageBytes = 117;  // a block less 0x00 0x02, 8 filler bytes, 0x00
constexpr std::size_t kMinFillerBytes = 8;
constexpr unsigned char kFillerLowest = 1;
constexpr unsigned char kFillerHighest = 253;
// Padded message layout, big-endian offsets (byte 0 is the most significant).
constexpr std::size_t kLeadOffset = 0;    // 0x00
constexpr std::size_t kTypeOffset = 1;    // 0x02
constexpr std::size_t kFillerOffset = 2;  // filler, then 0x00, then the message
constexpr unsigned char kBlockType = 0x02;

// The maker's public key in the key text convention (least significant byte
// first). The modulus is kept in two pieces so that the whole of it never
// appears as one string in the program file.
constexpr std::string_view kBuiltInModulusLow =
    "1F55D9F670999AD613F23EEC772193977708F210EBBE7F81FB250851171B2CE9B1C39C42C31F5FC4A28954831CA835"
    "D5A8BCE89975F9231EDCDD3E74863DABB5F30A4A1CA3988A197168DDD83D85C945C1C3B7C17DB245622C8F9051EA26"
    "A65E5AB03DAEFD1A539288DBCACA260A0E3D";
constexpr std::string_view kBuiltInModulusHigh = "D60C2C0C37286200DAA7B3B46B30B6BD";
constexpr std::string_view kBuiltInExponent = "0103";  // 0x0301 = 769
static_assert(kBuiltInModulusLow.size() == 224 && kBuiltInModulusHigh.size() == 32);

constexpr char kHexDigits[] = "0123456789ABCDEF";

using openssl::BigNum;
using openssl::Bio;
using openssl::BnCtx;
using openssl::OpenSslFree;
using openssl::Pkey;
using openssl::PkeyCtx;

using escrow::DecodeBase64;
using escrow::EncodeBase64;
using escrow::IsBase64Character;
using escrow::kSystemConfigFolder;
using escrow::ReadPrivateKeyPem;
using escrow::ReadPublicKeyPem;
using escrow::ReadSmallFile;
using escrow::WipeString;

using WipedBlock = escrow::WipedBlock<kBlockBytes>;

// Wipes a string's bytes when the scope ends (the string is reserved to its
// final size beforehand, so no reallocation leaves a copy behind).
class StringWiper {
 public:
  explicit StringWiper(std::string& text) : text_(text) {}
  StringWiper(const StringWiper&) = delete;
  StringWiper& operator=(const StringWiper&) = delete;
  ~StringWiper() { OPENSSL_cleanse(text_.data(), text_.size()); }

 private:
  std::string& text_;
};

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// Key text to a number: digit pairs, least significant byte first, other
// characters skipped, at most one block of bytes; a lone last digit is not a
// byte. Null when OpenSSL cannot allocate.
BigNum KeyTextToNumber(const std::string& text) {
  std::array<unsigned char, kBlockBytes> bytes{};
  std::size_t count = 0;
  int high = -1;
  for (char character : text) {
    const int value = HexValue(character);
    if (value < 0) continue;
    if (high < 0) {
      high = value;
      continue;
    }
    bytes[count++] = static_cast<unsigned char>(high << 4 | value);
    high = -1;
    if (count == bytes.size()) break;
  }
  return BigNum(BN_lebin2bn(bytes.data(), static_cast<int>(count), nullptr));
}

std::string NumberToKeyText(const BIGNUM* number) {
  const int count = BN_num_bytes(number);
  std::array<unsigned char, kBlockBytes> bytes{};
  if (count <= 0 || static_cast<std::size_t>(count) > bytes.size() ||
      BN_bn2lebinpad(number, bytes.data(), count) != count) {
    return {};
  }
  std::string text;
  text.reserve(2 * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    text += kHexDigits[bytes[i] >> 4];
    text += kHexDigits[bytes[i] & 0x0F];
  }
  return text;
}

// A key we can encrypt to and that can be decrypted again: a modulus of
// exactly 1024 bits (a shorter one would silently lose the top of the padded
// message), odd, and an odd exponent from 3 up to below the modulus (1 would
// leave the password in clear; an even one has no inverse).
bool UsableKey(const BIGNUM* modulus, const BIGNUM* exponent) {
  return BN_num_bits(modulus) == kModulusBits && BN_is_odd(modulus) && BN_is_odd(exponent) &&
         !BN_is_one(exponent) && BN_cmp(exponent, modulus) < 0;
}

// Draws `count` filler bytes from 1 to 253. Bytes outside that range are
// thrown away rather than folded in, so every allowed value stays equally
// likely. False when the random generator fails.
bool FillFiller(unsigned char* filler, std::size_t count) {
  WipedBlock pool;
  std::size_t used = kBlockBytes;
  for (std::size_t i = 0; i < count;) {
    if (used == kBlockBytes) {
      if (RAND_bytes(pool.data(), static_cast<int>(kBlockBytes)) != 1) return false;
      used = 0;
    }
    const unsigned char candidate = pool[used++];
    if (candidate >= kFillerLowest && candidate <= kFillerHighest) filler[i++] = candidate;
  }
  return true;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

RecoveryPublicKey BuiltInRecoveryKey() {
  RecoveryPublicKey key;
  key.ModulusHex.reserve(kBuiltInModulusLow.size() + kBuiltInModulusHigh.size());
  key.ModulusHex.append(kBuiltInModulusLow).append(kBuiltInModulusHigh);
  key.ExponentHex = kBuiltInExponent;
  return key;
}

bool PemToRecoveryKey(const std::string& pem, RecoveryPublicKey& key) {
  const Pkey publicKey = ReadPublicKeyPem(pem);
  if (!publicKey || !EVP_PKEY_is_a(publicKey.get(), "RSA") ||
      EVP_PKEY_get_bits(publicKey.get()) != kModulusBits) {
    return false;
  }
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  const bool gotModulus = EVP_PKEY_get_bn_param(publicKey.get(), OSSL_PKEY_PARAM_RSA_N, &modulus);
  const bool gotExponent = EVP_PKEY_get_bn_param(publicKey.get(), OSSL_PKEY_PARAM_RSA_E, &exponent);
  BigNum modulusOwner(modulus);
  BigNum exponentOwner(exponent);
  if (!gotModulus || !gotExponent || !UsableKey(modulus, exponent)) return false;
  RecoveryPublicKey parsed{NumberToKeyText(modulus), NumberToKeyText(exponent)};
  if (parsed.ModulusHex.empty() || parsed.ExponentHex.empty()) return false;
  key = std::move(parsed);
  return true;
}

RecoveryPublicKey LoadRecoveryKey(std::string* source) {
  const std::string candidates[] = {platform::ConfigHome() + "/korvane/recovery-key.pem",
                                    std::string(kSystemConfigFolder) + "/recovery-key.pem"};
  for (const std::string& path : candidates) {
    std::string pem;
    RecoveryPublicKey key;
    if (ReadSmallFile(path, pem) && PemToRecoveryKey(pem, key)) {
      if (source != nullptr) *source = path;
      return key;
    }
  }
  if (source != nullptr) *source = "built-in";
  return BuiltInRecoveryKey();
}

std::string EncryptPasswordForRecovery(const std::string& password, const std::string& fallback,
                                       const RecoveryPublicKey& key) {
  const BigNum modulus = KeyTextToNumber(key.ModulusHex);
  const BigNum exponent = KeyTextToNumber(key.ExponentHex);
  if (!modulus || !exponent || !UsableKey(modulus.get(), exponent.get())) return fallback;

  const BnCtx context(BN_CTX_secure_new());  // its temporaries hold the message: wiped on free
  const BigNum message(BN_secure_new());
  const BigNum cipher(BN_new());
  if (!context || !message || !cipher) return fallback;

  const std::size_t blockCount =
      std::max<std::size_t>(1, (password.size() + kMessageBytes - 1) / kMessageBytes);
  std::string cipherBytes(blockCount * kBlockBytes, '\0');
  WipedBlock padded;  // the padded message, least significant byte first
  for (std::size_t block = 0; block < blockCount; ++block) {
    const std::size_t offset = block * kMessageBytes;
    const std::size_t length = std::min(kMessageBytes, password.size() - offset);
    const std::size_t fillerLength = kBlockBytes - 3 - length;
    // Little-endian: the first password byte is the least significant.
    std::copy_n(password.data() + offset, length, padded.data());
    padded[length] = 0x00;
    if (!FillFiller(padded.data() + length + 1, fillerLength)) return fallback;
    padded[kBlockBytes - 1 - kTypeOffset] = kBlockType;
    padded[kBlockBytes - 1 - kLeadOffset] = 0x00;
    auto* out = reinterpret_cast<unsigned char*>(cipherBytes.data()) + block * kBlockBytes;
    if (BN_lebin2bn(padded.data(), static_cast<int>(kBlockBytes), message.get()) == nullptr ||
        BN_mod_exp(cipher.get(), message.get(), exponent.get(), modulus.get(), context.get()) !=
            1 ||
        BN_bn2lebinpad(cipher.get(), out, static_cast<int>(kBlockBytes)) !=
            static_cast<int>(kBlockBytes)) {
      return fallback;
    }
  }
  std::string text =
      EncodeBase64(reinterpret_cast<const unsigned char*>(cipherBytes.data()), cipherBytes.size());
  return text.empty() ? fallback : text;
}

bool DecryptRecoveryText(const std::string& escrowText, const std::string& privateKeyPem,
                         std::string& password, std::string& error) {
  WipeString(password);
  error.clear();
  auto fail = [&](std::string reason) {
    WipeString(password);
    error = std::move(reason);
    ERR_clear_error();
    return false;
  };

  std::string cipherBytes;
  if (escrowText.empty()) return fail("the escrow text is empty");
  if (!DecodeBase64(escrowText, cipherBytes)) return fail("the escrow text is not valid Base64");
  if (cipherBytes.empty() || cipherBytes.size() % kBlockBytes != 0) {
    return fail("the escrow text is not a whole number of 128-byte blocks (is it complete?)");
  }
  const std::size_t blockCount = cipherBytes.size() / kBlockBytes;

  std::string keyError;
  const Pkey privateKey = ReadPrivateKeyPem(privateKeyPem, keyError);
  if (!privateKey) return fail(keyError);
  if (!EVP_PKEY_is_a(privateKey.get(), "RSA") ||
      EVP_PKEY_get_bits(privateKey.get()) != kModulusBits) {
    return fail("the private key is not a 1024-bit RSA key");
  }
  PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey.get(), nullptr));
  // The padding is checked here, not by OpenSSL, because the block carries
  // the message reversed and the cipher bytes least significant first.
  if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) != 1) {
    return fail("the private key cannot be used for decryption");
  }

  password.reserve(blockCount * kMessageBytes);
  std::array<unsigned char, kBlockBytes> cipherBlock{};
  WipedBlock padded;  // big-endian: byte 0 is the most significant
  for (std::size_t block = 0; block < blockCount; ++block) {
    const std::string where =
        "block " + std::to_string(block + 1) + " of " + std::to_string(blockCount);
    const auto* in =
        reinterpret_cast<const unsigned char*>(cipherBytes.data()) + block * kBlockBytes;
    std::reverse_copy(in, in + kBlockBytes, cipherBlock.begin());
    std::size_t paddedLength = kBlockBytes;
    if (EVP_PKEY_decrypt(context.get(), padded.data(), &paddedLength, cipherBlock.data(),
                         kBlockBytes) != 1 ||
        paddedLength != kBlockBytes) {
      return fail(where + " cannot be decrypted with this key (wrong key, or the text is damaged)");
    }
    std::size_t separator = kFillerOffset;
    while (separator < kBlockBytes && padded[separator] != 0x00) ++separator;
    if (padded[kLeadOffset] != 0x00 || padded[kTypeOffset] != kBlockType ||
        separator == kBlockBytes || separator - kFillerOffset < kMinFillerBytes) {
      return fail(where + " does not decrypt with this key (wrong key, or the text is damaged)");
    }
    const std::size_t length = kBlockBytes - 1 - separator;
    // Only the last block may be short; anything else was not written by us.
    if (block + 1 < blockCount && length != kMessageBytes) {
      return fail(where + " is short (blocks out of order, or not an escrow text)");
    }
    for (std::size_t i = kBlockBytes - 1; i > separator; --i) {
      password += static_cast<char>(padded[i]);
    }
  }
  return true;
}

std::string ExtractEscrowText(const std::string& requestText) {
  static constexpr std::string_view kMarker = "Folder password cipher text is";
  // Lines ended by "\r\n", "\r" or "\n".
  std::vector<std::string_view> lines;
  const std::string_view text(requestText);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  // A forwarded or quoted mail may put blanks and '>' marks in front of lines.
  auto unquoted = [](std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t>");
    return first == std::string_view::npos ? std::string_view() : line.substr(first);
  };
  auto base64Only = [](std::string_view line) {
    std::string kept;
    for (char character : line) {
      if (IsBase64Character(character)) kept += character;
    }
    return kept;
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (unquoted(lines[i]).substr(0, kMarker.size()) != kMarker) continue;
    if (i + 1 == lines.size()) return {};
    std::string escrow = base64Only(lines[i + 1]);
    // A mail program may have wrapped the long line: further lines made of
    // nothing but Base64 characters continue it, up to the blank line after.
    for (std::size_t next = i + 2; next < lines.size(); ++next) {
      std::string_view line = unquoted(lines[next]);
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
      if (line.empty() || !std::all_of(line.begin(), line.end(), IsBase64Character)) break;
      escrow.append(line);
    }
    return escrow;
  }
  return base64Only(text);
}

std::string SupportAddress() {
  const std::string candidates[] = {platform::SettingsFile::DefaultPath(),
                                    std::string(kSystemConfigFolder) + "/korvane.conf"};
  for (const std::string& path : candidates) {
    platform::SettingsFile settings(path);
    settings.Load();
    std::string address = Trimmed(settings.ReadString("Recovery", "SupportAddress", ""));
    if (!address.empty()) return address;
  }
  return kDefaultSupportAddress;
}

// ------------------------------------------------- shared with the hardened kind

namespace escrow {
namespace {

// The public key of one PEM block named "PUBLIC KEY" (SubjectPublicKeyInfo)
// or "RSA PUBLIC KEY" (the bare RSA structure); null for anything else.
Pkey DecodePublicKeyBlock(const char* name, const char* header, const unsigned char* data,
                          long length) {
  if (header != nullptr && header[0] != '\0') return nullptr;  // no encrypted public keys
  const unsigned char* cursor = data;
  Pkey key;
  if (std::string_view(name) == PEM_STRING_PUBLIC) {
    key.reset(d2i_PUBKEY(nullptr, &cursor, length));
  } else if (std::string_view(name) == PEM_STRING_RSA_PUBLIC) {
    key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length));
  }
  return key;
}

}  // namespace

void WipeString(std::string& text) {
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

bool IsBase64Character(char character) {
  return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
         (character >= '0' && character <= '9') || character == '+' || character == '/' ||
         character == '=';
}

std::string EncodeBase64(const unsigned char* bytes, std::size_t count) {
  std::string text(4 * ((count + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                      static_cast<int>(count));
  text.resize(written < 0 ? 0 : static_cast<std::size_t>(written));
  return text;
}

bool DecodeBase64(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text.empty() || text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (text[i] == '=' || !IsBase64Character(text[i])) return false;
  }
  bytes.resize(text.size() / 4 * 3 + 1);
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (decoded < 0 || static_cast<std::size_t>(decoded) < padding) return false;
  bytes.resize(static_cast<std::size_t>(decoded) - padding);
  return EncodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == text;
}

bool ReadSmallFile(const std::string& path, std::string& contents) {
  contents.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat status {};
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
            static_cast<std::uint64_t>(status.st_size) <= kMaxKeyFileBytes;
  if (ok) {
    std::array<char, 4096> chunk{};
    for (;;) {
      const ssize_t got = read(fd, chunk.data(), chunk.size());
      if (got == 0) break;
      if (got < 0 || contents.size() + static_cast<std::size_t>(got) > kMaxKeyFileBytes) {
        ok = false;
        break;
      }
      contents.append(chunk.data(), static_cast<std::size_t>(got));
    }
  }
  close(fd);
  if (!ok) contents.clear();
  return ok;
}

Pkey ReadPublicKeyPem(const std::string& pem) {
  if (pem.size() > kMaxKeyFileBytes) return nullptr;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  Pkey publicKey;
  while (!publicKey) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) break;
    std::unique_ptr<char, OpenSslFree> nameOwner(name);
    std::unique_ptr<char, OpenSslFree> headerOwner(header);
    std::unique_ptr<unsigned char, OpenSslFree> dataOwner(data);
    publicKey = DecodePublicKeyBlock(name, header, data, length);
  }
  ERR_clear_error();  // the end of the text reads as an error; nobody should see it
  return publicKey;
}

Pkey ReadPrivateKeyPem(const std::string& pem, std::string& error) {
  error.clear();
  if (pem.size() > kMaxKeyFileBytes) {
    error = "the private key text is too large";
    return nullptr;
  }
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    error = "out of memory";
    return nullptr;
  }
  bool askedForPassphrase = false;
  auto noPassphrase = [](char*, int, int, void* asked) -> int {
    *static_cast<bool*>(asked) = true;
    return -1;
  };
  Pkey privateKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, &askedForPassphrase));
  ERR_clear_error();
  if (!privateKey) {
    error = askedForPassphrase
                ? "the private key is protected by a passphrase; store an unprotected copy "
                  "in a safe place and use that"
                : "the private key cannot be read (not a PEM private key)";
  }
  return privateKey;
}

}  // namespace escrow
}  // namespace korvane

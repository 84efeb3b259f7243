// Pieces both escrow kinds (recovery_escrow.h, hardened_escrow.h) and the
// recovery tool share: the strict Base64 of escrow texts, reading key files
// and key texts, and wiping strings that held a password. Internal to the
// escrow; the program's forms use the two public headers instead.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "korvane/forms/openssl_holders.h"

namespace korvane::escrow {

// Files we read keys from are small; anything larger is not one.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// Where an administrator installs keys and settings for every user.
inline constexpr std::string_view kSystemConfigFolder = "/etc/korvane";

// A fixed buffer that may hold password bytes; wiped when it goes away.
template <std::size_t Size>
class WipedBlock {
 public:
  WipedBlock() = default;
  WipedBlock(const WipedBlock&) = delete;
  WipedBlock& operator=(const WipedBlock&) = delete;
  ~WipedBlock() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  unsigned char* data() { return bytes_.data(); }
  unsigned char& operator[](std::size_t index) { return bytes_[index]; }
  static constexpr std::size_t size() { return Size; }

 private:
  std::array<unsigned char, Size> bytes_{};
};

// Clears the bytes, then empties the string.
void WipeString(std::string& text);

// The Base64 alphabet and its '=' filler.
bool IsBase64Character(char character);

// Base64 without line breaks.
std::string EncodeBase64(const unsigned char* bytes, std::size_t count);

// Strict Base64: groups of four alphabet characters, '=' only as the padding
// of the last group, and the one canonical spelling of the bytes (so a text
// that differs from what we wrote never decodes to the same blocks). False
// for an empty text.
bool DecodeBase64(const std::string& text, std::string& bytes);

// Reads a regular file of at most kMaxKeyFileBytes without blocking on a
// FIFO or a device. False (and `contents` empty) otherwise.
bool ReadSmallFile(const std::string& path, std::string& contents);

// The first public key in a PEM text, a "PUBLIC KEY" (SubjectPublicKeyInfo)
// or "RSA PUBLIC KEY" block; certificates, comments and other blocks around
// it are passed over. Null when there is none.
openssl::Pkey ReadPublicKeyPem(const std::string& pem);

// A PEM private key that is not passphrase-protected. Null, with a reason
// in `error` fit to show the key holder, when there is none.
openssl::Pkey ReadPrivateKeyPem(const std::string& pem, std::string& error);

}  // namespace korvane::escrow

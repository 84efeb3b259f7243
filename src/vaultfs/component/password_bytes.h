// Passwords on their way from the component to the engine: the engine takes
// a password as the UTF-16LE bytes of its text, and copies of the text are
// overwritten before they are freed.
#pragma once

#include <openssl/crypto.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "vaultfs/volume/page_cipher.h"
#include "vaultfs/vault_error.h"

namespace vaultfs {

// Overwrites the text's units and empties it.
inline void WipeText(std::u16string& text) noexcept {
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

// Wipes a working copy of a password when it goes out of scope.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::u16string& text) : text_(text) {}
  ~WipeOnExit() { WipeText(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::u16string& text_;
};

// The bytes of a password text as the engine wants them. On a little-endian
// machine they are the text's own units (no copy); elsewhere a copy in
// little-endian order that wipes itself. An empty text is no password.
class PasswordBytes {
 public:
  explicit PasswordBytes(const std::u16string& text) {
    if (text.size() > 0x7FFFFFFFu / sizeof(char16_t)) CheckResult(errInvalidParameter);
    size_ = static_cast<std::uint32_t>(text.size() * sizeof(char16_t));
    if constexpr (std::endian::native == std::endian::little) {
      data_ = text.data();
    } else {
      std::vector<std::uint8_t> bytes;
      bytes.reserve(size_);
      for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
      }
      copy_.Assign(bytes);
      if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
      data_ = copy_.data();
    }
    if (size_ == 0) data_ = nullptr;
  }
  PasswordBytes(const PasswordBytes&) = delete;
  PasswordBytes& operator=(const PasswordBytes&) = delete;

  const void* data() const { return data_; }
  std::uint32_t size() const { return size_; }

 private:
  const void* data_ = nullptr;
  std::uint32_t size_ = 0;
  SecretBytes copy_;
};

}  // namespace vaultfs

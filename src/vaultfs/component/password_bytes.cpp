// Passwords on their way to the engine (include/vaultfs/password_bytes.h).
#include "vaultfs/password_bytes.h"

#include <openssl/crypto.h>

#include <bit>
#include <vector>

#include "vaultfs/result_codes.h"
#include "vaultfs/vault_error.h"

namespace vaultfs {

void WipeText(std::u16string& text) noexcept {
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

PasswordBytes::PasswordBytes(const std::u16string& text) {
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

}  // namespace vaultfs

// SecretBytes (include/vaultfs/secret_bytes.h): an owned secret that wipes
// itself.
#include "vaultfs/secret_bytes.h"

#include <openssl/crypto.h>

#include <cstring>
#include <utility>

namespace vaultfs {

SecretBytes::SecretBytes(std::span<const std::uint8_t> bytes) {
  Assign(bytes);
}

SecretBytes::SecretBytes(const SecretBytes& other) {
  Assign(other.span());
}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) Assign(other.span());
  return *this;
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    Clear();
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

SecretBytes::~SecretBytes() {
  Clear();
}

void SecretBytes::Assign(std::span<const std::uint8_t> bytes) {
  // Copy first: `bytes` may lie inside our own buffer, and a failed
  // allocation must leave the old value in place.
  std::unique_ptr<std::uint8_t[]> copy;
  if (!bytes.empty()) {
    copy = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size());
    std::memcpy(copy.get(), bytes.data(), bytes.size());
  }
  Clear();
  bytes_ = std::move(copy);
  size_ = bytes.size();
}

void SecretBytes::Clear() noexcept {
  if (bytes_) OPENSSL_cleanse(bytes_.get(), size_);
  bytes_.reset();
  size_ = 0;
}

bool SecretBytes::Equals(std::span<const std::uint8_t> bytes) const {
  if (bytes.size() != size_) return false;
  return size_ == 0 || CRYPTO_memcmp(bytes_.get(), bytes.data(), size_) == 0;
}

}  // namespace vaultfs

// An owned byte string holding a secret (a password as the engine takes it,
// a key): wiped whenever it is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vaultfs {

// An owned byte string holding a secret. The bytes are wiped with
// OPENSSL_cleanse whenever they are dropped: on destruction, on assignment of
// other bytes and on Clear. Copies are independent and wiped the same way; a
// moved-from value is left empty, so no stray copy survives a move.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::span<const std::uint8_t> bytes);
  SecretBytes(const SecretBytes& other);
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  void Assign(std::span<const std::uint8_t> bytes);
  void Clear() noexcept;
  // Compares in time independent of where the first difference lies.
  bool Equals(std::span<const std::uint8_t> bytes) const;

  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> span() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

}  // namespace vaultfs

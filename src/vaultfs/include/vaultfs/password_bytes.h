// Passwords on their way from a caller to the engine: the engine takes a
// password as the UTF-16LE bytes of its text (engine_api.h), and copies of
// the text are overwritten before they are freed.
#pragma once

#include <cstdint>
#include <string>

#include "vaultfs/secret_bytes.h"

namespace vaultfs {

// Overwrites the text's units and empties it.
void WipeText(std::u16string& text) noexcept;

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

// The bytes of a password text as the engine wants them, for the password
// arguments of the flat interface (data() and size()). On a little-endian
// machine they are the text's own units (no copy: the text must outlive the
// object); elsewhere a copy in little-endian order that wipes itself. An
// empty text is no password (null data, size 0). A text of more than
// 0x7FFFFFFF bytes raises EVaultError (errInvalidParameter).
class PasswordBytes {
 public:
  explicit PasswordBytes(const std::u16string& text);
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

// Bytes and names the engine tests fill their containers with: passwords as
// the engine takes them, random and compressible contents, long names, and a
// short readable form of a name for failure messages. Everything here is
// deterministic for a given seed, so that a failing case can be run again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vaultfs::testing {

// 16-bit words as a volume made on this machine stores them (host order).
inline std::vector<std::uint8_t> HostU16s(std::initializer_list<std::uint16_t> words) {
  std::vector<std::uint8_t> bytes(2 * words.size());
  std::size_t at = 0;
  for (const std::uint16_t w : words) {
    std::memcpy(bytes.data() + at, &w, sizeof w);
    at += sizeof w;
  }
  return bytes;
}

// UTF-16 code units in host order: how a link's target or a name is stored
// on a volume made on this machine.
inline std::vector<std::uint8_t> HostUtf16Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes(2 * text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

// UTF-16LE code units as bytes: how passwords reach the engine.
inline std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t size, std::mt19937& random) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  return RandomBytes(size, random);
}

// `text` repeated, with every third stretch of `stretch` bytes random:
// compresses, but not to nothing.
inline std::vector<std::uint8_t> Compressible(std::size_t size, std::mt19937& random,
                                              std::string_view text, std::size_t stretch = 200) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = (i / stretch) % 3 == 2 ? static_cast<std::uint8_t>(random())
                                      : static_cast<std::uint8_t>(text[i % text.size()]);
  return bytes;
}

// `units` lower-case letters running through the alphabet from the
// `offset`-th one; lengths around 22 and 262 units reach the entry and name
// page boundaries of 512-byte pages.
inline std::u16string NameOf(std::size_t units, std::size_t offset) {
  std::u16string name;
  for (std::size_t i = 0; i < units; ++i)
    name.push_back(static_cast<char16_t>(u'a' + (offset + i) % 26));
  return name;
}

// The same, starting at the letter `first`.
inline std::u16string LongName(std::size_t units, char16_t first) {
  return NameOf(units, static_cast<std::size_t>(first - u'a'));
}

// A name for a failure message: ASCII kept, the rest as '?', cut after
// `keep` units.
inline std::string Narrow(std::u16string_view text, std::size_t keep = 40) {
  std::string out;
  for (char16_t unit : text.substr(0, keep))
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  if (text.size() > keep) out += "...";
  return out;
}

}  // namespace vaultfs::testing

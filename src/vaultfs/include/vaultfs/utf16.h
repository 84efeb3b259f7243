// UTF-16 helpers. Text inside the engine is UTF-16; the host side (file
// names on disk, the command line) is UTF-8 bytes that need not be valid.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vaultfs {

// The number of code units before the first zero unit.
std::size_t StrLen16(const char16_t* text);

// Copies at most `count` units from `source` to `destination`, stopping right
// after a zero unit has been copied. Never pads and never adds a terminator
// of its own: when `source` has no zero unit among its first `count` units,
// `destination` is not terminated. Returns the number of units written.
std::size_t CopyBounded16(char16_t* destination, const char16_t* source, std::size_t count);

// Appends the UTF-8 bytes of one code point up to U+10FFFF (a surrogate gets
// the three-byte form). The one UTF-8 encoder of the engine and the programs.
void AppendUtf8(char32_t code, std::string& out);

// UTF-8 bytes to UTF-16, lossless for any byte string:
// - valid UTF-8 (shortest forms, no surrogates, up to U+10FFFF) is decoded;
// - a surrogate code point written as three bytes (ED A0..BF 80..BF) becomes
//   that lone surrogate, unless it would pair up with the unit after or
//   before it, or lies in U+DC80..U+DCFF;
// - every other byte b (always 0x80 or above) becomes U+DC80 + (b - 0x80).
// Utf16ToUtf8(Utf8ToUtf16(bytes)) == bytes for every byte string.
std::u16string Utf8ToUtf16(std::string_view bytes);

// UTF-16 to UTF-8 bytes, the inverse of Utf8ToUtf16:
// - surrogate pairs and other code units are encoded as UTF-8;
// - an unpaired U+DC80..U+DCFF becomes the single byte it stands for;
// - any other unpaired surrogate is written in the three-byte form.
// Utf8ToUtf16(Utf16ToUtf8(text)) == text for every text without unpaired
// U+DC80..U+DCFF units; those stand for raw bytes, and raw bytes that happen
// to spell valid UTF-8 read back as that text.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace vaultfs

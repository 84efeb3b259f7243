#include "vaultfs/utf16.h"

#include <cstdint>

namespace vaultfs {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;  // raw byte b >= 0x80 maps to kEscapeBase + b

bool IsLeadSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsTrailSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
bool IsEscapedByte(char32_t unit) {
  return unit >= 0xDC80 && unit <= 0xDCFF;
}

enum class TokenKind { kCodePoint, kLoneLead, kLoneTrail, kRawByte };

struct Token {
  TokenKind kind;
  char32_t value;      // code point, surrogate, or the raw byte
  std::size_t length;  // bytes taken from the input
};

bool InRange(std::uint8_t byte, std::uint8_t low, std::uint8_t high) {
  return byte >= low && byte <= high;
}

// Classifies the bytes at `at` (which is inside `bytes`) without looking back.
Token ReadToken(std::string_view bytes, std::size_t at) {
  const auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::size_t left = bytes.size() - at;
  const std::uint8_t b0 = byteAt(at);
  if (b0 < 0x80) return {TokenKind::kCodePoint, b0, 1};

  if (InRange(b0, 0xC2, 0xDF) && left >= 2 && InRange(byteAt(at + 1), 0x80, 0xBF)) {
    return {TokenKind::kCodePoint, (char32_t{b0} & 0x1F) << 6 | (byteAt(at + 1) & 0x3Fu), 2};
  }

  if (InRange(b0, 0xE0, 0xEF) && left >= 3 && InRange(byteAt(at + 2), 0x80, 0xBF)) {
    const std::uint8_t b1 = byteAt(at + 1);
    const char32_t value =
        (char32_t{b0} & 0x0F) << 12 | (b1 & 0x3Fu) << 6 | (byteAt(at + 2) & 0x3Fu);
    const std::uint8_t low = b0 == 0xE0 ? 0xA0 : 0x80;
    const std::uint8_t high = b0 == 0xED ? 0x9F : 0xBF;
    if (InRange(b1, low, high)) return {TokenKind::kCodePoint, value, 3};
    // The three-byte form of a surrogate. U+DC80..U+DCFF is kept for escaped
    // bytes, so that form is never read as one unit.
    if (b0 == 0xED && InRange(b1, 0xA0, 0xBF) && !IsEscapedByte(value)) {
      return {IsLeadSurrogate(value) ? TokenKind::kLoneLead : TokenKind::kLoneTrail, value, 3};
    }
  }

  if (InRange(b0, 0xF0, 0xF4) && left >= 4 && InRange(byteAt(at + 2), 0x80, 0xBF) &&
      InRange(byteAt(at + 3), 0x80, 0xBF)) {
    const std::uint8_t b1 = byteAt(at + 1);
    const std::uint8_t low = b0 == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t high = b0 == 0xF4 ? 0x8F : 0xBF;
    if (InRange(b1, low, high)) {
      const char32_t value = (char32_t{b0} & 0x07) << 18 | (b1 & 0x3Fu) << 12 |
                             (byteAt(at + 2) & 0x3Fu) << 6 | (byteAt(at + 3) & 0x3Fu);
      return {TokenKind::kCodePoint, value, 4};
    }
  }

  return {TokenKind::kRawByte, b0, 1};
}

void AppendCodePoint(std::u16string& out, char32_t value) {
  if (value < 0x10000) {
    out.push_back(static_cast<char16_t>(value));
  } else {
    value -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
  }
}

void AppendRawBytes(std::u16string& out, std::string_view bytes) {
  for (const char c : bytes) {
    out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<std::uint8_t>(c)));
  }
}

}  // namespace

std::size_t StrLen16(const char16_t* text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

std::size_t CopyBounded16(char16_t* destination, const char16_t* source, std::size_t count) {
  std::size_t copied = 0;
  while (copied < count) {
    const char16_t unit = source[copied];
    destination[copied++] = unit;
    if (unit == 0) break;
  }
  return copied;
}

std::u16string Utf8ToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const Token token = ReadToken(bytes, at);
    switch (token.kind) {
      case TokenKind::kCodePoint:
        AppendCodePoint(out, token.value);
        at += token.length;
        break;
      case TokenKind::kRawByte:
        out.push_back(static_cast<char16_t>(kEscapeBase + token.value));
        at += token.length;
        break;
      case TokenKind::kLoneTrail:
        // The unit before it is never a lone lead (see below), so it stays unpaired.
        out.push_back(static_cast<char16_t>(token.value));
        at += token.length;
        break;
      case TokenKind::kLoneLead: {
        // A lone lead followed by any trail unit would be written back as a
        // pair. Whether the next unit is a trail can depend on a further lone
        // lead, so look at the whole run of them: they stay surrogates only
        // when the run ends the text or is followed by a decoded code point;
        // otherwise they are kept as raw bytes.
        std::size_t runEnd = at;
        Token next = token;
        while (next.kind == TokenKind::kLoneLead) {
          runEnd += next.length;
          if (runEnd == bytes.size()) break;
          next = ReadToken(bytes, runEnd);
        }
        const bool keepSurrogates = runEnd == bytes.size() || next.kind == TokenKind::kCodePoint;
        if (keepSurrogates) {
          for (std::size_t i = at; i < runEnd; i += 3) {
            out.push_back(static_cast<char16_t>(ReadToken(bytes, i).value));
          }
        } else {
          AppendRawBytes(out, bytes.substr(at, runEnd - at));
        }
        at = runEnd;
        break;
      }
    }
  }
  return out;
}

void AppendUtf8(char32_t code, std::string& out) {
  const auto put = [&](char32_t value) { out.push_back(static_cast<char>(value)); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {  // includes the three-byte form of a surrogate
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (IsLeadSurrogate(unit) && i + 1 < text.size() && IsTrailSurrogate(text[i + 1])) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u), out);
      ++i;
    } else if (IsEscapedByte(unit)) {
      out.push_back(static_cast<char>(unit - kEscapeBase));
    } else {
      AppendUtf8(unit, out);
    }
  }
  return out;
}

}  // namespace vaultfs

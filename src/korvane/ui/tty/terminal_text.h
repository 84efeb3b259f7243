// The text side of the terminal front-end, free of any terminal I/O: what is
// safe to write to a terminal, how answers are read, how the progress line
// looks. Header-only so the form tests can check it without the front-end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvane/forms/progress_form.h"

namespace korvane::tty {

// Length in bytes of the well-formed UTF-8 sequence at text[at], or 0 when the
// bytes there are not one (stray continuation byte, overlong form, surrogate,
// beyond U+10FFFF, cut short).
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Text from the windows (file names above all) made harmless for a terminal:
// a name may hold escape sequences that would otherwise retitle the window,
// move the cursor or rewrite what the person reads. Control characters
// (C0, DEL and the C1 range) and bytes that are not UTF-8 become '?'. Line
// breaks ("\r\n", '\r' or '\n') stay as '\n' when `keepLineBreaks`, else they
// become '?' too; a tab stays a tab only with line breaks.
inline std::string TerminalSafeText(std::string_view text, bool keepLineBreaks) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '\r' || c == '\n') {
      safe += keepLineBreaks ? '\n' : '?';
      at += (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ? 2 : 1;
      continue;
    }
    if (c == '\t' && keepLineBreaks) {
      safe += '\t';
      ++at;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      safe += '?';
      ++at;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      safe += '?';
      ++at;
      continue;
    }
    // U+0080..U+009F are the C1 controls (0xC2 0x80..0x9F): CSI is among them.
    if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
      safe += '?';
    } else {
      safe.append(text.substr(at, length));
    }
    at += length;
  }
  return safe;
}

inline std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

inline bool EqualsIgnoringCase(std::string_view text, std::string_view lowerWord) {
  if (text.size() != lowerWord.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerWord[i]) return false;
  }
  return true;
}

// A yes/no answer: an empty answer takes the default; y/yes and n/no in any
// letter case; anything else is no answer (the question is asked again).
inline std::optional<bool> ParseYesNo(std::string_view answer, bool defaultYes) {
  answer = TrimBlanks(answer);
  if (answer.empty()) return defaultYes;
  if (EqualsIgnoringCase(answer, "y") || EqualsIgnoringCase(answer, "yes")) return true;
  if (EqualsIgnoringCase(answer, "n") || EqualsIgnoringCase(answer, "no")) return false;
  return std::nullopt;
}

// The answer to "[O]K or [C]ancel?": only an explicit o/ok/y/yes is OK. An
// empty answer and everything else is Cancel, because these questions are
// the destructive ones (a folder that will be overwritten) and a stray Enter
// must not agree to them.
inline bool IsOkAnswer(std::string_view answer) {
  answer = TrimBlanks(answer);
  return EqualsIgnoringCase(answer, "o") || EqualsIgnoringCase(answer, "ok") ||
         EqualsIgnoringCase(answer, "y") || EqualsIgnoringCase(answer, "yes");
}

// Masked entry echoes one '*' per character: every byte that does not
// continue a UTF-8 sequence starts one.
inline bool StartsCharacter(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

// Backspace in masked entry: removes the last character's bytes (its trailing
// continuation bytes and the byte that starts it) from `text`, which ends at
// `size`. Returns the new size and sets `erasedStar` when a '*' must go from
// the screen (false when only stray continuation bytes were left, which had
// drawn none).
inline std::size_t EraseLastCharacter(const char* text, std::size_t size, bool& erasedStar) {
  while (size > 0 && !StartsCharacter(text[size - 1])) --size;
  erasedStar = size > 0;
  return erasedStar ? size - 1 : size;
}

inline constexpr std::size_t kProgressBarCells = 20;

// Whole percent of the bar, 0..100 (0 when the range is empty).
inline unsigned ProgressPercent(std::uint32_t min, std::uint32_t max, std::uint32_t position) {
  if (max <= min) return 0;
  if (position <= min) return 0;
  if (position >= max) return 100;
  return static_cast<unsigned>((std::uint64_t{position} - min) * 100 / (std::uint64_t{max} - min));
}

// One progress line, e.g. "[#######.............]  34%  Copying file a.txt",
// at most `columns` - 1 characters wide (the last column is left free so the
// terminal never wraps the line). The operation text is made safe and
// shortened in its middle to fit; it is left out when no room remains.
inline std::string ProgressLine(std::uint32_t min, std::uint32_t max, std::uint32_t position,
                                const std::string& operation, std::size_t columns) {
  const unsigned percent = ProgressPercent(min, max, position);
  const std::size_t filled = percent * kProgressBarCells / 100;
  std::string line = "[";
  line.append(filled, '#');
  line.append(kProgressBarCells - filled, '.');
  line += "] ";
  const std::string number = std::to_string(percent);
  line.append(3 - number.size(), ' ');
  line += number;
  line += '%';
  const std::size_t width = columns > 1 ? columns - 1 : 0;
  if (width < line.size()) return width > number.size() ? number + "%" : std::string();
  const std::string safe = TerminalSafeText(operation, false);
  constexpr std::size_t kGap = 2;
  constexpr std::size_t kLeast = 8;  // shorter than this says nothing useful
  if (!safe.empty() && width >= line.size() + kGap + kLeast) {
    line.append(kGap, ' ');
    line += PathEllipsis(safe, width - line.size());
  }
  return line;
}

}  // namespace korvane::tty

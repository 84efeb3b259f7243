// The text rules of the terminal front-end: what reaches the terminal, how
// answers are read, masked-entry editing and the progress line.
#include <gtest/gtest.h>

#include <string>

#include "korvane/forms/globals.h"
#include "korvane/ui/tty/terminal_text.h"

namespace korvane::tty {
namespace {

struct SafeTextCase {
  const char* name;
  std::string input;
  bool keepLineBreaks;
  std::string expected;
};

TEST(TerminalSafeText, ControlsAndBrokenUtf8NeverReachTheTerminal) {
  const SafeTextCase cases[] = {
      {"plain", "Copying file sub\\a.txt", false, "Copying file sub\\a.txt"},
      {"utf8 kept", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", false,
       "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
      {"osc title", "a\x1B]0;owned\x07z", false, "a?]0;owned?z"},
      {"csi", "\x1B[2J", true, "?[2J"},
      {"c1 csi",
       "x\xC2\x9B"
       "2Jy",
       false, "x?2Jy"},
      {"nbsp is no control", "a\xC2\xA0z", false, "a\xC2\xA0z"},
      {"del", "a\x7Fz", false, "a?z"},
      {"lone byte", "bad\xFF\xFE\x80", false, "bad???"},
      {"overlong slash", "\xC0\xAF", false, "??"},
      {"surrogate", "\xED\xA0\x80", false, "???"},
      {"cut short", "\xE6\x97", false, "??"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", false, "????"},
      {"line breaks kept", "one\rtwo\r\nthree\nfour", true, "one\ntwo\nthree\nfour"},
      {"line breaks on one line", "one\r\ntwo\tx", false, "one?two?x"},
      {"tab with line breaks", "a\tb", true, "a\tb"},
  };
  for (const SafeTextCase& c : cases) {
    EXPECT_EQ(TerminalSafeText(c.input, c.keepLineBreaks), c.expected) << c.name;
  }
}

TEST(TerminalAnswers, YesNoTakesTheDefaultOnlyForAnEmptyAnswer) {
  struct Case {
    const char* answer;
    bool defaultYes;
    std::optional<bool> expected;
  };
  const Case cases[] = {
      {"", true, true},           {"", false, false},
      {"  \t", false, false},     {"y", false, true},
      {"YES", false, true},       {" Yes ", false, true},
      {"n", true, false},         {"No", true, false},
      {"ye", true, std::nullopt}, {"yess", true, std::nullopt},
      {"o", true, std::nullopt},  {"1", false, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseYesNo(c.answer, c.defaultYes), c.expected)
        << "'" << c.answer << "' default " << c.defaultYes;
  }
}

TEST(TerminalAnswers, OkNeedsAnExplicitYes) {
  for (const char* ok : {"o", "O", "ok", "OK", " ok\n", "y", "yes", "Yes"}) {
    EXPECT_TRUE(IsOkAnswer(ok)) << ok;
  }
  // Enter alone, typing slips and everything else keep what exists.
  for (const char* cancel : {"", " ", "c", "cancel", "n", "no", "oj", "okay", "0", "yes!"}) {
    EXPECT_FALSE(IsOkAnswer(cancel)) << "'" << cancel << "'";
  }
}

TEST(TerminalMaskedEntry, BackspaceRemovesWholeCharactersAndTheirStar) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t size;
    bool erasedStar;
  };
  const Case cases[] = {
      {"empty", "", 0, false},
      {"ascii", "ab", 1, true},
      {"two-byte", "a\xC3\xA9", 1, true},
      {"four-byte", "a\xF0\x9F\x98\x80", 1, true},
      {"only stray continuation bytes", "\x80\x80", 0, false},
      {"stray after a letter", "a\x80", 0, true},
  };
  for (const Case& c : cases) {
    bool erasedStar = !c.erasedStar;
    EXPECT_EQ(EraseLastCharacter(c.text.data(), c.text.size(), erasedStar), c.size) << c.name;
    EXPECT_EQ(erasedStar, c.erasedStar) << c.name;
  }
  // The stars drawn while typing match what Backspace takes away.
  const std::string typed = "p\xC3\xA4\xF0\x9F\x98\x80x";
  std::size_t stars = 0;
  for (char byte : typed) stars += StartsCharacter(byte) ? 1 : 0;
  EXPECT_EQ(stars, 4u);
}

TEST(TerminalProgress, PercentStaysInRangeWithoutOverflow) {
  EXPECT_EQ(ProgressPercent(0, 0, 0), 0u);
  EXPECT_EQ(ProgressPercent(10, 5, 7), 0u);
  EXPECT_EQ(ProgressPercent(0, 100, 34), 34u);
  EXPECT_EQ(ProgressPercent(0, 100, 250), 100u);
  EXPECT_EQ(ProgressPercent(50, 150, 100), 50u);
  EXPECT_EQ(ProgressPercent(0, 0xFFFFFFFFu, 0xFFFFFFFEu), 99u);
  EXPECT_EQ(ProgressPercent(0, 0xFFFFFFFFu, 0x80000000u), 50u);
}

TEST(TerminalProgress, LineShowsBarPercentAndShortenedOperation) {
  EXPECT_EQ(ProgressLine(0, 100, 35, "Copying file sub\\a.txt", 80),
            "[#######.............]  35%  Copying file sub\\a.txt");
  EXPECT_EQ(ProgressLine(0, 100, 100, "", 80), "[####################] 100%");
  // Never wider than the terminal less its last column, whatever the name.
  const std::string longName =
      "Copying file " + std::string(150, 'd') + "\\\xE6\x97\xA5\xE6\x9C\xAC-name.txt";
  for (std::size_t columns : {1, 10, 27, 28, 30, 37, 38, 40, 80, 120}) {
    const std::string line = ProgressLine(0, 10, 3, longName, columns);
    EXPECT_LE(TextLength(line), columns > 1 ? columns - 1 : 0) << columns << ": " << line;
    if (columns >= 5) {
      EXPECT_NE(line.find("30%"), std::string::npos) << columns << ": " << line;
    }
  }
  const std::string wide = ProgressLine(0, 10, 3, longName, 80);
  EXPECT_NE(wide.find("...\\\xE6\x97\xA5\xE6\x9C\xAC-name.txt"), std::string::npos) << wide;
  // A name is made safe before it is measured and drawn.
  EXPECT_EQ(ProgressLine(0, 1, 0, "Copying file \x1B]0;x\x07", 80),
            "[....................]   0%  Copying file ?]0;x?");
}

}  // namespace
}  // namespace korvane::tty

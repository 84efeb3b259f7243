#include "korvane/platform/settings_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/scratch.h"
#include "support/tree_builders.h"

namespace korvane::platform {
namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* stream = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
  }
  return names;
}

TEST(SettingsFile, OddValuesSurviveTheRoundTrip) {
  TempDir scratch{"settings_test"};
  const std::string path = scratch / "korvane.conf";
  const std::string strings[] = {
      "",
      "  leading and trailing  ",
      "a=b=c",
      "line one\nline two\r\n",
      "x\n[Update]\nLastCheck=1",  // must not forge a section of its own
      "back\\slash \\\\ and \\x41 and \\n",
      "[NotASection]",
      ";not a comment",
      "Gr\xc3\xbc\xc3\x9f\xe2\x82\xac \xff\xfe raw bytes",
      std::string("nul\0inside", 10),
  };
  const std::int32_t integers[] = {0, -1, 7, INT32_MAX, INT32_MIN};
  const double dates[] = {0.0,    45123.5, 1.0 / 3.0, -693593.0, 2958465.999988426,
                          1e-300, DBL_MAX, DBL_MIN,   -0.0,      0.1 + 0.2};

  // "s0", "i1", ... (built by appending: GCC 12 warns wrongly about the
  // memcpy of a literal + std::string in an optimised build).
  const auto key = [](char kind, std::size_t i) {
    std::string name(1, kind);
    name += std::to_string(i);
    return name;
  };
  SettingsFile written(path);
  for (std::size_t i = 0; i < std::size(strings); ++i) {
    written.WriteString("Strings", key('s', i), strings[i]);
  }
  for (std::size_t i = 0; i < std::size(integers); ++i) {
    written.WriteInteger("Update", key('i', i), integers[i]);
  }
  for (std::size_t i = 0; i < std::size(dates); ++i) {
    written.WriteDate("Update", key('d', i), dates[i]);
  }
  // Names and sections the format could mistake for something else.
  written.WriteString("odd]section\n", "name=with=equals", "v1");
  written.WriteString("Strings", "[bracketed", "v2");
  written.WriteString("Strings", "#hash", "v3");
  ASSERT_TRUE(written.Save());

  SettingsFile read(path);
  read.Load();
  for (std::size_t i = 0; i < std::size(strings); ++i) {
    EXPECT_EQ(read.ReadString("Strings", key('s', i), "default"), strings[i]) << i;
  }
  for (std::size_t i = 0; i < std::size(integers); ++i) {
    EXPECT_EQ(read.ReadInteger("Update", key('i', i), 42), integers[i]) << i;
  }
  for (std::size_t i = 0; i < std::size(dates); ++i) {
    const double back = read.ReadDate("Update", key('d', i), 42.0);
    EXPECT_EQ(back, dates[i]) << i;
    EXPECT_EQ(std::signbit(back), std::signbit(dates[i])) << i;
  }
  EXPECT_FALSE(read.HasValue("Update", "LastCheck"));
  EXPECT_EQ(read.ReadString("odd]section\n", "name=with=equals", ""), "v1");
  EXPECT_EQ(read.ReadString("Strings", "[bracketed", ""), "v2");
  EXPECT_EQ(read.ReadString("Strings", "#hash", ""), "v3");
}

TEST(SettingsFile, MissingFileGivesDefaultsAndSaveMakesThePrivateFolder) {
  TempDir scratch{"settings_test"};
  const std::string folder = scratch / "config/korvane";
  const std::string path = folder + "/korvane.conf";
  SettingsFile settings(path);
  settings.Load();
  EXPECT_FALSE(settings.HasValue("Update", "Interval"));
  EXPECT_EQ(settings.ReadString("Update", "Interval", "dflt"), "dflt");
  EXPECT_EQ(settings.ReadInteger("Update", "Interval", 14), 14);
  EXPECT_EQ(settings.ReadDate("Update", "LastCheck", 1.5), 1.5);

  settings.WriteInteger("Update", "Interval", 30);
  ASSERT_TRUE(settings.Save());
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((scratch / "config").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // Saved under a temporary name and renamed: nothing else is left beside it.
  EXPECT_EQ(NamesIn(folder), std::vector<std::string>{"korvane.conf"});
  EXPECT_EQ(ReadFile(path), "[Update]\nInterval=30\n");

  // Loading again starts afresh rather than merging into what was there.
  WriteFile(path, "[Other]\nX=1\n");
  settings.Load();
  EXPECT_FALSE(settings.HasValue("Update", "Interval"));
  EXPECT_TRUE(settings.HasValue("Other", "X"));
}

TEST(SettingsFile, ReadsAHandWrittenFileAndKeepsWhatItDoesNotKnow) {
  TempDir scratch{"settings_test"};
  const std::string path = scratch / "korvane.conf";
  WriteFile(path,
            "\xEF\xBB\xBF"
            "top=level\r\n"
            "; a comment=not a value\r\n"
            "# another=comment\n"
            "garbage line without equals\n"
            "[Update]\r\n"
            "Interval=7\n"
            "interval=99\n"
            "Interval=8\n"
            "Path=C:\\data\\new\n"
            "Spaced = value \n"
            "\n"
            "[Plugin]\n"
            "Color=blue\n");
  SettingsFile settings(path);
  settings.Load();
  EXPECT_EQ(settings.ReadString("", "top", ""), "level");
  EXPECT_FALSE(settings.HasValue("", "; a comment"));
  EXPECT_EQ(settings.ReadInteger("Update", "Interval", 0), 8);   // the later one wins
  EXPECT_EQ(settings.ReadInteger("Update", "interval", 0), 99);  // names are exact
  EXPECT_EQ(settings.ReadString("Update", "Path", ""), "C:\\data\\new");
  EXPECT_EQ(settings.ReadString("Update", "Spaced ", ""), " value ");
  EXPECT_FALSE(settings.HasValue("Update", "Spaced"));
  EXPECT_FALSE(settings.HasValue("update", "Interval"));

  settings.WriteInteger("Update", "Interval", 9);
  ASSERT_TRUE(settings.Save());
  SettingsFile again(path);
  again.Load();
  EXPECT_EQ(again.ReadInteger("Update", "Interval", 0), 9);
  EXPECT_EQ(again.ReadString("Plugin", "Color", ""), "blue");
  EXPECT_EQ(again.ReadString("", "top", ""), "level");
  EXPECT_EQ(again.ReadString("Update", "Path", ""), "C:\\data\\new");
  EXPECT_EQ(again.ReadString("Update", "Spaced ", ""), " value ");
}

TEST(SettingsFile, NumbersThatAreNotNumbersReadAsTheDefault) {
  TempDir scratch{"settings_test"};
  const std::string path = scratch / "korvane.conf";
  SettingsFile settings(path);
  const std::pair<const char*, std::optional<std::int32_t>> integers[] = {
      {"12", 12},
      {"-12", -12},
      {"+12", 12},
      {" 12\t", 12},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", {}},
      {"-2147483649", {}},
      {"", {}},
      {"12x", {}},
      {"1 2", {}},
      {"0x10", {}},
      {"+-1", {}},
      {"++1", {}},
      {"1.0", {}},
      {"-", {}},
  };
  for (const auto& [text, expected] : integers) {
    settings.WriteString("N", "v", text);
    EXPECT_EQ(settings.ReadInteger("N", "v", -7), expected.value_or(-7)) << "'" << text << "'";
  }
  const std::pair<const char*, std::optional<double>> dates[] = {
      {"45000.25", 45000.25},
      {"-1.5e2", -150.0},
      {"+3", 3.0},
      {".5", 0.5},
      {"5.", 5.0},
      {" 2 ", 2.0},
      {"1E3", 1000.0},
      {"nan", {}},
      {"inf", {}},
      {"-infinity", {}},
      {"1e999", {}},
      {"0x1p3", {}},
      {"1,5", {}},
      {"", {}},
      {".", {}},
      {"1e", {}},
      {"e5", {}},
      {"1.2.3", {}},
  };
  for (const auto& [text, expected] : dates) {
    settings.WriteString("N", "v", text);
    EXPECT_EQ(settings.ReadDate("N", "v", -7.0), expected.value_or(-7.0)) << "'" << text << "'";
  }
}

TEST(SettingsFile, SaveReportsAFolderItCannotMake) {
  TempDir scratch{"settings_test"};
  WriteFile(scratch / "plain", "a file, not a folder");
  SettingsFile settings(scratch / "plain/korvane/korvane.conf");
  settings.WriteString("Update", "X", "1");
  EXPECT_FALSE(settings.Save());
  EXPECT_FALSE(SettingsFile("").Save());
}

TEST(SettingsFile, DefaultPathFollowsTheConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(SettingsFile::DefaultPath(), "/somewhere/config/korvane/korvane.conf");
  EXPECT_EQ(SettingsFile().Path(), "/somewhere/config/korvane/korvane.conf");
  if (saved) {
    setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace korvane::platform

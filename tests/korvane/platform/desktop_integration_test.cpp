#include "korvane/platform/desktop_integration.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/scratch.h"

namespace korvane::platform {
namespace {

using testsupport::ScopedEnv;

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// The packaging folder of the source tree this test was built from.
fs::path PackagingDir() {
  return fs::path(__FILE__).parent_path().parent_path().parent_path().parent_path() / "packaging";
}

std::string ProgramOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) {
      return folder + "/" + name;
    }
  }
  return {};
}

struct Expected {
  const char* Path;  // below the data home
  const char* Packaged;
  unsigned Mode;
};

const Expected kExpectedFiles[] = {
    {"applications/korvane.desktop", "korvane.desktop", 0644},
    {"mime/packages/korvane-container.xml", "korvane-container.xml", 0644},
    {"icons/hicolor/scalable/apps/korvane.svg", "korvane.svg", 0644},
    {"nautilus/scripts/Protect with Korvane", "nautilus/Protect with Korvane", 0755},
    {"nautilus/scripts/Open with Korvane", "nautilus/Open with Korvane", 0755},
    {"nautilus/scripts/Browse with Korvane", "nautilus/Browse with Korvane", 0755},
    {"nemo/actions/korvane-protect.nemo_action", "nemo/korvane-protect.nemo_action", 0644},
    {"nemo/actions/korvane-open.nemo_action", "nemo/korvane-open.nemo_action", 0644},
    {"nemo/actions/korvane-browse.nemo_action", "nemo/korvane-browse.nemo_action", 0644},
    {"kio/servicemenus/korvane-protect.desktop", "dolphin/korvane-protect.desktop", 0755},
    {"kio/servicemenus/korvane-open.desktop", "dolphin/korvane-open.desktop", 0755},
    {"kio/servicemenus/korvane-browse.desktop", "dolphin/korvane-browse.desktop", 0755},
    {"kservices5/ServiceMenus/korvane-protect.desktop", "dolphin/korvane-protect.desktop", 0755},
    {"kservices5/ServiceMenus/korvane-open.desktop", "dolphin/korvane-open.desktop", 0755},
    {"kservices5/ServiceMenus/korvane-browse.desktop", "dolphin/korvane-browse.desktop", 0755},
};

// A home of its own for every test: HOME, the XDG data and config homes and
// the system config folders all point into a temporary tree, and PATH into
// an empty folder so no desktop helper runs unless a test asks for one.
class DesktopIntegrationTest : public ::testing::Test {
 protected:
  DesktopIntegrationTest()
      : root_(MakeRoot()),
        home_("HOME", (root_ / "home").string()),
        data_("XDG_DATA_HOME", (root_ / "data").string()),
        config_("XDG_CONFIG_HOME", (root_ / "config").string()),
        configDirs_("XDG_CONFIG_DIRS", (root_ / "etc-xdg").string()),
        desktop_("XDG_CURRENT_DESKTOP", std::nullopt),
        realPath_(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin"),
        path_("PATH", (root_ / "no-helpers").string()) {
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "no-helpers");
  }
  ~DesktopIntegrationTest() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  static fs::path MakeRoot() {
    char pattern[] = "/tmp/desktop_integration_test.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    return made;
  }

  fs::path Data() const { return root_ / "data"; }
  fs::path Config() const { return root_ / "config"; }
  fs::path Uca() const { return Config() / "Thunar" / "uca.xml"; }

  // Every regular file below the root but outside the helpers' folder, with
  // its content and mode.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      if (!entry.is_regular_file()) continue;
      struct stat info {};
      ::stat(entry.path().c_str(), &info);
      files[entry.path().string()] =
          std::to_string(info.st_mode & 07777) + ":" + ReadFile(entry.path());
    }
    return files;
  }

  fs::path root_;
  ScopedEnv home_;
  ScopedEnv data_;
  ScopedEnv config_;
  ScopedEnv configDirs_;
  ScopedEnv desktop_;
  std::string realPath_;
  ScopedEnv path_;
};

// The installed files are the packaged ones with the program path put in,
// nothing else changed, with the modes file managers require.
TEST_F(DesktopIntegrationTest, InstallWritesThePackagedFilesWithTheProgramPath) {
  const std::string program = "/opt/Kor vane/bin/korvane";
  std::string report;
  ASSERT_EQ(InstallDesktopIntegration(program, report), 0) << report;

  for (const Expected& file : kExpectedFiles) {
    SCOPED_TRACE(file.Path);
    const fs::path installed = Data() / file.Path;
    struct stat info {};
    ASSERT_EQ(::lstat(installed.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, file.Mode);
    EXPECT_NE(report.find(installed.string()), std::string::npos) << report;
    const std::string packaged = ReadFile(PackagingDir() / file.Packaged);
    ASSERT_FALSE(packaged.empty()) << "missing " << (PackagingDir() / file.Packaged);
    std::string content = ReadFile(installed);
    content = ReplaceAll(content, "\"" + program + "\"", "korvane");
    content = ReplaceAll(content, "'" + program + "'", "korvane");
    content = ReplaceAll(content, "TryExec=" + program, "TryExec=korvane");
    EXPECT_EQ(content, packaged);
  }

  const std::string entry = ReadFile(Data() / "applications/korvane.desktop");
  EXPECT_NE(entry.find("\nExec=\"/opt/Kor vane/bin/korvane\" -OPEN %f\n"), std::string::npos);
  EXPECT_NE(entry.find("\nExec=\"/opt/Kor vane/bin/korvane\" -PROTECT %f\n"), std::string::npos);
  EXPECT_NE(entry.find("\nExec=\"/opt/Kor vane/bin/korvane\" -BROWSE %f\n"), std::string::npos);
  EXPECT_NE(entry.find("\nActions=Protect;Open;Browse;\n"), std::string::npos);
  EXPECT_EQ(entry.find("Exec=korvane"), std::string::npos);
  const std::string uca = ReadFile(Uca());
  EXPECT_NE(uca.find("<command>'/opt/Kor vane/bin/korvane' -PROTECT %f</command>"),
            std::string::npos)
      << uca;
  EXPECT_NE(uca.find("<command>'/opt/Kor vane/bin/korvane' -OPEN %f</command>"), std::string::npos);
  EXPECT_NE(uca.find("<command>'/opt/Kor vane/bin/korvane' -BROWSE %f</command>"),
            std::string::npos);
}

// Each character with a meaning to the launcher or the shell reaches them
// escaped; the launcher must pass desktop-file-validate where it exists.
TEST_F(DesktopIntegrationTest, ProgramPathIsQuotedForLaunchersAndScripts) {
  struct Case {
    const char* Program;
    const char* ExecArgument;   // as written in the key file
    const char* ScriptProgram;  // the script's "program=" line
  };
  const Case cases[] = {
      {"/usr/bin/korvane", R"("/usr/bin/korvane")", R"(program='/usr/bin/korvane')"},
      {R"(/opt/a"b/korvane)", R"("/opt/a\\"b/korvane")", R"(program='/opt/a"b/korvane')"},
      {"/opt/a$b`c/korvane", R"("/opt/a\\$b\\`c/korvane")", R"(program='/opt/a$b`c/korvane')"},
      {R"(/opt/a\b/korvane)", R"("/opt/a\\\\b/korvane")", R"(program='/opt/a\b/korvane')"},
      {"/opt/it's/korvane", R"("/opt/it's/korvane")", R"(program='/opt/it'\''s/korvane')"},
      {"/opt/\xc3\xa9t\xc3\xa9/korvane", "\"/opt/\xc3\xa9t\xc3\xa9/korvane\"",
       "program='/opt/\xc3\xa9t\xc3\xa9/korvane'"},
  };
  const std::string validator = [this] {
    ScopedEnv path("PATH", realPath_);
    return ProgramOnPath("desktop-file-validate");
  }();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Program);
    std::string report;
    ASSERT_EQ(InstallDesktopIntegration(c.Program, report), 0) << report;
    const std::string entry = ReadFile(Data() / "applications/korvane.desktop");
    EXPECT_NE(entry.find(std::string("\nExec=") + c.ExecArgument + " -OPEN %f\n"),
              std::string::npos)
        << entry;
    const std::string script = ReadFile(Data() / "nautilus/scripts/Open with Korvane");
    EXPECT_NE(script.find(std::string("\n") + c.ScriptProgram + "\n"), std::string::npos) << script;
    if (!validator.empty()) {
      const std::string command =
          validator + " '" + (Data() / "applications/korvane.desktop").string() + "' >/dev/null";
      EXPECT_EQ(std::system(command.c_str()), 0) << entry;
    }
  }
}

// A path that no launcher can carry is refused before anything is written.
TEST_F(DesktopIntegrationTest, UnusableProgramPathWritesNothing) {
  const std::string refused[] = {
      "/opt/100%/korvane",
      "/opt/two\nlines/korvane",
      "/opt/tab\there/korvane",
      "/opt/\xff\xfe/korvane",
  };
  for (const std::string& program : refused) {
    SCOPED_TRACE(program);
    std::string report;
    EXPECT_EQ(InstallDesktopIntegration(program, report), 1);
    EXPECT_NE(report.find("cannot be written"), std::string::npos) << report;
    EXPECT_FALSE(fs::exists(Data()));
    EXPECT_FALSE(fs::exists(Config()));
  }
}

// The installed scripts act on what the file manager selected: folders for
// Protect, containers for Open and Browse, everything else left alone, names
// with spaces and quotes intact.
TEST_F(DesktopIntegrationTest, NautilusScriptsStartTheProgramOnTheRightSelection) {
  const fs::path log = root_ / "calls.log";
  const fs::path program = root_ / "bin dir" / "fake 'korvane'";
  WriteFile(program, "#!/bin/sh\nprintf '%s|%s\\n' \"$1\" \"$2\" >> '" + log.string() + "'\n");
  fs::permissions(program, fs::perms::owner_all);
  std::string report;
  ASSERT_EQ(InstallDesktopIntegration(program.string(), report), 0) << report;

  const fs::path folder = root_ / "my \"folder\"";
  const fs::path container = root_ / "old folder._zkvlk";
  const fs::path other = root_ / "notes.txt";
  fs::create_directories(folder);
  WriteFile(container, "container");
  WriteFile(other, "text");
  const std::string selection =
      folder.string() + "\n" + container.string() + "\n" + other.string() + "\n";
  ScopedEnv selected("NAUTILUS_SCRIPT_SELECTED_FILE_PATHS", selection);
  ScopedEnv path("PATH", realPath_);

  const std::string protect =
      "'" + (Data() / "nautilus/scripts/Protect with Korvane").string() + "'";
  ASSERT_EQ(std::system(protect.c_str()), 0);
  EXPECT_EQ(ReadFile(log), "-PROTECT|" + folder.string() + "\n");
  fs::remove(log);
  const std::string open = "'" + (Data() / "nautilus/scripts/Open with Korvane").string() + "'";
  ASSERT_EQ(std::system(open.c_str()), 0);
  EXPECT_EQ(ReadFile(log), "-OPEN|" + container.string() + "\n");
  fs::remove(log);
  // Each container browses in a program of its own; the script returns once
  // they all ended.
  const fs::path second = root_ / "it's \"two\"._zkvlk";
  WriteFile(second, "container");
  ScopedEnv two("NAUTILUS_SCRIPT_SELECTED_FILE_PATHS",
                selection + second.string() + "\n" + (root_ / "gone._zkvlk").string() + "\n");
  const std::string browse = "'" + (Data() / "nautilus/scripts/Browse with Korvane").string() + "'";
  ASSERT_EQ(std::system(browse.c_str()), 0);
  const std::string calls = ReadFile(log);
  EXPECT_EQ(Count(calls, "\n"), 2u) << calls;
  EXPECT_NE(calls.find("-BROWSE|" + container.string() + "\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("-BROWSE|" + second.string() + "\n"), std::string::npos) << calls;
}

// A second install changes nothing; uninstall leaves nothing of ours, and
// backs out only what is ours.
TEST_F(DesktopIntegrationTest, InstallTwiceIsIdempotentAndUninstallRemovesEverything) {
  std::string report;
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  const auto first = Snapshot();
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  EXPECT_EQ(Snapshot(), first);
  EXPECT_EQ(report.find("wrote"), std::string::npos) << report;
  EXPECT_EQ(report.find("backed up"), std::string::npos) << report;
  EXPECT_EQ(Count(ReadFile(Uca()), "<unique-id>korvane-protect</unique-id>"), 1u);

  // A new program path rewrites the launchers in place.
  ASSERT_EQ(InstallDesktopIntegration("/opt/korvane/korvane", report), 0) << report;
  EXPECT_NE(ReadFile(Data() / "applications/korvane.desktop").find("Exec=\"/opt/korvane/korvane\""),
            std::string::npos);
  EXPECT_EQ(Count(ReadFile(Uca()), "<command>"), 3u);

  ASSERT_EQ(UninstallDesktopIntegration(report), 0) << report;
  for (const Expected& file : kExpectedFiles) {
    EXPECT_FALSE(fs::exists(Data() / file.Path)) << file.Path;
  }
  EXPECT_EQ(ReadFile(Uca()).find("korvane"), std::string::npos) << ReadFile(Uca());
  ASSERT_EQ(UninstallDesktopIntegration(report), 0) << report;
}

// Someone else's file in our place is moved aside, never overwritten, and
// comes back when we go; earlier backups are never overwritten either.
TEST_F(DesktopIntegrationTest, ForeignFilesAreBackedUpAndRestored) {
  const fs::path entry = Data() / "applications/korvane.desktop";
  const fs::path action = Data() / "nemo/actions/korvane-open.nemo_action";
  WriteFile(entry, "[Desktop Entry]\nName=Someone else's\n");
  WriteFile(action, "mine\n");
  WriteFile(action.string() + ".korvane-backup", "an older backup\n");

  std::string report;
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  EXPECT_EQ(ReadFile(entry.string() + ".korvane-backup"), "[Desktop Entry]\nName=Someone else's\n");
  EXPECT_EQ(ReadFile(action.string() + ".korvane-backup"), "an older backup\n");
  EXPECT_EQ(ReadFile(action.string() + ".korvane-backup.1"), "mine\n");
  EXPECT_NE(ReadFile(entry).find("Exec=\"/usr/bin/korvane\""), std::string::npos);
  EXPECT_NE(report.find("backed up " + entry.string()), std::string::npos) << report;

  // Installing again finds our files and makes no second backup.
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  EXPECT_FALSE(fs::exists(entry.string() + ".korvane-backup.1"));

  // A file the user put over ours after installing stays.
  const fs::path script = Data() / "nautilus/scripts/Open with Korvane";
  WriteFile(script, "#!/bin/sh\necho the user's own\n");
  ASSERT_EQ(UninstallDesktopIntegration(report), 0) << report;
  EXPECT_EQ(ReadFile(script), "#!/bin/sh\necho the user's own\n");
  EXPECT_NE(report.find("kept (not written by Korvane): " + script.string()), std::string::npos)
      << report;
  EXPECT_EQ(ReadFile(entry), "[Desktop Entry]\nName=Someone else's\n");
  EXPECT_FALSE(fs::exists(entry.string() + ".korvane-backup"));
}

// The Thunar actions file is shared with the user: ours go in once, theirs
// (and their comments) stay byte for byte, and uninstall gives back exactly
// the file they had.
TEST_F(DesktopIntegrationTest, ThunarActionsMergeKeepsTheUsersOwn) {
  const std::string users =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<actions>\n"
      "<!-- <action><unique-id>korvane-open</unique-id></action> in a comment is text -->\n"
      "<action>\n"
      "\t<icon>utilities-terminal</icon>\n"
      "\t<name>Open Terminal Here</name>\n"
      "\t<unique-id>1600000000000000-1</unique-id>\n"
      "\t<command>exo-open --working-directory %f --launch TerminalEmulator</command>\n"
      "\t<patterns>*</patterns>\n"
      "\t<directories/>\n"
      "</action>\n"
      "</actions>\n";
  WriteFile(Uca(), users);

  std::string report;
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  const std::string merged = ReadFile(Uca());
  EXPECT_NE(merged.find(users.substr(0, users.size() - std::string("</actions>\n").size())),
            std::string::npos)
      << merged;
  EXPECT_EQ(Count(merged, "<unique-id>korvane-protect</unique-id>"), 1u);
  EXPECT_EQ(Count(merged, "<unique-id>korvane-open</unique-id>"), 2u);  // ours + the comment
  EXPECT_EQ(merged.substr(merged.size() - 11), "</actions>\n");

  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  EXPECT_EQ(ReadFile(Uca()), merged);

  ASSERT_EQ(UninstallDesktopIntegration(report), 0) << report;
  EXPECT_EQ(ReadFile(Uca()), users);
}

// With no file of their own, Thunar shows the system's actions; the user's
// new file starts from those so adding ours hides none of them. A file we
// cannot make sense of is kept aside whole.
TEST_F(DesktopIntegrationTest, ThunarActionsStartFromTheSystemFileAndKeepBrokenOnes) {
  const std::string system =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n"
      "\t<name>Open Terminal Here</name>\n\t<unique-id>1-1</unique-id>\n"
      "\t<command>x-terminal-emulator</command>\n</action>\n</actions>\n";
  WriteFile(root_ / "etc-xdg/Thunar/uca.xml", system);
  std::string report;
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  std::string merged = ReadFile(Uca());
  EXPECT_NE(merged.find("<name>Open Terminal Here</name>"), std::string::npos) << merged;
  EXPECT_EQ(Count(merged, "<unique-id>korvane-"), 3u);

  WriteFile(Uca(), "not xml at all");
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  EXPECT_EQ(ReadFile(Uca().string() + ".korvane-backup"), "not xml at all");
  EXPECT_EQ(Count(ReadFile(Uca()), "<unique-id>korvane-"), 3u);
}

// With the desktop helpers installed, the file type reaches the user's MIME
// database and korvane becomes its default application; uninstall takes both
// back and leaves the user's other defaults alone.
TEST_F(DesktopIntegrationTest, HelpersRegisterAndForgetTheFileType) {
  ScopedEnv path("PATH", realPath_);
  if (ProgramOnPath("update-mime-database").empty() || ProgramOnPath("xdg-mime").empty()) {
    GTEST_SKIP() << "update-mime-database or xdg-mime is not installed";
  }
  const fs::path mimeapps = Config() / "mimeapps.list";
  WriteFile(mimeapps, "[Default Applications]\ntext/plain=editor.desktop;\n");
  std::string report;
  ASSERT_EQ(InstallDesktopIntegration("/usr/bin/korvane", report), 0) << report;
  EXPECT_NE(report.find("ran update-mime-database"), std::string::npos) << report;
  EXPECT_TRUE(fs::exists(Data() / "mime/application/x-korvane-container.xml")) << report;
  const std::string defaults = ReadFile(mimeapps);
  EXPECT_NE(defaults.find("application/x-korvane-container=korvane.desktop"), std::string::npos)
      << defaults << report;

  ASSERT_EQ(UninstallDesktopIntegration(report), 0) << report;
  EXPECT_FALSE(fs::exists(Data() / "mime/application/x-korvane-container.xml")) << report;
  const std::string after = ReadFile(mimeapps);
  EXPECT_EQ(after.find("korvane"), std::string::npos) << after;
  EXPECT_NE(after.find("text/plain=editor.desktop;"), std::string::npos) << after;
}

}  // namespace
}  // namespace korvane::platform

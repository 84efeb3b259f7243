#include "korvane/platform/desktop_integration.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "korvane/platform/desktop_files.h"  // generated from packaging/
#include "korvane/platform/platform.h"

extern char** environ;

namespace korvane::platform {

namespace {

// Every file we write carries this text (a comment line); a file without it
// belongs to someone else and is moved aside rather than replaced.
constexpr std::string_view kOwnMarker = "Korvane desktop integration";
constexpr std::string_view kBackupSuffix = ".korvane-backup";
constexpr std::string_view kContainerType = "application/x-korvane-container";
constexpr std::string_view kDesktopId = "korvane.desktop";
// Our entries in the Thunar actions file, told apart by their unique-id.
constexpr std::string_view kThunarIds[] = {"korvane-protect", "korvane-open", "korvane-browse"};
// Nothing we would ever have written is this large; a bigger file is not
// read into memory to look for the marker.
constexpr off_t kMaxOwnFileSize = 1 << 20;

// How the program path goes into a file.
enum class ProgramSlot {
  None,         // the file names no program
  DesktopExec,  // "Exec=korvane ..." / "TryExec=korvane" lines of a key file
  ShellScript,  // the line "program=korvane"
};

struct IntegrationFile {
  std::string_view RelativePath;  // below the XDG data home
  std::string_view Content;
  ProgramSlot Slot;
  mode_t Mode;
};

// The service menus go to the current folder and to the one older KDE
// releases read; the Dolphin ones must be executable or KDE ignores them.
constexpr IntegrationFile kFiles[] = {
    {"applications/korvane.desktop", desktop_files::kApplicationEntry, ProgramSlot::DesktopExec,
     0644},
    {"mime/packages/korvane-container.xml", desktop_files::kContainerMimeType, ProgramSlot::None,
     0644},
    {"icons/hicolor/scalable/apps/korvane.svg", desktop_files::kProgramIcon, ProgramSlot::None,
     0644},
    {"nautilus/scripts/Protect with Korvane", desktop_files::kNautilusProtect,
     ProgramSlot::ShellScript, 0755},
    {"nautilus/scripts/Open with Korvane", desktop_files::kNautilusOpen, ProgramSlot::ShellScript,
     0755},
    {"nautilus/scripts/Browse with Korvane", desktop_files::kNautilusBrowse,
     ProgramSlot::ShellScript, 0755},
    {"nemo/actions/korvane-protect.nemo_action", desktop_files::kNemoProtect,
     ProgramSlot::DesktopExec, 0644},
    {"nemo/actions/korvane-open.nemo_action", desktop_files::kNemoOpen, ProgramSlot::DesktopExec,
     0644},
    {"nemo/actions/korvane-browse.nemo_action", desktop_files::kNemoBrowse,
     ProgramSlot::DesktopExec, 0644},
    {"kio/servicemenus/korvane-protect.desktop", desktop_files::kDolphinProtect,
     ProgramSlot::DesktopExec, 0755},
    {"kio/servicemenus/korvane-open.desktop", desktop_files::kDolphinOpen, ProgramSlot::DesktopExec,
     0755},
    {"kio/servicemenus/korvane-browse.desktop", desktop_files::kDolphinBrowse,
     ProgramSlot::DesktopExec, 0755},
    {"kservices5/ServiceMenus/korvane-protect.desktop", desktop_files::kDolphinProtect,
     ProgramSlot::DesktopExec, 0755},
    {"kservices5/ServiceMenus/korvane-open.desktop", desktop_files::kDolphinOpen,
     ProgramSlot::DesktopExec, 0755},
    {"kservices5/ServiceMenus/korvane-browse.desktop", desktop_files::kDolphinBrowse,
     ProgramSlot::DesktopExec, 0755},
};

// ---------------------------------------------------------------- report

class Report {
 public:
  explicit Report(std::string& text) : text_(text) { text_.clear(); }
  void Line(std::string_view what, const std::string& path) {
    text_.append(what).append(" ").append(path).push_back('\n');
  }
  void Failure(std::string_view what, const std::string& path, int error) {
    text_.append("failed: ").append(what).append(" ").append(path).append(": ");
    text_.append(std::strerror(error)).push_back('\n');
    failed_ = true;
  }
  void Note(std::string_view text) { text_.append(text).push_back('\n'); }
  void Fail() { failed_ = true; }
  int Result() const { return failed_ ? 1 : 0; }

 private:
  std::string& text_;
  bool failed_ = false;
};

// ---------------------------------------------------------------- folders

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// $XDG_CONFIG_DIRS (default /etc/xdg), absolute entries only.
std::vector<std::string> ConfigDirs() {
  std::vector<std::string> folders;
  const char* value = std::getenv("XDG_CONFIG_DIRS");
  std::string_view rest = (value != nullptr && value[0] != '\0') ? value : "/etc/xdg";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (!folder.empty() && folder.front() == '/') {
      folders.push_back(StripTrailingSlashes(std::string(folder)));
    }
  }
  return folders;
}

// mkdir -p; folders that exist are left as they are. False with errno set.
bool MakeFolders(const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const std::string parent = ParentDirectory(folder);
  if (parent != folder && parent != "/" && parent != "." && !MakeFolders(parent)) return false;
  return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

// ---------------------------------------------------------------- files

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  // Closes now; false with errno set when close reports an error.
  bool Close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The whole of a regular file (links are not followed). False with errno set.
bool ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return false;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

// Writes the file under a temporary name in the same folder and renames it
// into place: a reader (or a crash) sees the old file or the new one, never
// half of either. False with errno set.
bool WriteFileAtomically(const std::string& path, std::string_view content, mode_t mode) {
  std::string temporary = ParentDirectory(path) + "/.korvane-XXXXXX";
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.Get() < 0) return false;
  auto fail = [&temporary]() {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    return false;
  };
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::write(fd.Get(), content.data() + done, content.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return fail();
    done += static_cast<std::size_t>(wrote);
  }
  if (::fchmod(fd.Get(), mode) != 0 || ::fsync(fd.Get()) != 0 || !fd.Close()) return fail();
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail();
  return true;
}

enum class Presence { Missing, Ours, Foreign, Unreadable };

// Whether the path holds one of our files. A link, a folder or a file
// without our marker is someone else's.
Presence Examine(const std::string& path, std::string* content = nullptr, mode_t* mode = nullptr) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? Presence::Missing : Presence::Unreadable;
  }
  if (!S_ISREG(info.st_mode) || info.st_size > kMaxOwnFileSize) return Presence::Foreign;
  std::string text;
  if (!ReadWholeFile(path, text)) return Presence::Unreadable;
  if (text.find(kOwnMarker) == std::string::npos) return Presence::Foreign;
  if (mode != nullptr) *mode = info.st_mode & 07777;
  if (content != nullptr) *content = std::move(text);
  return Presence::Ours;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// Moves someone else's file aside to "<name>.korvane-backup" (".1", ".2"
// and so on after it when that name is taken: no earlier backup is lost).
bool BackUp(const std::string& path, Report& report) {
  std::string backup = path + std::string(kBackupSuffix);
  for (int number = 1; Exists(backup); ++number) {
    backup = path + std::string(kBackupSuffix) + "." + std::to_string(number);
  }
  if (::rename(path.c_str(), backup.c_str()) != 0) {
    report.Failure("could not back up", path, errno);
    return false;
  }
  report.Line("backed up", path + " as " + backup);
  return true;
}

// Writes our version of a file, leaving it alone when it is already so.
void PlaceFile(const std::string& path, std::string_view content, mode_t mode, Report& report) {
  const std::string folder = ParentDirectory(path);
  if (!MakeFolders(folder)) {
    report.Failure("could not create", folder, errno);
    return;
  }
  std::string existing;
  mode_t existingMode = 0;
  switch (Examine(path, &existing, &existingMode)) {
    case Presence::Ours:
      if (existing == content && existingMode == mode) {
        report.Line("up to date:", path);
        return;
      }
      break;
    case Presence::Foreign:
      if (!BackUp(path, report)) return;
      break;
    case Presence::Unreadable:
      report.Failure("could not read", path, errno);
      return;
    case Presence::Missing:
      break;
  }
  if (!WriteFileAtomically(path, content, mode)) {
    report.Failure("could not write", path, errno);
    return;
  }
  report.Line("wrote", path);
}

// Removes our file and puts back the backup that took its place.
void RemoveFile(const std::string& path, Report& report) {
  switch (Examine(path)) {
    case Presence::Ours:
      if (::unlink(path.c_str()) != 0) {
        report.Failure("could not remove", path, errno);
        return;
      }
      report.Line("removed", path);
      break;
    case Presence::Foreign:
      report.Line("kept (not written by Korvane):", path);
      return;
    case Presence::Unreadable:
      report.Failure("could not read", path, errno);
      return;
    case Presence::Missing:
      break;
  }
  const std::string backup = path + std::string(kBackupSuffix);
  if (!Exists(path) && Exists(backup)) {
    if (::rename(backup.c_str(), path.c_str()) != 0) {
      report.Failure("could not restore", backup, errno);
      return;
    }
    report.Line("restored", path + " from " + backup);
  }
}

// ---------------------------------------------------------------- the program path

// The program path goes into key files, shell scripts and command lines
// that file managers expand '%' codes in. Control characters have no safe
// spelling in all of them, '%' would be taken for a code, and key files are
// UTF-8 text.
bool UsableProgramPath(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  for (std::size_t at = 0; at < path.size();) {
    const unsigned char byte = static_cast<unsigned char>(path[at]);
    if (byte < 0x20 || byte == 0x7F || byte == '%') return false;
    const std::size_t length = Utf8CharLength(path, at);
    if (byte >= 0x80 && length == 1) return false;
    at += length;
  }
  return true;
}

// One argument of an Exec line: in double quotes with '"', '`', '$' and '\'
// escaped, and then every '\' doubled again as the key file's own escape.
std::string DesktopExecArgument(std::string_view path) {
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
    } else if (c == '\\') {
      quoted += "\\\\\\";
    }
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

// A plain key-file string: only '\' needs escaping.
std::string DesktopString(std::string_view path) {
  std::string escaped;
  for (const char c : path) {
    if (c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

// In single quotes for the shell; a quote in the path closes, escapes and
// reopens.
std::string ShellArgument(std::string_view path) {
  std::string quoted = "'";
  for (const char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

std::string XmlText(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped.push_back(c);
    }
  }
  return escaped;
}

// Rewrites the lines that start the program; false when the text has none
// (the packaged file no longer matches what this code expects).
bool InsertProgram(std::string_view content, ProgramSlot slot, const std::string& program,
                   std::string& result) {
  result.clear();
  if (slot == ProgramSlot::None) {
    result.assign(content);
    return true;
  }
  bool replaced = false;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    constexpr std::string_view kExec = "Exec=korvane";
    constexpr std::string_view kTryExec = "TryExec=korvane";
    constexpr std::string_view kScriptProgram = "program=korvane";
    if (slot == ProgramSlot::DesktopExec && line.substr(0, kExec.size()) == kExec &&
        (line.size() == kExec.size() || line[kExec.size()] == ' ')) {
      result += "Exec=" + DesktopExecArgument(program);
      result.append(line.substr(kExec.size()));
      replaced = true;
    } else if (slot == ProgramSlot::DesktopExec && line == kTryExec) {
      result += "TryExec=" + DesktopString(program);
    } else if (slot == ProgramSlot::ShellScript && line == kScriptProgram) {
      result += "program=" + ShellArgument(program);
      replaced = true;
    } else {
      result.append(line);
    }
    if (end != std::string_view::npos) result.push_back('\n');
  }
  return replaced;
}

// ---------------------------------------------------------------- Thunar actions

struct Span {
  std::size_t Begin;
  std::size_t End;  // one past "</action>"
};

// The <action> elements of a Thunar actions file, in order. Comments and
// CDATA sections are stepped over: an "<action>" written inside one is text.
std::vector<Span> ActionElements(std::string_view xml) {
  std::vector<Span> spans;
  std::size_t at = 0;
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = xml.substr(at);
    if (rest.substr(0, 4) == "<!--") {
      const std::size_t close = xml.find("-->", at + 4);
      if (close == std::string_view::npos) break;
      at = close + 3;
    } else if (rest.substr(0, 9) == "<![CDATA[") {
      const std::size_t close = xml.find("]]>", at + 9);
      if (close == std::string_view::npos) break;
      at = close + 3;
    } else if (rest.substr(0, 7) == "<action" && rest.size() > 7 &&
               (rest[7] == '>' || rest[7] == ' ' || rest[7] == '\t' || rest[7] == '\n' ||
                rest[7] == '\r')) {
      constexpr std::string_view kClose = "</action>";
      const std::size_t close = xml.find(kClose, at);
      if (close == std::string_view::npos) break;
      spans.push_back({at, close + kClose.size()});
      at = close + kClose.size();
    } else {
      ++at;
    }
  }
  return spans;
}

bool IsOurAction(std::string_view element) {
  for (const std::string_view id : kThunarIds) {
    const std::string tag = "<unique-id>" + std::string(id) + "</unique-id>";
    if (element.find(tag) != std::string_view::npos) return true;
  }
  return false;
}

// Removes our <action> elements, each with the indentation before it and the
// line break after it. Returns how many were removed.
int RemoveOurActions(std::string& xml) {
  int removed = 0;
  const std::vector<Span> spans = ActionElements(xml);
  for (auto span = spans.rbegin(); span != spans.rend(); ++span) {
    if (!IsOurAction(std::string_view(xml).substr(span->Begin, span->End - span->Begin))) {
      continue;
    }
    std::size_t begin = span->Begin;
    while (begin > 0 && (xml[begin - 1] == ' ' || xml[begin - 1] == '\t')) --begin;
    std::size_t end = span->End;
    if (end < xml.size() && xml[end] == '\r') ++end;
    if (end < xml.size() && xml[end] == '\n') ++end;
    xml.erase(begin, end - begin);
    ++removed;
  }
  return removed;
}

// Our <action> elements, with the program path in their commands.
std::string OurThunarActions(const std::string& program) {
  const std::string_view snippet = desktop_files::kThunarActions;
  const std::string command = "<command>" + XmlText(ShellArgument(program)) + " ";
  std::string actions;
  for (const Span& span : ActionElements(snippet)) {
    std::string element(snippet.substr(span.Begin, span.End - span.Begin));
    constexpr std::string_view kPackaged = "<command>korvane ";
    const std::size_t at = element.find(kPackaged);
    if (at != std::string::npos) element.replace(at, kPackaged.size(), command);
    actions += element + "\n";
  }
  return actions;
}

constexpr std::string_view kEmptyThunarActions =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";

// Where Thunar reads the user's actions. A link (a managed dotfile, say)
// is followed so the link stays a link.
std::string ThunarActionsPath() {
  std::string path = ConfigHome() + "/Thunar/uca.xml";
  if (IsSymbolicLink(path)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      path = resolved;
      std::free(resolved);
    }
  }
  return path;
}

void MergeThunarActions(const std::string& program, Report& report) {
  const std::string path = ThunarActionsPath();
  std::string existing;
  mode_t mode = 0644;
  bool present = false;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode) || !ReadWholeFile(path, existing)) {
      report.Failure("could not read", path, S_ISREG(info.st_mode) ? errno : EINVAL);
      return;
    }
    present = true;
    mode = info.st_mode & 07777;
  } else if (errno != ENOENT) {
    report.Failure("could not read", path, errno);
    return;
  }

  std::string merged = existing;
  if (!present) {
    // Thunar shows the system's actions only while the user has no file of
    // their own: start from those so that adding ours hides none of them.
    merged = kEmptyThunarActions;
    for (const std::string& folder : ConfigDirs()) {
      std::string system;
      if (ReadWholeFile(folder + "/Thunar/uca.xml", system) &&
          system.rfind("</actions>") != std::string::npos) {
        merged = std::move(system);
        break;
      }
    }
  }
  std::size_t close = merged.rfind("</actions>");
  if (close == std::string::npos) {
    // Not an actions file we understand: keep it whole beside ours.
    if (!BackUp(path, report)) return;
    merged = kEmptyThunarActions;
    present = false;
  }
  RemoveOurActions(merged);
  close = merged.rfind("</actions>");
  std::string actions = OurThunarActions(program);
  if (close > 0 && merged[close - 1] != '\n') actions.insert(0, "\n");
  merged.insert(close, actions);

  if (present && merged == existing) {
    report.Line("up to date:", path);
    return;
  }
  if (!MakeFolders(ParentDirectory(path))) {
    report.Failure("could not create", ParentDirectory(path), errno);
    return;
  }
  if (!WriteFileAtomically(path, merged, mode)) {
    report.Failure("could not write", path, errno);
    return;
  }
  report.Line(present ? "added Korvane actions to" : "wrote", path);
}

void RemoveThunarActions(Report& report) {
  const std::string path = ThunarActionsPath();
  std::string content;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if (!ReadWholeFile(path, content)) {
    report.Failure("could not read", path, errno);
    return;
  }
  if (RemoveOurActions(content) == 0) return;
  if (!WriteFileAtomically(path, content, info.st_mode & 07777)) {
    report.Failure("could not write", path, errno);
    return;
  }
  report.Line("removed Korvane actions from", path);
}

// ---------------------------------------------------------------- default application

// Drops korvane.desktop from the container type's lines of mimeapps.list (in
// every section); other applications named there stay.
void ForgetDefaultApplication(Report& report) {
  const std::string path = ConfigHome() + "/mimeapps.list";
  std::string content;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if (!ReadWholeFile(path, content)) {
    report.Failure("could not read", path, errno);
    return;
  }
  const std::string key = std::string(kContainerType) + "=";
  std::string result;
  bool changed = false;
  std::string_view rest = content;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.substr(0, key.size()) != key) {
      result.append(line);
      if (end != std::string_view::npos) result.push_back('\n');
      continue;
    }
    std::string kept;
    std::string_view ids = line.substr(key.size());
    while (!ids.empty()) {
      const std::size_t semicolon = ids.find(';');
      const std::string_view id = ids.substr(0, semicolon);
      ids = semicolon == std::string_view::npos ? std::string_view() : ids.substr(semicolon + 1);
      if (id.empty()) continue;
      if (id == kDesktopId) {
        changed = true;
      } else {
        kept.append(id).push_back(';');
      }
    }
    if (!kept.empty()) result += key + kept + "\n";
  }
  if (!changed) return;
  if (!WriteFileAtomically(path, result, info.st_mode & 07777)) {
    report.Failure("could not write", path, errno);
    return;
  }
  report.Line("removed the default application for " + std::string(kContainerType) + " from", path);
}

// ---------------------------------------------------------------- helper programs

// Runs a desktop helper (when installed) and waits for it, its output
// discarded. Its failure is reported but fails nothing: the files are in
// place and the desktop picks them up at the next login at the latest.
void RunHelper(std::vector<std::string> arguments, Report& report) {
  std::string description;
  for (const std::string& argument : arguments) description += " " + argument;
  const std::string program = FindOnPath(arguments.front());
  if (program.empty()) {
    report.Note("skipped (not installed):" + description);
    return;
  }
  arguments.front() = program;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&files) != 0) {
    report.Note("warning: could not run" + description);
    return;
  }
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&files);
    report.Note("warning: could not run" + description);
    return;
  }
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The helper starts with every signal at its default and none blocked,
  // whatever this program ignores (SIGPIPE) or blocks.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t child = -1;
  const int error = posix_spawn(&child, program.c_str(), &files, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    report.Note("warning: could not run" + description + ": " + std::strerror(error));
    return;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      report.Note("warning: lost track of" + description);
      return;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    report.Note("ran" + description);
  } else {
    report.Note("warning: failed:" + description);
  }
}

}  // namespace

int InstallDesktopIntegration(const std::string& programPath, std::string& reportText) {
  Report report(reportText);
  const std::string program = AbsolutePath(programPath);
  if (!UsableProgramPath(program)) {
    report.Note("failed: the program path \"" + programPath +
                "\" cannot be written into a launcher (it must be UTF-8 text without control "
                "characters or '%')");
    report.Fail();
    return report.Result();
  }
  const std::string dataHome = DataHome();
  for (const IntegrationFile& file : kFiles) {
    const std::string path = dataHome + "/" + std::string(file.RelativePath);
    std::string content;
    if (!InsertProgram(file.Content, file.Slot, program, content)) {
      report.Note("failed: no program line in the built-in copy of " + path);
      report.Fail();
      continue;
    }
    PlaceFile(path, content, file.Mode, report);
  }
  MergeThunarActions(program, report);

  RunHelper({"update-mime-database", dataHome + "/mime"}, report);
  RunHelper({"update-desktop-database", "-q", dataHome + "/applications"}, report);
  RunHelper({"xdg-mime", "default", std::string(kDesktopId), std::string(kContainerType)}, report);
  return report.Result();
}

int UninstallDesktopIntegration(std::string& reportText) {
  Report report(reportText);
  const std::string dataHome = DataHome();
  for (const IntegrationFile& file : kFiles) {
    RemoveFile(dataHome + "/" + std::string(file.RelativePath), report);
  }
  RemoveThunarActions(report);
  ForgetDefaultApplication(report);

  if (IsDirectory(dataHome + "/mime/packages")) {
    RunHelper({"update-mime-database", dataHome + "/mime"}, report);
  }
  if (IsDirectory(dataHome + "/applications")) {
    RunHelper({"update-desktop-database", "-q", dataHome + "/applications"}, report);
  }
  return report.Result();
}

}  // namespace korvane::platform

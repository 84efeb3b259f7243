#include "korvane/platform/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <system_error>

#include "korvane/platform/platform.h"

namespace korvane::platform {

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// What the file format cannot hold as it stands. A value may hold any bytes:
// a line break or a carriage return inside one must not split it into lines
// of its own (a value could then forge a section), so control bytes are
// written as "\xHH" and the backslash itself as "\\". A backslash followed by
// anything else reads as itself, so hand-written values such as "C:\data"
// keep their meaning.
enum class Field { Section, Name, Value };

bool NeedsEscape(unsigned char byte, std::size_t at, Field field) {
  if (byte == '\\' || byte < 0x20 || byte == 0x7F) return true;
  if (field != Field::Name) return false;
  // A name must not end early at '=' nor look like a section or a comment.
  if (byte == '=') return true;
  return at == 0 && (byte == '[' || byte == ';' || byte == '#');
}

void AppendEscaped(std::string& out, std::string_view text, Field field) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (!NeedsEscape(byte, at, field)) {
      out.push_back(static_cast<char>(byte));
    } else if (byte == '\\') {
      out += "\\\\";
    } else {
      out += "\\x";
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 0x0F]);
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\\' && at + 1 < text.size()) {
      if (text[at + 1] == '\\') {
        out.push_back('\\');
        ++at;
        continue;
      }
      if (text[at + 1] == 'x' && at + 3 < text.size()) {
        const int high = HexValue(text[at + 2]);
        const int low = HexValue(text[at + 3]);
        if (high >= 0 && low >= 0) {
          out.push_back(static_cast<char>((high << 4) | low));
          at += 3;
          continue;
        }
      }
    }
    out.push_back(text[at]);
  }
  return out;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Plain decimal notation only: sign, digits, an optional fraction and
// exponent. Hexadecimal floats, "inf" and "nan" are no dates.
bool IsDecimalNumber(std::string_view text) {
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  std::size_t digits = 0;
  while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
  if (at < text.size() && text[at] == '.') {
    ++at;
    while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
  }
  if (digits == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t exponentDigits = 0;
    while (at < text.size() && IsDigit(text[at])) ++at, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return at == text.size();
}

// Creates every missing folder of the path, each with mode 0700.
bool MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    struct stat info {};
    // An existing folder may still answer with EACCES or EROFS instead of
    // EEXIST; only a folder that is really there lets us go on.
    if (::mkdir(prefix.c_str(), 0700) != 0 &&
        (::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::string SettingsFile::DefaultPath() {
  return ConfigHome() + "/korvane/korvane.conf";
}

SettingsFile::SettingsFile(std::string path) : path_(std::move(path)) {}

void SettingsFile::Load() {
  values_.clear();
  std::ifstream file(path_, std::ios::binary);
  if (!file) return;
  std::string section;
  std::string line;
  bool firstLine = true;
  while (std::getline(file, line)) {
    std::string_view text(line);
    if (firstLine && text.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark) {
      text.remove_prefix(kUtf8ByteOrderMark.size());
    }
    firstLine = false;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty() || text.front() == ';' || text.front() == '#') continue;
    if (text.front() == '[' && text.size() >= 2 && text.back() == ']') {
      section = Unescape(text.substr(1, text.size() - 2));
      continue;
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    values_[section][Unescape(text.substr(0, equals))] = Unescape(text.substr(equals + 1));
  }
}

bool SettingsFile::Save() const {
  if (path_.empty()) return false;
  std::string text;
  for (const auto& [section, values] : values_) {
    if (values.empty()) continue;
    if (!text.empty()) text.push_back('\n');
    // Values outside any section (the empty name sorts first) need no
    // header: that is where they came from.
    if (!section.empty()) {
      text.push_back('[');
      AppendEscaped(text, section, Field::Section);
      text += "]\n";
    }
    for (const auto& [name, value] : values) {
      AppendEscaped(text, name, Field::Name);
      text.push_back('=');
      AppendEscaped(text, value, Field::Value);
      text.push_back('\n');
    }
  }

  const std::string folder = ParentDirectory(path_);
  if (!MakeFolders(folder)) return false;
  std::string temporary = path_ + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), path_.c_str()) == 0;
  if (!ok) {
    const int savedErrno = errno;
    ::unlink(temporary.c_str());
    errno = savedErrno;
    return false;
  }
  // The rename itself lasts only once the folder is flushed.
  return SyncDirectory(folder);
}

bool SettingsFile::HasValue(const std::string& section, const std::string& name) const {
  const auto found = values_.find(section);
  return found != values_.end() && found->second.count(name) != 0;
}

std::string SettingsFile::ReadString(const std::string& section, const std::string& name,
                                     const std::string& defaultValue) const {
  const auto found = values_.find(section);
  if (found == values_.end()) return defaultValue;
  const auto value = found->second.find(name);
  return value == found->second.end() ? defaultValue : value->second;
}

std::int32_t SettingsFile::ReadInteger(const std::string& section, const std::string& name,
                                       std::int32_t defaultValue) const {
  if (!HasValue(section, name)) return defaultValue;
  const std::string text = ReadString(section, name, {});
  std::string_view digits = TrimBlanks(text);
  // from_chars takes a '-' but no '+'; "+-1" must not slip through.
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty() || !IsDigit(digits.front())) return defaultValue;
  }
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return defaultValue;
  return value;
}

double SettingsFile::ReadDate(const std::string& section, const std::string& name,
                              double defaultValue) const {
  if (!HasValue(section, name)) return defaultValue;
  const std::string text = ReadString(section, name, {});
  std::string_view number = TrimBlanks(text);
  if (!IsDecimalNumber(number)) return defaultValue;
  if (number.front() == '+') number.remove_prefix(1);
  // from_chars reads the same in every locale: a date written under a
  // locale with a decimal comma still reads back.
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size()) return defaultValue;
  return value;
}

void SettingsFile::WriteString(const std::string& section, const std::string& name,
                               const std::string& value) {
  values_[section][name] = value;
}

void SettingsFile::WriteInteger(const std::string& section, const std::string& name,
                                std::int32_t value) {
  values_[section][name] = std::to_string(value);
}

void SettingsFile::WriteDate(const std::string& section, const std::string& name, double value) {
  // The shortest text that reads back as the same double.
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  values_[section][name] = error == std::errc() ? std::string(buffer, end) : std::string();
}

}  // namespace korvane::platform

#include "korvane/forms/update_settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string_view>
#include <system_error>

#include "korvane/platform/settings_file.h"

namespace korvane {

namespace {

constexpr const char* kSystemSettingsPath = "/etc/korvane/korvane.conf";
// 1899-12-30, the day count's zero, lies this many days before 1970-01-01.
constexpr std::int64_t kDayCountOfUnixEpoch = 25569;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

std::string NumberText(double value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

[[noreturn]] void ThrowSettingsError(int error, const std::string& what) {
  throw std::system_error(error != 0 ? error : EIO, std::generic_category(), what);
}

void WriteSetting(const std::string& keyPath,
                  const std::function<void(platform::SettingsFile&, const std::string&)>& write) {
  const std::string path = platform::SettingsFile::DefaultPath();
  // A file that is there but cannot be read would come back holding only
  // the value written now: every other setting would be lost.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != ENOENT) {
    ThrowSettingsError(errno, "Cannot read the settings file \"" + path + "\"");
  }
  platform::SettingsFile settings(path);
  settings.Load();
  write(settings, RegistrySection(keyPath));
  errno = 0;
  if (!settings.Save())
    ThrowSettingsError(errno, "Cannot write the settings file \"" + path + "\"");
}

platform::SettingsFile LoadedSettings() {
  platform::SettingsFile settings;
  settings.Load();
  return settings;
}

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::string RegistrySection(const std::string& keyPath) {
  const std::size_t backslash = keyPath.rfind('\\');
  return backslash == std::string::npos ? keyPath : keyPath.substr(backslash + 1);
}

std::int32_t ReadRegInteger(const std::string& keyPath, const std::string& name,
                            std::int32_t defaultValue) {
  return LoadedSettings().ReadInteger(RegistrySection(keyPath), name, defaultValue);
}

double ReadRegDate(const std::string& keyPath, const std::string& name, double defaultValue) {
  const double value = LoadedSettings().ReadDate(RegistrySection(keyPath), name, defaultValue);
  // A hand-written "1e999" is no date either.
  return std::isfinite(value) ? value : defaultValue;
}

void WriteRegInteger(const std::string& keyPath, const std::string& name, std::int32_t value) {
  WriteSetting(keyPath, [&](platform::SettingsFile& settings, const std::string& section) {
    settings.WriteInteger(section, name, value);
  });
}

void WriteRegDate(const std::string& keyPath, const std::string& name, double value) {
  WriteSetting(keyPath, [&](platform::SettingsFile& settings, const std::string& section) {
    settings.WriteDate(section, name, value);
  });
}

double LocalToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) {
    return static_cast<double>(now / 86400 + kDayCountOfUnixEpoch);
  }
  return static_cast<double>(DaysFromCivil(local.tm_year + 1900LL,
                                           static_cast<unsigned>(local.tm_mon + 1),
                                           static_cast<unsigned>(local.tm_mday)) +
                             kDayCountOfUnixEpoch);
}

std::string FormatShortDate(double date) {
  static const double kFirst = static_cast<double>(DaysFromCivil(1, 1, 1) + kDayCountOfUnixEpoch);
  static const double kLast =
      static_cast<double>(DaysFromCivil(9999, 12, 31) + kDayCountOfUnixEpoch);
  if (!std::isfinite(date) || date < kFirst || date >= kLast + 1) return NumberText(date);
  const auto sinceEpoch = static_cast<std::int64_t>(std::floor(date)) - kDayCountOfUnixEpoch;
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(sinceEpoch, year, month, day);
  std::tm when{};
  when.tm_year = static_cast<int>(year - 1900);
  when.tm_mon = static_cast<int>(month) - 1;
  when.tm_mday = static_cast<int>(day);
  when.tm_hour = 12;
  // 1970-01-01 was a Thursday.
  when.tm_wday = static_cast<int>(((sinceEpoch % 7) + 7 + 4) % 7);
  when.tm_yday = static_cast<int>(sinceEpoch - DaysFromCivil(year, 1, 1));
  char buffer[128];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%x", &when);
  return length == 0 ? NumberText(date) : std::string(buffer, length);
}

std::string UpdateCheckUrl() {
  for (const std::string& path :
       {platform::SettingsFile::DefaultPath(), std::string(kSystemSettingsPath)}) {
    platform::SettingsFile settings(path);
    settings.Load();
    const std::string address(Trimmed(settings.ReadString("Update", "CheckUrl", "")));
    if (!address.empty()) return address;
  }
  return kDefaultCheckUrl;
}

std::string UserLanguageId() {
  const char* setting = nullptr;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      setting = value;
      break;
    }
  }
  if (setting == nullptr) return "ENU";
  const std::string_view locale(setting);
  std::size_t at = 0;
  while (at < locale.size() && IsAsciiLetter(locale[at])) ++at;
  // "C", "POSIX", "C.UTF-8" and anything that is no locale name.
  if (at < 2 || at > 3 || locale.substr(0, at) == "POSIX") return "ENU";
  if (at < locale.size() && locale[at] != '_' && locale[at] != '.' && locale[at] != '@') {
    return "ENU";
  }
  std::string id;
  for (std::size_t i = 0; i < at; ++i) id.push_back(UpperAscii(locale[i]));
  if (at + 1 < locale.size() && locale[at] == '_' && IsAsciiLetter(locale[at + 1])) {
    id.push_back(UpperAscii(locale[at + 1]));
  }
  return id;
}

}  // namespace korvane

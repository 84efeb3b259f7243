// The per-user settings of the update check and the small services around
// them: the registry utilities over the settings file, today's date as a
// day count, the user's short date format, the update server's address and
// the user's language.
//
// A registry key stands for the section named by its last component:
// "Software\Zentalo Labs\Korvane\Update" is the section [Update] of
// $XDG_CONFIG_HOME/korvane/korvane.conf. Dates are day counts since
// 1899-12-30 (whole days when the program writes them).
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

inline constexpr const char* kUpdateKey = "Software\\Zentalo Labs\\Korvane\\Update";
inline constexpr const char* kDefaultCheckUrl = "http://update.korvane.example/update/chkver.php";

// The settings section of a registry key: its last component.
std::string RegistrySection(const std::string& keyPath);

// The value, or the default when the settings file, the section or the
// value is missing or does not hold a number of the kind asked for.
std::int32_t ReadRegInteger(const std::string& keyPath, const std::string& name,
                            std::int32_t defaultValue);
double ReadRegDate(const std::string& keyPath, const std::string& name, double defaultValue);

// Stores the value (the file and its folder are made when missing; every
// other value in the file is kept). Raises std::system_error when the file
// cannot be written, or exists but cannot be read (it would otherwise be
// replaced by one holding only this value).
void WriteRegInteger(const std::string& keyPath, const std::string& name, std::int32_t value);
void WriteRegDate(const std::string& keyPath, const std::string& name, double value);

// Today's local date as a whole day count since 1899-12-30.
double LocalToday();

// A day count as a date in the user's short date format (strftime "%x" under
// the program's LC_TIME); the number itself when it is no date of the years
// 1 to 9999.
std::string FormatShortDate(double date);

// The address of the update check page: "CheckUrl" of section [Update] in
// the user's settings file, else in /etc/korvane/korvane.conf, else
// kDefaultCheckUrl.
std::string UpdateCheckUrl();

// The user's language for the update server, in capital letters: the
// language of LC_ALL, LC_MESSAGES or LANG (the first one set) followed by
// the first letter of its territory ("en_US.UTF-8" gives "ENU", "de_AT"
// "DEA", "fr" "FR"); "ENU" for the C and POSIX locales, when none is set and
// when the setting is not a locale name.
std::string UserLanguageId();

}  // namespace korvane

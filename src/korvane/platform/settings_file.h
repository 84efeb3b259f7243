// The per-user settings: an INI file ($XDG_CONFIG_HOME/korvane/korvane.conf)
// of sections and "Name=Value" lines. Dates are stored as decimal day
// counts (days since 1899-12-30, the fraction the time of day).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace korvane::platform {

class SettingsFile {
 public:
  // The default file: ConfigHome() + "/korvane/korvane.conf".
  static std::string DefaultPath();

  explicit SettingsFile(std::string path = DefaultPath());

  // Reads the file; a missing or unreadable file gives no values. Lines that
  // are not "[section]" or "name=value" are ignored; names are matched
  // exactly; later duplicates win.
  void Load();
  // Writes the whole file under a temporary name and renames it into place
  // (creating the folder, mode 0700, when missing). False when it fails.
  bool Save() const;

  bool HasValue(const std::string& section, const std::string& name) const;
  std::string ReadString(const std::string& section, const std::string& name,
                         const std::string& defaultValue) const;
  // A value that is not a decimal integer (optional sign) reads as the default.
  std::int32_t ReadInteger(const std::string& section, const std::string& name,
                           std::int32_t defaultValue) const;
  // A value that is not a decimal number reads as the default.
  double ReadDate(const std::string& section, const std::string& name, double defaultValue) const;
  void WriteString(const std::string& section, const std::string& name, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& name, std::int32_t value);
  // Written with enough digits to read back the same double.
  void WriteDate(const std::string& section, const std::string& name, double value);

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::map<std::string, std::map<std::string, std::string>> values_;
};

}  // namespace korvane::platform

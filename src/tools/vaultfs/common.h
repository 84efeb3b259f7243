// What the commands of the vaultfs tool share: exit codes, the parsing of
// their arguments, password files, the open container of a command (Session)
// and the progress display of single-file copies.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vaultfs/engine_api.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/secret_bytes.h"

namespace vaultfs_tool {

using vaultfs::EngineResult;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The help text (main.cpp), shown by --help and -h of every command.
extern const char* const kUsage;

// "vaultfs: MESSAGE" and the hint at --help on standard error; kExitUsage.
int UsageError(const std::string& message);
// "vaultfs: FILE: <what the result means>" on standard error; kExitFailure.
int Failure(const std::string& file, EngineResult result);

// A decimal number of at most 19 digits, nothing else.
bool ParseUnsigned(std::string_view text, std::uint64_t& value);

// Splits the arguments of a subcommand into positional ones and options.
// `withValue` lists the options that take a value.
struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  bool help = false;

  bool Has(std::string_view name) const {
    for (const auto& [key, value] : options)
      if (key == name) return true;
    return false;
  }
  const std::string* Value(std::string_view name) const {
    const std::string* found = nullptr;
    for (const auto& [key, value] : options)
      if (key == name) found = &value;
    return found;
  }
};

// "0", "1" or "3": an encryption mode the tool offers (none, ecAES256_SHA256,
// ecAES256_HMAC256). Anything else gives false and leaves `mode` alone.
bool ParseEncryptionMode(std::string_view text, std::uint32_t& mode);

bool ParseArguments(int argc, char** argv, int first, const std::vector<std::string_view>& flags,
                    const std::vector<std::string_view>& withValue, Arguments& out,
                    std::string& error);

// ---- passwords and sessions ----

constexpr const char* kStoragePasswordOption = "--storage-password-file";

// A password file's content is the password, less one trailing newline
// (LF or CR LF); a file that cannot be read gives false with `error` set.
// ReadPasswordText gives the text, for the storage component, which takes
// passwords as text (the caller wipes it); ReadPasswordFile the UTF-16LE code
// units of the text, as the engine takes passwords.
bool ReadPasswordText(const std::string& path, std::u16string& password, std::string& error);
bool ReadPasswordFile(const std::string& path, vaultfs::SecretBytes& password, std::string& error);

// One open container.
class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  vaultfs::StorageHandle handle() const { return handle_; }

  // Opens FILE, supplying the storage password when the container needs one.
  EngineResult Open(const std::string& file, bool readOnly, const Arguments& args,
                    std::string& error);
  // Closes what Open opened (0 when nothing is open).
  EngineResult Close();

 private:
  vaultfs::StorageHandle handle_ = nullptr;
};

// Runs a command body on an open session and reports failures uniformly.
int WithSession(const std::string& file, bool readOnly, const Arguments& args,
                const std::function<EngineResult(Session&, std::string&)>& body);

// Shows progress of long copies on a terminal.
class Progress {
 public:
  Progress(const std::string& label, std::uint64_t total);
  void Update(std::uint64_t done);

 private:
  std::string label_;
  std::uint64_t total_;
  bool show_;
  int last_ = -1;
};

// ---- the options of the commands that copy files (put, get, cat, import, export) ----

// The value options those commands take.
extern const std::vector<std::string_view> kFileValueOptions;

// --password-file, --encryption, --compression and --level. `forWriting`:
// an encryption without a password is refused.
bool ParseFileOptions(const Arguments& args, bool forWriting, std::uint32_t& encryption,
                      std::uint32_t& compression, std::uint32_t& level,
                      vaultfs::SecretBytes& password, std::string& error);

}  // namespace vaultfs_tool

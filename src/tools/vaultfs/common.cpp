// What the commands of the vaultfs tool share (common.h): argument parsing,
// messages, password files, sessions on an open container, copy progress.
#include "common.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "vaultfs/engine_types.h"
#include "vaultfs/password_bytes.h"
#include "vaultfs/utf16.h"

namespace vaultfs_tool {

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vaultfs: %s\nTry 'vaultfs --help' for more information.\n",
               message.c_str());
  return kExitUsage;
}

int Failure(const std::string& file, EngineResult result) {
  std::fprintf(stderr, "vaultfs: %s: %s\n", file.c_str(), vaultfs::DescribeResult(result).c_str());
  return kExitFailure;
}

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

bool ParseEncryptionMode(std::string_view text, std::uint32_t& mode) {
  if (text != "0" && text != "1" && text != "3") return false;
  mode = static_cast<std::uint32_t>(text[0] - '0');
  return true;
}

bool ParseArguments(int argc, char** argv, int first, const std::vector<std::string_view>& flags,
                    const std::vector<std::string_view>& withValue, Arguments& out,
                    std::string& error) {
  bool onlyPositional = false;
  for (int i = first; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
      out.positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      out.help = true;
      continue;
    }
    std::string name(arg), value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      bool takesValue = false;
      for (auto v : withValue) takesValue |= v == name;
      if (!takesValue) {
        error = "option '" + name + "' takes no value";
        return false;
      }
      out.options.emplace_back(name, value);
      continue;
    }
    bool isFlag = false, takesValue = false;
    for (auto f : flags) isFlag |= f == name;
    for (auto v : withValue) takesValue |= v == name;
    if (isFlag) {
      out.options.emplace_back(name, "");
    } else if (takesValue) {
      if (i + 1 >= argc) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      out.options.emplace_back(name, argv[++i]);
    } else {
      error = "unknown option '" + name + "'";
      return false;
    }
  }
  return true;
}

// ---- passwords and sessions ----

bool ReadPasswordText(const std::string& path, std::u16string& password, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  password = vaultfs::Utf8ToUtf16(text);
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  return true;
}

bool ReadPasswordFile(const std::string& path, vaultfs::SecretBytes& password, std::string& error) {
  std::u16string units;
  const vaultfs::WipeOnExit wipeUnits(units);
  if (!ReadPasswordText(path, units, error)) return false;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  password.Assign(bytes);
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  return true;
}

Session::~Session() {
  if (handle_) (void)vaultfs::StorageClose(handle_);
}

EngineResult Session::Open(const std::string& file, bool readOnly, const Arguments& args,
                           std::string& error) {
  // Journaled when writing; a read-only open runs without transactions.
  const std::u16string name = vaultfs::Utf8ToUtf16(file);
  EngineResult r = readOnly ? vaultfs::StorageOpenReadOnly(name, handle_, u'/', false, false)
                            : vaultfs::StorageOpen(name, handle_, u'/', true, false);
  if (r != 0) return r;
  std::uint32_t mode = 0;
  r = vaultfs::StorageGetEncryption(handle_, mode);
  if (r != 0 || mode == 0) return r;
  const std::string* passwordFile = args.Value(kStoragePasswordOption);
  if (!passwordFile) {
    error = "the container is enciphered: give its password with --storage-password-file";
    return vaultfs::errInvalidPassword;
  }
  vaultfs::SecretBytes password;
  if (!ReadPasswordFile(*passwordFile, password, error)) return vaultfs::errInvalidParameter;
  return vaultfs::StorageSupplyPassword(handle_, password.data(),
                                        static_cast<std::uint32_t>(password.size()));
}

EngineResult Session::Close() {
  if (!handle_) return 0;
  const EngineResult r = vaultfs::StorageClose(handle_);
  handle_ = nullptr;
  return r;
}

int WithSession(const std::string& file, bool readOnly, const Arguments& args,
                const std::function<EngineResult(Session&, std::string&)>& body) {
  Session session;
  std::string error;
  EngineResult r = session.Open(file, readOnly, args, error);
  if (r == 0) r = body(session, error);
  const EngineResult closed = session.Close();
  if (r == 0) r = closed;
  if (r != 0) {
    if (!error.empty())
      std::fprintf(stderr, "vaultfs: %s: %s (%s)\n", file.c_str(), error.c_str(),
                   vaultfs::DescribeResult(r).c_str());
    else
      std::fprintf(stderr, "vaultfs: %s: %s\n", file.c_str(), vaultfs::DescribeResult(r).c_str());
    return kExitFailure;
  }
  return 0;
}

Progress::Progress(const std::string& label, std::uint64_t total)
    : label_(label), total_(total), show_(isatty(STDERR_FILENO) && total >= (1u << 20)) {}

void Progress::Update(std::uint64_t done) {
  if (!show_) return;
  const int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
  if (percent == last_) return;
  last_ = percent;
  const int width = 30, filled = percent * width / 100;
  std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
               "##############################", width - filled, "", percent);
  if (percent == 100) std::fputc('\n', stderr);
}

// ---- the options of the commands that copy files ----

const std::vector<std::string_view> kFileValueOptions = {
    "--storage-password-file", "--password-file", "--encryption", "--compression", "--level"};

bool ParseFileOptions(const Arguments& args, bool forWriting, std::uint32_t& encryption,
                      std::uint32_t& compression, std::uint32_t& level,
                      vaultfs::SecretBytes& password, std::string& error) {
  if (const std::string* f = args.Value("--password-file")) {
    if (!ReadPasswordFile(*f, password, error)) return false;
  }
  encryption = password.empty() ? 0 : 3;
  if (const std::string* e = args.Value("--encryption")) {
    if (!ParseEncryptionMode(*e, encryption)) {
      error = "--encryption takes 0, 1 or 3";
      return false;
    }
    if (encryption != 0 && password.empty() && forWriting) {
      error = "--encryption " + *e + " needs --password-file";
      return false;
    }
  }
  compression = vaultfs::crNoCompression;
  level = 0;
  if (const std::string* c = args.Value("--compression")) {
    if (*c == "none")
      compression = vaultfs::crNoCompression;
    else if (*c == "zlib")
      compression = vaultfs::crZLib;
    else if (*c == "rle")
      compression = vaultfs::crRLE;
    else {
      error = "--compression takes none, zlib or rle";
      return false;
    }
  }
  if (const std::string* l = args.Value("--level")) {
    std::uint64_t value = 0;
    if (!ParseUnsigned(*l, value) || value > 9) {
      error = "--level takes 0 to 9";
      return false;
    }
    level = static_cast<std::uint32_t>(value);
  }
  return true;
}

}  // namespace vaultfs_tool

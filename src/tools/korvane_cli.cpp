// korvane-cli: protects and opens folders from scripts.
//
// The windows and workflows of the desktop program run underneath, unchanged;
// this front-end plays the person in front of them: it fills in the password
// and the options from the command line, presses the buttons, prints every
// message box on standard error and turns the outcome of the workflow into
// an exit status.
//
// Exit status: 0 done, 1 refused or failed, 2 bad usage, 3 cancelled.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/forms/application.h"
#include "app/forms/container_layout.h"
#include "app/forms/container_seal.h"
#include "app/forms/controls.h"
#include "app/forms/enter_form.h"
#include "app/forms/globals.h"
#include "app/forms/hardened_escrow.h"
#include "app/forms/other_forms.h"
#include "app/forms/progress_form.h"
#include "app/forms/protect_form.h"
#include "app/forms/service_records.h"
#include "app/keys/hardened_keys.h"
#include "app/platform/platform.h"
#include "engine/volume/utf16.h"
#include "storage/password_bytes.h"
#include "storage/vault_storage.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace {

using korvane::TApplication;
using korvane::TForm;
using korvane::TfrmEnter;
using korvane::TfrmProgress;
using korvane::TfrmProtect;
using korvane::TModalResult;
using korvane::TMsgButtons;
using korvane::TMsgIcon;
using korvane::TWorkflowOutcome;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 3;

constexpr const char* kProgram = "korvane-cli";
// A password is typed by a person or kept in a small file; anything larger
// is a mistake such as --password-file /dev/zero, which must not hang us.
constexpr std::size_t kMaxPasswordBytes = 64 * 1024;

// ---------------------------------------------------------------- usage texts

constexpr const char* kProtectUsage =
    "Usage: korvane-cli protect DIR [--password-file F | --password-fd N] [--no-compression]\n"
    "                   [--keep-files] [--no-recovery] [--classic] [--yes]\n"
    "                   [--kdf-time MS] [--kdf-memory MIB] [--kdf-passes N] [--kdf-lanes N]\n";
constexpr const char* kOpenUsage =
    "Usage: korvane-cli open CONTAINER [--password-file F | --password-fd N] [--yes]\n";
constexpr const char* kInfoUsage = "Usage: korvane-cli info CONTAINER [--escrow]\n";
constexpr const char* kPasswdUsage =
    "Usage: korvane-cli passwd CONTAINER [--password-file F | --password-fd N]\n"
    "                   [--new-password-file F | --new-password-fd N]\n"
    "                   [--kdf-time MS] [--kdf-memory MIB] [--kdf-passes N] [--kdf-lanes N]\n";
constexpr const char* kVerifyUsage =
    "Usage: korvane-cli verify CONTAINER [--password-file F | --password-fd N]\n";

constexpr const char* kGeneralHelp =
    "Usage: korvane-cli COMMAND ARGUMENT [OPTIONS]\n"
    "\n"
    "Protects a folder behind a password, or opens a protected folder again,\n"
    "without asking anything: for scripts.\n"
    "\n"
    "Commands:\n"
    "  protect DIR         pack DIR into DIR._zkvlk and remove DIR\n"
    "  open CONTAINER      restore the folder of CONTAINER (DIR._zkvlk) and remove it\n"
    "  info CONTAINER      show the service records of CONTAINER\n"
    "  passwd CONTAINER    change the password of CONTAINER (hardened layout)\n"
    "  verify CONTAINER    check CONTAINER and every entry in it, restoring nothing\n"
    "\n"
    "  korvane-cli COMMAND --help   options of one command\n"
    "  korvane-cli --version        version\n"
    "\n"
    "Password: --password-file F (the file's bytes, less one trailing newline),\n"
    "--password-fd N (the same, read from an open file descriptor), or, when\n"
    "neither is given and standard input is a terminal, asked for on the terminal.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on standard error;\n"
    "for verify: damage found), 2 bad usage, 3 cancelled (SIGINT or SIGTERM\n"
    "during the work).\n";

// The cost of the password's key derivation (hardened layout), shared by
// protect and passwd.
#define KORVANE_KDF_HELP                                                                    \
  "\n"                                                                                      \
  "Cost of a password guess (hardened layout; Argon2id). By default the cost is\n"          \
  "measured on this machine to take about one second with at least 64 MiB:\n"              \
  "  --kdf-time MS       aim at MS milliseconds instead of 1000\n"                          \
  "  --kdf-memory MIB    use at least MIB MiB of memory (64 to 4096; default 64)\n"         \
  "  --kdf-passes N      use exactly N passes (1 to 64) and the given memory\n"             \
  "                      instead of measuring\n"                                            \
  "  --kdf-lanes N       lanes (threads), 1 to 4 (default: this machine's cores)\n"         \
  "Nothing goes below 1 pass over 64 MiB: smaller figures are refused.\n"

constexpr const char* kProtectHelp =
    "\n"
    "Packs the folder DIR with everything in it into the protected folder\n"
    "DIR._zkvlk beside it and removes DIR. DIR is removed only after the\n"
    "container was written, flushed to disk, read back and compared.\n"
    "\n"
    "Options:\n"
    "  --password-file F   read the password from the file F (one trailing\n"
    "                      newline or CR LF is not part of it)\n"
    "  --password-fd N     read the password from file descriptor N, up to its end\n"
    "  --no-compression    store the files uncompressed (default: compressed)\n"
    "  --keep-files        keep DIR as it is; only make the container\n"
    "  --no-recovery       do not store the password for recovery by the maker\n"
    "  --classic           write the classic layout that older versions open too:\n"
    "                      names, sizes and times readable by anyone holding the\n"
    "                      file, a fast hash of the password, no tamper check\n"
    "  --yes               replace an existing DIR._zkvlk (without it the run is\n"
    "                      refused and nothing changes)\n"
    KORVANE_KDF_HELP
    "\n"
    "Without a password option the password is asked for twice on the terminal.\n"
    "On success prints \"protected DIR -> DIR._zkvlk\".\n";

constexpr const char* kOpenHelp =
    "\n"
    "Restores the folder that the protected folder CONTAINER stands for (its\n"
    "path without \"._zkvlk\") and removes CONTAINER. CONTAINER is removed only\n"
    "after every restored file was written and flushed to disk.\n"
    "\n"
    "Options:\n"
    "  --password-file F   read the password from the file F (one trailing\n"
    "                      newline or CR LF is not part of it)\n"
    "  --password-fd N     read the password from file descriptor N, up to its end\n"
    "  --yes               replace a folder that already exists at the restored\n"
    "                      folder's place (without it the run is refused and\n"
    "                      nothing changes)\n"
    "\n"
    "Without a password option the password is asked for on the terminal.\n"
    "On success prints \"restored DIR\" and \"opened CONTAINER -> DIR\".\n";

constexpr const char* kInfoHelp =
    "\n"
    "Shows what CONTAINER's service records say, without the password: its\n"
    "layout (hardened or classic; for hardened the key derivation's figures),\n"
    "the folder it stands for, the folder's size when it was protected, whether\n"
    "the password record is there, and whether the password can be recovered.\n"
    "\n"
    "  --escrow   print only the recovery escrow text (what a recovery request\n"
    "             sends to the maker; exit status 1 when there is none)\n"
    "\n"
    "Exit status 1 when CONTAINER is not a protected folder.\n";

constexpr const char* kPasswdHelp =
    "\n"
    "Changes the password of the hardened protected folder CONTAINER: its key is\n"
    "wrapped again under the new password (with a new salt); no data is\n"
    "rewritten. A crash at any moment leaves either the old or the new password\n"
    "working. A recovery escrow, when the container has one, is made again for\n"
    "the new password. Classic containers are refused (open and protect again).\n"
    "\n"
    "Options:\n"
    "  --password-file F, --password-fd N\n"
    "                      the current password (as for open)\n"
    "  --new-password-file F, --new-password-fd N\n"
    "                      the new password (at least 4 characters)\n"
    KORVANE_KDF_HELP
    "\n"
    "Without password options the passwords are asked for on the terminal (the\n"
    "new one twice). On success prints \"password changed: CONTAINER\".\n";

constexpr const char* kVerifyHelp =
    "\n"
    "Checks CONTAINER without restoring anything: the structure of the container\n"
    "(the engine's check), then, with the password, every entry: for the\n"
    "hardened layout each entry's MAC and the list of all entries (anything\n"
    "changed, added, removed, renamed or swapped is found); for the classic\n"
    "layout, which has no MACs, only that every file can be read.\n"
    "\n"
    "Options:\n"
    "  --password-file F, --password-fd N   the password (as for open)\n"
    "\n"
    "Prints \"sound: CONTAINER\" and exits 0, or names every damaged entry on\n"
    "standard output (\"damaged: PATH: REASON\") and exits 1; 2 is bad usage.\n";

// ---------------------------------------------------------------- signals

// Set by SIGINT and SIGTERM. Nothing else happens in the handler: the
// progress loop turns the flag into a click on the progress window's Cancel,
// so the workflow cleans up as it does for the person's Cancel.
volatile std::sig_atomic_t gStopRequested = 0;

void OnStopSignal(int) {
  gStopRequested = 1;
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Restart interrupted calls: a write to the container must not fail with
  // EINTR because someone pressed Ctrl-C (the prompt polls, which is never
  // restarted, so it still sees the signal at once).
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// ---------------------------------------------------------------- passwords

// A password on its way from the command line into the window. Its bytes are
// overwritten when it goes away, and when it grows the old buffer is
// overwritten before it is given back.
class SecretText {
 public:
  SecretText() { text_.reserve(64); }
  ~SecretText() { Wipe(); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  const std::string& Text() const { return text_; }
  std::size_t Size() const { return text_.size(); }

  void Append(const char* bytes, std::size_t count) {
    if (text_.size() + count > text_.capacity()) {
      std::string larger;
      larger.reserve(2 * (text_.size() + count));
      larger.assign(text_);
      Wipe();
      text_.swap(larger);
    }
    text_.append(bytes, count);
  }
  // Drops the last `count` bytes, overwriting them first.
  void DropBack(std::size_t count) {
    if (count > text_.size()) count = text_.size();
    OPENSSL_cleanse(text_.data() + text_.size() - count, count);
    text_.resize(text_.size() - count);
  }
  void Wipe() {
    if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
    text_.clear();
  }
  // A password text ends before one trailing "\n" or "\r\n".
  void DropLineEnd() {
    if (!text_.empty() && text_.back() == '\n') {
      DropBack(1);
      if (!text_.empty() && text_.back() == '\r') DropBack(1);
    }
  }

 private:
  std::string text_;
};

// Reads everything from the descriptor. False with a reason when the read
// fails or the text is longer than any password.
bool ReadAllSecret(int fd, SecretText& out, std::string& error) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      OPENSSL_cleanse(chunk, sizeof chunk);
      return false;
    }
    if (got == 0) break;
    if (out.Size() + static_cast<std::size_t>(got) > kMaxPasswordBytes) {
      error = "longer than " + std::to_string(kMaxPasswordBytes) + " bytes: not a password";
      OPENSSL_cleanse(chunk, sizeof chunk);
      out.Wipe();
      return false;
    }
    out.Append(chunk, static_cast<std::size_t>(got));
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  out.DropLineEnd();
  return true;
}

// Puts the terminal back as it was, however the prompt ends.
class TerminalModeGuard {
 public:
  TerminalModeGuard(int fd, const termios& saved) : fd_(fd), saved_(saved) {}
  ~TerminalModeGuard() { tcsetattr(fd_, TCSAFLUSH, &saved_); }
  TerminalModeGuard(const TerminalModeGuard&) = delete;
  TerminalModeGuard& operator=(const TerminalModeGuard&) = delete;

 private:
  int fd_;
  termios saved_;
};

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

enum class TPromptResult { prEntered, prCancelled, prFailed };

// Asks for a password on the terminal, showing one '*' per character typed.
// Backspace takes back a character (a whole UTF-8 sequence), Ctrl-U the
// line; Ctrl-C, a stop signal or end of input cancel.
TPromptResult PromptPassword(int ttyFd, const std::string& prompt, SecretText& out) {
  out.Wipe();
  termios saved{};
  if (tcgetattr(ttyFd, &saved) != 0) {
    std::fprintf(stderr, "%s: cannot ask on the terminal: %s\n", kProgram, std::strerror(errno));
    return TPromptResult::prFailed;
  }
  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
  raw.c_lflag |= ISIG;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(ttyFd, TCSAFLUSH, &raw) != 0) {
    std::fprintf(stderr, "%s: cannot ask on the terminal: %s\n", kProgram, std::strerror(errno));
    return TPromptResult::prFailed;
  }
  TerminalModeGuard guard(ttyFd, saved);
  WriteAll(ttyFd, prompt);

  std::size_t characters = 0;
  char byte = 0;
  TPromptResult result = TPromptResult::prCancelled;
  for (;;) {
    if (gStopRequested) break;
    pollfd waitFor{ttyFd, POLLIN, 0};
    const int ready = poll(&waitFor, 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;  // the loop head sees a stop signal
      std::fprintf(stderr, "\n%s: cannot read from the terminal: %s", kProgram,
                   std::strerror(errno));
      result = TPromptResult::prFailed;
      break;
    }
    const ssize_t got = read(ttyFd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of input
    const auto unit = static_cast<unsigned char>(byte);
    if (byte == '\n' || byte == '\r') {
      result = TPromptResult::prEntered;
      break;
    }
    if (unit == 0x04) {  // Ctrl-D
      if (out.Size() == 0) break;
      continue;
    }
    if (unit == 0x7F || unit == 0x08) {
      if (characters == 0) continue;
      // Back to the lead byte of the last character.
      std::size_t drop = 1;
      const std::string& text = out.Text();
      while (drop < text.size() &&
             (static_cast<unsigned char>(text[text.size() - drop]) & 0xC0) == 0x80)
        ++drop;
      out.DropBack(drop);
      --characters;
      WriteAll(ttyFd, "\b \b");
      continue;
    }
    if (unit == 0x15) {  // Ctrl-U
      std::string erase;
      for (std::size_t i = 0; i < characters; ++i) erase += "\b \b";
      WriteAll(ttyFd, erase);
      out.Wipe();
      characters = 0;
      continue;
    }
    if (out.Size() >= kMaxPasswordBytes) continue;
    out.Append(&byte, 1);
    if ((unit & 0xC0) != 0x80) {
      ++characters;
      WriteAll(ttyFd, "*");
    }
  }
  OPENSSL_cleanse(&byte, 1);
  WriteAll(ttyFd, "\n");
  if (result != TPromptResult::prEntered) out.Wipe();
  return result;
}

// ---------------------------------------------------------------- command line

enum class TCommand { cmProtect, cmOpen, cmInfo, cmPasswd, cmVerify };

struct TOptions {
  TCommand Command = TCommand::cmProtect;
  std::string Path;
  std::optional<std::string> PasswordFile;
  std::optional<std::string> PasswordFd;
  bool NoCompression = false;
  bool KeepFiles = false;
  bool NoRecovery = false;
  bool Classic = false;
  bool Yes = false;
  bool EscrowOnly = false;  // info --escrow
  // passwd: where the new password comes from.
  std::optional<std::string> NewPasswordFile;
  std::optional<std::string> NewPasswordFd;
  // The key derivation's cost (protect, passwd), checked when parsed.
  std::optional<std::uint32_t> KdfTimeMs;
  std::optional<std::uint32_t> KdfMemoryMiB;
  std::optional<std::uint32_t> KdfPasses;
  std::optional<std::uint32_t> KdfLanes;
};

// The parameters the options ask for: exact figures with --kdf-passes,
// otherwise measured on this machine. Never below the floor.
korvane::KdfParameters ChosenKdf(const TOptions& options) {
  using korvane::kKdfFloor;
  const std::uint32_t memoryKiB =
      options.KdfMemoryMiB ? *options.KdfMemoryMiB * 1024 : kKdfFloor.MemoryKiB;
  korvane::KdfParameters parameters;
  if (options.KdfPasses) {
    parameters = {*options.KdfPasses, memoryKiB, options.KdfLanes.value_or(1)};
  } else {
    parameters = korvane::CalibrateKdf(options.KdfTimeMs.value_or(1000) / 1000.0, memoryKiB);
    if (options.KdfLanes) parameters.Parallelism = *options.KdfLanes;
  }
  return korvane::ProtectParameters(parameters);
}

// Usage line and help text of each command, in TCommand's order.
struct TCommandTexts {
  const char* Usage;
  const char* Help;
};

TCommandTexts TextsOf(TCommand command) {
  switch (command) {
    case TCommand::cmProtect:
      return {kProtectUsage, kProtectHelp};
    case TCommand::cmOpen:
      return {kOpenUsage, kOpenHelp};
    case TCommand::cmInfo:
      return {kInfoUsage, kInfoHelp};
    case TCommand::cmPasswd:
      return {kPasswdUsage, kPasswdHelp};
    case TCommand::cmVerify:
      return {kVerifyUsage, kVerifyHelp};
  }
  return {kProtectUsage, kProtectHelp};
}

const char* CommandUsage(TCommand command) {
  return TextsOf(command).Usage;
}

int UsageError(const std::string& message, const char* usage) {
  std::fprintf(stderr, "%s: %s\n%sTry 'korvane-cli --help' for more information.\n", kProgram,
               message.c_str(), usage);
  return kExitUsage;
}

constexpr const char* kAllUsages =
    "Usage: korvane-cli protect DIR [OPTIONS] | open CONTAINER [OPTIONS] | info CONTAINER\n"
    "       korvane-cli passwd CONTAINER [OPTIONS] | verify CONTAINER [OPTIONS]\n";

// A whole number in [low, high] for a cost option; a message otherwise.
std::optional<std::uint32_t> ParseFigure(const std::string& text, std::uint32_t low,
                                         std::uint32_t high) {
  std::uint32_t value = 0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, value);
  if (text.empty() || error != std::errc() || end != last || value < low || value > high)
    return std::nullopt;
  return value;
}

// Parses the arguments after the command. Returns -1 when the run goes on,
// else the exit status (help printed, or a usage error reported).
int ParseCommandArguments(int argc, char** argv, TOptions& options) {
  const char* usage = CommandUsage(options.Command);
  const bool takesPassword = options.Command != TCommand::cmInfo;
  const bool isProtect = options.Command == TCommand::cmProtect;
  // Help wins over anything else on the line, as people expect.
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      std::fputs(TextsOf(options.Command).Help, stdout);
      return kExitDone;
    }
  }

  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::optional<std::string> inlineValue;
    if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    if (takesPassword && (arg == "--password-file" || arg == "--password-fd")) {
      std::optional<std::string>& slot =
          arg == "--password-file" ? options.PasswordFile : options.PasswordFd;
      if (slot) return UsageError("option '" + arg + "' given twice", usage);
      if (inlineValue) {
        slot = *inlineValue;
      } else if (i + 1 < argc) {
        slot = argv[++i];
      } else {
        return UsageError("option '" + arg + "' needs a value", usage);
      }
      continue;
    }
    const bool isPasswd = options.Command == TCommand::cmPasswd;
    if (isPasswd && (arg == "--new-password-file" || arg == "--new-password-fd")) {
      std::optional<std::string>& slot =
          arg == "--new-password-file" ? options.NewPasswordFile : options.NewPasswordFd;
      if (slot) return UsageError("option '" + arg + "' given twice", usage);
      if (inlineValue) {
        slot = *inlineValue;
      } else if (i + 1 < argc) {
        slot = argv[++i];
      } else {
        return UsageError("option '" + arg + "' needs a value", usage);
      }
      continue;
    }
    if ((isProtect || isPasswd) && (arg == "--kdf-time" || arg == "--kdf-memory" ||
                                    arg == "--kdf-passes" || arg == "--kdf-lanes")) {
      std::string value;
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return UsageError("option '" + arg + "' needs a value", usage);
      }
      struct Range {
        std::optional<std::uint32_t>* slot;
        std::uint32_t low, high;
        const char* what;
      };
      const Range range =
          arg == "--kdf-time"
              ? Range{&options.KdfTimeMs, 1, 600000, "milliseconds from 1 to 600000"}
          : arg == "--kdf-memory"
              ? Range{&options.KdfMemoryMiB, korvane::kKdfFloor.MemoryKiB / 1024,
                      korvane::kMaxMemoryKiB / 1024, "MiB from 64 to 4096"}
          : arg == "--kdf-passes"
              ? Range{&options.KdfPasses, korvane::kKdfFloor.TimeCost, korvane::kMaxTimeCost,
                      "passes from 1 to 64"}
              : Range{&options.KdfLanes, 1, korvane::kMaxProtectParallelism, "lanes from 1 to 4"};
      if (*range.slot) return UsageError("option '" + arg + "' given twice", usage);
      *range.slot = ParseFigure(value, range.low, range.high);
      if (!*range.slot)
        return UsageError(arg + " takes " + range.what + ", not '" + value + "'", usage);
      continue;
    }
    bool* flag = nullptr;
    if (takesPassword && !isPasswd && options.Command != TCommand::cmVerify && arg == "--yes")
      flag = &options.Yes;
    if (isProtect && arg == "--classic") flag = &options.Classic;
    if (options.Command == TCommand::cmInfo && arg == "--escrow") flag = &options.EscrowOnly;
    if (isProtect && arg == "--no-compression") flag = &options.NoCompression;
    if (isProtect && arg == "--keep-files") flag = &options.KeepFiles;
    if (isProtect && arg == "--no-recovery") flag = &options.NoRecovery;
    if (!flag) return UsageError("unknown option '" + arg + "'", usage);
    if (inlineValue) return UsageError("option '" + arg + "' takes no value", usage);
    *flag = true;
  }

  if (positional.empty())
    return UsageError(
        options.Command == TCommand::cmProtect ? "missing folder" : "missing container", usage);
  if (positional.size() > 1)
    return UsageError("unexpected argument '" + positional[1] + "'", usage);
  options.Path = positional.front();
  if (options.PasswordFile && options.PasswordFd)
    return UsageError("give either --password-file or --password-fd, not both", usage);
  if (options.NewPasswordFile && options.NewPasswordFd)
    return UsageError("give either --new-password-file or --new-password-fd, not both", usage);
  for (const auto& [name, value] : {std::pair{"--password-fd", &options.PasswordFd},
                                    std::pair{"--new-password-fd", &options.NewPasswordFd}}) {
    if (!*value) continue;
    const std::string& text = **value;
    bool digits = !text.empty() && text.size() <= 9;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (!digits)
      return UsageError(std::string(name) + " needs a descriptor number, not '" + text + "'",
                        usage);
  }
  if (options.Classic && (options.KdfTimeMs || options.KdfMemoryMiB || options.KdfPasses ||
                          options.KdfLanes))
    return UsageError("the --kdf options set the hardened layout's cost; --classic has none",
                      usage);
  if (options.KdfTimeMs && options.KdfPasses)
    return UsageError("give either --kdf-time (measured) or --kdf-passes (exact), not both",
                      usage);
  return -1;
}

// ---------------------------------------------------------------- the scripted person

// The text of a message box as it reads on a terminal.
std::string BoxText(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\r') c = '\n';
  return out;
}

class ScriptedUi final : public korvane::Ui {
 public:
  // `password` holds the password when it came from a file or descriptor;
  // otherwise `ttyFd` is the terminal to ask on.
  ScriptedUi(const TOptions& options, const SecretText* password, int ttyFd)
      : options_(options),
        password_(password),
        ttyFd_(ttyFd),
        drawProgress_(isatty(STDERR_FILENO) != 0) {}

  void Attach(TApplication& app) { app_ = &app; }

  bool PromptCancelled() const { return promptCancelled_; }

  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons) override {
    ClearProgressLine();
    (void)icon;  // every box is worth reading in a log; refusals go by the outcome
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, caption.c_str(), BoxText(text).c_str());
    if (buttons != TMsgButtons::OkCancel) return korvane::mrOk;
    if (options_.Yes) {
      std::fprintf(stderr, "%s: answered OK (--yes)\n", kProgram);
      return korvane::mrOk;
    }
    std::fprintf(stderr, "%s: answered Cancel; --yes would answer OK\n", kProgram);
    return korvane::mrCancel;
  }

  void RunForm(TForm& form) override {
    if (auto* protect = dynamic_cast<TfrmProtect*>(&form)) {
      RunProtect(*protect);
    } else if (auto* enter = dynamic_cast<TfrmEnter*>(&form)) {
      RunEnter(*enter);
    } else if (auto* error = dynamic_cast<korvane::TErrorDialog*>(&form)) {
      ClearProgressLine();
      std::fprintf(stderr, "%s: error: %s\n", kProgram, BoxText(error->LabelError.Caption).c_str());
    }
    // Whatever is still open has nothing a script could answer: Cancel.
    if (form.Visible()) form.Close();
  }

  void ProcessMessages() override {
    if (!app_ || !app_->frmProgress) return;
    TfrmProgress& progress = *app_->frmProgress;
    if (gStopRequested && progress.Visible() && !progress.Cancelled) {
      ClearProgressLine();
      progress.btnCancel.Click();
    }
    DrawProgress(progress, false);
  }

  void FormChanged(TForm& form) override {
    auto* progress = dynamic_cast<TfrmProgress*>(&form);
    if (!progress) return;
    if (progress->Visible())
      DrawProgress(*progress, false);
    else
      ClearProgressLine();
  }

  void CopyToClipboard(const std::string&) override {}

  // A script never goes on the network: an update check that the poll rule
  // starts loads nothing (its window is closed at once anyway).
  void Navigate(korvane::TWebBrowser&, const std::string&) override {}

  // Scripts do not want a file manager popping up. The open workflow shows
  // the folder after a stop or a failure too, so the restored folder is
  // reported from the outcome instead (see RunWorkflow).
  bool ShellOpen(const std::string&) override { return true; }

  void ClearProgressLine() {
    if (!lineDrawn_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    lineDrawn_ = false;
  }

 private:
  // Fills the password into the edit(s): from the file or descriptor, or
  // asked for on the terminal. False when the person cancelled the prompt.
  bool ObtainPassword(const std::string& prompt, SecretText& typed) {
    if (password_) return true;
    if (gStopRequested) return false;
    return PromptPassword(ttyFd_, prompt, typed) == TPromptResult::prEntered;
  }

  void RunProtect(TfrmProtect& form) {
    SecretText typed;
    SecretText confirmed;
    if (!ObtainPassword("Password for " + app_->FolderArgument + ": ", typed) ||
        !ObtainPassword("Confirm password: ", confirmed)) {
      promptCancelled_ = true;
      return;
    }
    form.edPassword.SetText(password_ ? password_->Text() : typed.Text());
    form.edConfirm.SetText(password_ ? password_->Text() : confirmed.Text());
    form.cbxCompression.SetChecked(!options_.NoCompression);
    form.cbxDontDelete.SetChecked(options_.KeepFiles);
    form.cbxEnablePassRestore.SetChecked(!options_.NoRecovery);
    form.cbxClassic.SetChecked(options_.Classic);
    form.btnProtect.Click();
    ClearProgressLine();
  }

  void RunEnter(TfrmEnter& form) {
    // A name without the suffix was already refused in a message box.
    if (form.FolderPath.empty()) return;
    if (!form.btnOpen.Enabled) {
      std::fprintf(stderr, "%s: %s: not a protected folder, or its password record is missing\n",
                   kProgram, app_->FolderArgument.c_str());
      return;
    }
    SecretText typed;
    if (!ObtainPassword("Password for " + form.FolderPath + ": ", typed)) {
      promptCancelled_ = true;
      return;
    }
    form.edPassword.SetText(password_ ? password_->Text() : typed.Text());
    // The access code of the recovery request opens its window, which the
    // script has closed again; then comes the Open click as for any text.
    if (form.Visible()) form.btnOpen.Click();
    ClearProgressLine();
  }

  void DrawProgress(TfrmProgress& progress, bool force) {
    // Nothing worth a line until the first file is under way.
    if (!drawProgress_ || !progress.Visible() || progress.OperationLine.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && lineDrawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const auto& bar = progress.barProgress;
    unsigned percent = 100;
    if (bar.Max > bar.Min) {
      const std::uint64_t done = bar.Position > bar.Min ? bar.Position - bar.Min : 0;
      percent = static_cast<unsigned>(done * 100 / (bar.Max - bar.Min));
      if (percent > 100) percent = 100;
    }
    winsize size{};
    std::size_t columns = 80;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) columns = size.ws_col;
    char head[16];
    std::snprintf(head, sizeof head, "%3u%% ", percent);
    const std::string line =
        head + korvane::PathEllipsis(progress.OperationLine, columns - std::strlen(head) - 1);
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    lineDrawn_ = true;
  }

  const TOptions& options_;
  const SecretText* password_;
  int ttyFd_;
  bool drawProgress_;
  TApplication* app_ = nullptr;
  bool promptCancelled_ = false;
  bool lineDrawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// ---------------------------------------------------------------- commands

int ExitStatusOf(TWorkflowOutcome outcome, int errorCount) {
  if (errorCount > 0) return kExitFailed;
  switch (outcome) {
    case TWorkflowOutcome::woDone:
      return kExitDone;
    case TWorkflowOutcome::woCancelled:
      return kExitCancelled;
    case TWorkflowOutcome::woFailed:
    case TWorkflowOutcome::woNone:
      return kExitFailed;
  }
  return kExitFailed;
}

int RunWorkflow(const TOptions& options, const SecretText* password, int ttyFd) {
  ScriptedUi ui(options, password, ttyFd);
  korvane::TEnvironment environment;
  environment.ProtectKdf = [&options] { return ChosenKdf(options); };
  TApplication app(ui, std::move(environment));
  ui.Attach(app);
  const bool protect = options.Command == TCommand::cmProtect;
  try {
    (void)app.Run({"korvane", protect ? "-PROTECT" : "-OPEN", options.Path});
  } catch (const std::exception& error) {
    ui.ClearProgressLine();
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return kExitFailed;
  }
  ui.ClearProgressLine();
  if (ui.PromptCancelled()) {
    std::fprintf(stderr, "%s: cancelled\n", kProgram);
    return kExitCancelled;
  }

  if (protect) {
    if (!app.frmProtect) return kExitFailed;
    const int status = ExitStatusOf(app.frmProtect->Outcome, app.ErrorCount);
    if (status == kExitCancelled)
      std::fprintf(stderr, "%s: cancelled; the folder is as it was\n", kProgram);
    if (status == kExitDone)
      std::printf("protected %s -> %s%s\n", app.FolderArgument.c_str(), app.FolderArgument.c_str(),
                  korvane::kContainerSuffix);
    return status;
  }
  if (!app.frmEnter) return kExitFailed;
  const int status = ExitStatusOf(app.frmEnter->Outcome, app.ErrorCount);
  if (status == kExitCancelled)
    std::fprintf(stderr, "%s: cancelled; the protected folder %s is kept\n", kProgram,
                 app.FolderArgument.c_str());
  if (status == kExitDone) {
    std::printf("restored %s\n", app.frmEnter->FolderPath.c_str());
    std::printf("opened %s -> %s\n", app.FolderArgument.c_str(), app.frmEnter->FolderPath.c_str());
  }
  return status;
}

int RunInfo(const TOptions& options) {
  ScriptedUi ui(options, nullptr, -1);
  TApplication app(ui);
  ui.Attach(app);
  app.ParseCommandLine({"korvane", "-OPEN", options.Path});
  const std::string& container = app.FolderArgument;
  try {
    const auto probe = korvane::NewLockedContainerStorage(container);
    probe->SetReadOnly(true);
    if (!korvane::platform::FileExists(container) || !probe->IsValidStorage()) {
      std::fprintf(stderr, "%s: %s: not a protected folder\n", kProgram, container.c_str());
      return kExitFailed;
    }
    app.CreateForms();
    std::string hashText, escrowText, sizeText;
    const bool hashPresent = app.frmEnter->ReadServiceRecords(hashText, escrowText, sizeText);
    if (!app.frmEnter->RecordProblem.empty()) {
      std::fprintf(stderr, "%s: %s: %s\n", kProgram, container.c_str(),
                   app.frmEnter->RecordProblem.c_str());
      return kExitFailed;
    }
    const bool recoverable = app.frmEnter->EscrowPresent && !escrowText.empty();
    if (options.EscrowOnly) {
      if (!hashPresent || !recoverable) {
        std::fprintf(stderr, "%s: %s: no recovery escrow\n", kProgram, container.c_str());
        return kExitFailed;
      }
      std::printf("%s\n", escrowText.c_str());
      return kExitDone;
    }
    const std::string folder = korvane::ContainerPathToFolder(container);
    std::printf("container: %s\n", container.c_str());
    if (folder.empty())
      std::printf("folder: (none: the name does not contain \"%s\")\n", korvane::kContainerSuffix);
    else
      std::printf("folder: %s\n", folder.c_str());
    if (app.frmEnter->Layout == korvane::TContainerLayout::clHardened &&
        app.frmEnter->PublicRecord) {
      const korvane::KdfParameters& kdf = app.frmEnter->PublicRecord->Record.Kdf;
      std::printf("layout: hardened\n");
      std::printf("key derivation: Argon2id, %u passes, %u MiB, %u lanes\n", kdf.TimeCost,
                  kdf.MemoryKiB / 1024, kdf.Parallelism);
    } else if (hashPresent) {
      std::printf("layout: classic\n");
    }
    std::printf("size: %s KB\n", sizeText.c_str());
    std::printf("password record: %s\n", hashPresent ? "present" : "missing");
    std::printf("recovery: %s\n", recoverable ? "possible" : "not possible");
    std::printf("escrow text length: %zu\n", app.frmEnter->EscrowPresent ? escrowText.size() : 0);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, container.c_str(), error.what());
    return kExitFailed;
  }
  return kExitDone;
}

// Reads a password from --*-password-file or --*-password-fd. False with a
// message in `error` when that fails.
bool ReadPasswordOption(const std::optional<std::string>& file,
                        const std::optional<std::string>& fd, const char* fdOption,
                        SecretText& out, std::string& error) {
  if (file) {
    const int descriptor = open(file->c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
      error = *file + ": " + std::strerror(errno);
      return false;
    }
    const bool read = ReadAllSecret(descriptor, out, error);
    close(descriptor);
    if (!read) error = *file + ": " + error;
    return read;
  }
  const int descriptor = std::stoi(*fd);
  if (fcntl(descriptor, F_GETFD) < 0) {
    error = std::string(fdOption) + " " + *fd + ": " + std::strerror(errno);
    return false;
  }
  if (!ReadAllSecret(descriptor, out, error)) {
    error = std::string(fdOption) + " " + *fd + ": " + error;
    return false;
  }
  return true;
}

// The container named on the command line, made absolute as the windows do.
std::string ContainerArgument(const TOptions& options) {
  return korvane::platform::AbsolutePath(options.Path);
}

// The container's public facts: its layout and, when hardened, its record.
// Prints why and returns false when it is no protected folder.
bool ProbeContainer(const std::string& container, std::optional<korvane::TPublicRecord>& record) {
  if (!korvane::platform::FileExists(container)) {
    std::fprintf(stderr, "%s: %s: no such file\n", kProgram, container.c_str());
    return false;
  }
  const auto probe = korvane::NewLockedContainerStorage(container);
  probe->SetReadOnly(true);
  if (!probe->IsValidStorage()) {
    std::fprintf(stderr, "%s: %s: not a protected folder\n", kProgram, container.c_str());
    return false;
  }
  probe->Open(2);
  record = korvane::ReadPublicRecord(*probe);
  probe->Close();
  return true;
}

int RunPasswd(const TOptions& options, SecretText& oldPassword, SecretText& newPassword) {
  const std::string container = ContainerArgument(options);
  try {
    std::optional<korvane::TPublicRecord> record;
    if (!ProbeContainer(container, record)) return kExitFailed;
    if (!record) {
      std::fprintf(stderr,
                   "%s: %s has the classic layout: its password cannot be changed in place. "
                   "Open it and protect the folder again.\n",
                   kProgram, container.c_str());
      return kExitFailed;
    }
    if (korvane::TextLength(newPassword.Text()) < 4) {
      std::fprintf(stderr, "%s: the new password is too short: the minimal length is 4 symbols\n",
                   kProgram);
      return kExitFailed;
    }
    const korvane::KdfParameters parameters = ChosenKdf(options);
    std::string escrow;
    if (!record->EscrowText.empty()) {
      escrow = korvane::EncryptPasswordForHardenedRecovery(newPassword.Text(),
                                                           korvane::LoadHardenedRecoveryKey());
      if (escrow.size() > korvane::MaxPublicEscrowSize(korvane::kContainerPageSize)) escrow.clear();
      if (escrow.empty())
        std::fprintf(stderr, "%s: the new password cannot be kept for recovery; the recovery "
                     "escrow is dropped\n", kProgram);
    }
    // Journaled: the record is replaced whole or not at all.
    const auto storage = korvane::NewLockedContainerStorage(container);
    storage->SetUseTransactions(true);
    storage->Open(2);
    const bool changed = korvane::ChangeContainerPassword(*storage, oldPassword.Text(),
                                                          newPassword.Text(), parameters, escrow);
    storage->CloseChecked();
    if (!changed) {
      std::fprintf(stderr,
                   "%s: Invalid password: The password you have entered is not valid for this "
                   "protected folder!\n",
                   kProgram);
      return kExitFailed;
    }
    if (!korvane::platform::SyncFile(container)) {
      std::fprintf(stderr, "%s: %s: cannot flush to disk: %s\n", kProgram, container.c_str(),
                   std::strerror(errno));
      return kExitFailed;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, container.c_str(), error.what());
    return kExitFailed;
  }
  std::printf("password changed: %s\n", container.c_str());
  return kExitDone;
}

int RunVerify(const TOptions& options, const SecretText& password) {
  const std::string container = ContainerArgument(options);
  std::vector<korvane::TDamage> damage;
  std::size_t entries = 0;
  try {
    std::optional<korvane::TPublicRecord> record;
    if (!ProbeContainer(container, record)) return kExitFailed;
    std::optional<korvane::TContainerAccess> access;
    korvane::SecretBytes macKey;
    if (record) {
      const std::optional<korvane::SecretBytes> master =
          korvane::OpenHardenedRecord(record->Record, korvane::PasswordBytes(password.Text()));
      if (master) {
        korvane::HardenedSubkeys keys = korvane::DeriveSubkeys(*master);
        access.emplace(korvane::TContainerAccess::Hardened(keys));
        macKey = std::move(keys.MacKey);
      }
    } else {
      const auto classic = korvane::TContainerAccess::Classic(password.Text());
      const auto storage = classic.OpenForReading(container);
      const bool hashed = storage->FileExists(korvane::kHashRecord);
      const std::string hash = hashed ? korvane::ReadServiceRecord(*storage, korvane::kHashRecord)
                                      : std::string();
      storage->Close();
      if (!hashed) {
        std::fprintf(stderr, "%s: %s: not a protected folder (no password record)\n", kProgram,
                     container.c_str());
        return kExitFailed;
      }
      if (korvane::UpperCase(hash) == korvane::UpperCase(korvane::Md5Hex(password.Text())))
        access.emplace(korvane::TContainerAccess::Classic(password.Text()));
    }
    if (!access) {
      std::fprintf(stderr,
                   "%s: Invalid password: The password you have entered is not valid for this "
                   "protected folder!\n",
                   kProgram);
      return kExitFailed;
    }

    // The structure first: links between pages, records, the space map.
    vaultfs::CheckReport report;
    const vaultfs::PasswordBytes storagePassword(access->StoragePasswordText());
    const vaultfs::EngineResult checked = vaultfs::StorageCheckAndRepairReport(
        vaultfs::Utf8ToUtf16(container), korvane::kContainerPageSize, 1, storagePassword.data(),
        storagePassword.size(), nullptr, nullptr, report);
    if (checked != 0) {
      damage.push_back({"(container)", "the check failed: " + std::string(vaultfs::EngineMessage(checked))});
    } else if (!report.Clean()) {
      damage.push_back({"(container)", "the structure is damaged (" +
                                           std::to_string(report.LinksCut) + " links, " +
                                           std::to_string(report.EntriesCleared) + " entries, " +
                                           std::to_string(report.RecordsRemoved) + " records, " +
                                           std::to_string(report.OrphansFreed) +
                                           " orphan pages)"});
    }

    // Then every entry, read whole.
    const auto storage = access->OpenForReading(container);
    std::vector<korvane::TDamage> unreadable;
    // A classic container has no MAC key: any key serves to read it all.
    if (!record) macKey = korvane::GenerateMasterKey();
    const std::optional<korvane::TManifest> found =
        korvane::ComputeManifest(*storage, korvane::kDataFolder, macKey, {}, &unreadable);
    entries = found ? found->size() : 0;
    if (record) {
      const std::optional<korvane::TManifest> sealed = korvane::ReadManifest(*storage, macKey);
      if (!sealed) {
        damage.push_back({"(list of entries)", "missing or does not verify"});
      } else if (found) {
        for (korvane::TDamage& item : korvane::CompareManifests(*sealed, *found)) {
          const bool unread = std::any_of(unreadable.begin(), unreadable.end(),
                                          [&](const auto& u) { return u.Path == item.Path; });
          if (!unread) damage.push_back(std::move(item));
        }
      }
    }
    for (korvane::TDamage& item : unreadable) {
      item.Reason = "cannot be read (" + item.Reason + ")";
      damage.push_back(std::move(item));
    }
    storage->Close();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, container.c_str(), error.what());
    return kExitFailed;
  }
  if (!damage.empty()) {
    for (const korvane::TDamage& item : damage)
      std::printf("damaged: %s: %s\n", item.Path.c_str(), item.Reason.c_str());
    std::fprintf(stderr, "%s: Failed to unlock: %zu damaged entries in %s\n", kProgram,
                 damage.size(), container.c_str());
    return kExitFailed;
  }
  std::printf("sound: %s (%zu entries)\n", container.c_str(), entries);
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit must end as a write error the workflow reports and
  // cleans up after, not kill the process half-way; the same for a reader of
  // our output that went away.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);

  if (argc < 2) return UsageError("missing command", kAllUsages);
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kGeneralHelp, stdout);
    return kExitDone;
  }
  if (command == "--version") {
    std::printf("%s %s\n", kProgram, KORVANE_VERSION);
    return kExitDone;
  }
  TOptions options;
  if (command == "protect")
    options.Command = TCommand::cmProtect;
  else if (command == "open")
    options.Command = TCommand::cmOpen;
  else if (command == "info")
    options.Command = TCommand::cmInfo;
  else if (command == "passwd")
    options.Command = TCommand::cmPasswd;
  else if (command == "verify")
    options.Command = TCommand::cmVerify;
  else
    return UsageError("unknown command '" + command + "'", kAllUsages);
  if (const int status = ParseCommandArguments(argc, argv, options); status >= 0) return status;
  if (options.Command == TCommand::cmInfo) return RunInfo(options);

  const char* usage = CommandUsage(options.Command);
  SecretText password;
  int ttyFd = -1;
  std::string error;
  const bool needsTerminal =
      (!options.PasswordFile && !options.PasswordFd) ||
      (options.Command == TCommand::cmPasswd && !options.NewPasswordFile && !options.NewPasswordFd);
  if (options.PasswordFile || options.PasswordFd) {
    if (!ReadPasswordOption(options.PasswordFile, options.PasswordFd, "--password-fd", password,
                            error))
      return UsageError(error, usage);
  }
  if (needsTerminal) {
    if (!isatty(STDIN_FILENO))
      return UsageError(
          "no password: give --password-file or --password-fd (there is no terminal to ask on)",
          usage);
    ttyFd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (ttyFd < 0)
      return UsageError(
          std::string("no password, and /dev/tty cannot be opened: ") + std::strerror(errno),
          usage);
  }

  if (options.Command == TCommand::cmPasswd || options.Command == TCommand::cmVerify) {
    InstallStopHandlers();
    const std::string container = ContainerArgument(options);
    if (!options.PasswordFile && !options.PasswordFd &&
        PromptPassword(ttyFd, "Password for " + container + ": ", password) !=
            TPromptResult::prEntered) {
      close(ttyFd);
      std::fprintf(stderr, "%s: cancelled\n", kProgram);
      return kExitCancelled;
    }
    int status = kExitDone;
    if (options.Command == TCommand::cmVerify) {
      status = RunVerify(options, password);
    } else {
      SecretText newPassword;
      if (options.NewPasswordFile || options.NewPasswordFd) {
        if (!ReadPasswordOption(options.NewPasswordFile, options.NewPasswordFd,
                                "--new-password-fd", newPassword, error)) {
          if (ttyFd >= 0) close(ttyFd);
          return UsageError(error, usage);
        }
      } else {
        SecretText confirmed;
        if (PromptPassword(ttyFd, "New password: ", newPassword) != TPromptResult::prEntered ||
            PromptPassword(ttyFd, "Confirm new password: ", confirmed) !=
                TPromptResult::prEntered) {
          close(ttyFd);
          std::fprintf(stderr, "%s: cancelled\n", kProgram);
          return kExitCancelled;
        }
        if (confirmed.Text() != newPassword.Text()) {
          close(ttyFd);
          std::fprintf(stderr, "%s: Passwords don't match: the password and confirmation "
                       "password do not match\n", kProgram);
          return kExitFailed;
        }
      }
      status = RunPasswd(options, password, newPassword);
    }
    if (ttyFd >= 0) close(ttyFd);
    return status;
  }
  // protect and open ask through their windows when there is no password.
  if (options.PasswordFile || options.PasswordFd) {
    if (ttyFd >= 0) close(ttyFd);
    ttyFd = -1;
  }

  InstallStopHandlers();
  const int status = RunWorkflow(options, ttyFd < 0 ? &password : nullptr, ttyFd);
  if (ttyFd >= 0) close(ttyFd);
  // A stop that came while the work could no longer be stopped changes
  // nothing: the status says what happened to the data.
  return status;
}

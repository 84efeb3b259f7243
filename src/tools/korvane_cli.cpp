// korvane-cli: protects and opens folders from scripts.
//
// The windows and workflows of the desktop program run underneath, unchanged;
// this front-end plays the person in front of them: it fills in the password
// and the options from the command line, presses the buttons, prints every
// message box on standard error and turns the outcome of the workflow into
// an exit status.
//
// Exit status: 0 done, 1 refused or failed, 2 bad usage, 3 cancelled,
// 4 wrong password.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
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

#include "korvane/forms/application.h"
#include "korvane/forms/container_layout.h"
#include "korvane/forms/container_seal.h"
#include "korvane/forms/controls.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/hardened_escrow.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/service_records.h"
#include "korvane/keys/hardened_keys.h"
#include "korvane/platform/platform.h"
#include "korvane/ui/tty/terminal_text.h"
#ifdef KORVANE_WITH_MOUNT
#include "tools/mount/mount_process.h"
#include "tools/mount/vault_mount.h"
#endif
#include "vaultfs/utf16.h"
#include "vaultfs/password_bytes.h"
#include "vaultfs/vault_storage.h"

extern "C" char** environ;

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
constexpr int kExitWrongPassword = 4;

constexpr const char* kProgram = "korvane-cli";
// A password is typed by a person or kept in a small file; anything larger
// is a mistake such as --password-file /dev/zero, which must not hang us.
constexpr std::size_t kMaxPasswordBytes = 64 * 1024;

// ---------------------------------------------------------------- usage texts

constexpr const char* kProtectUsage =
    "Usage: korvane-cli protect DIR [--password-file F | --password-fd N | --password-command CMD]\n"
    "                   [--no-compression] [--keep-files] [--no-recovery] [--classic] [--yes]\n"
    "                   [--kdf-time MS] [--kdf-memory MIB] [--kdf-passes N] [--kdf-lanes N]\n"
    "                   [--progress json] [--quiet]\n";
constexpr const char* kOpenUsage =
    "Usage: korvane-cli open CONTAINER [--password-file F | --password-fd N | --password-command CMD]\n"
    "                   [--yes] [--progress json] [--quiet]\n";
constexpr const char* kInfoUsage = "Usage: korvane-cli info CONTAINER [--escrow]\n";
constexpr const char* kPasswdUsage =
    "Usage: korvane-cli passwd CONTAINER [--password-file F | --password-fd N | --password-command CMD]\n"
    "                   [--new-password-file F | --new-password-fd N | --new-password-command CMD]\n"
    "                   [--kdf-time MS] [--kdf-memory MIB] [--kdf-passes N] [--kdf-lanes N]\n"
    "                   [--quiet]\n";
constexpr const char* kVerifyUsage =
    "Usage: korvane-cli verify CONTAINER [--password-file F | --password-fd N | --password-command CMD]\n"
    "                   [--quiet]\n";
constexpr const char* kMountUsage =
    "Usage: korvane-cli mount CONTAINER DIR [--password-file F | --password-fd N | --password-command CMD]\n"
    "                   [--foreground] [--quiet]\n";
constexpr const char* kUnmountUsage = "Usage: korvane-cli unmount DIR\n";

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
    "  mount CONTAINER DIR show its folder at DIR, read-only, restoring nothing\n"
    "  unmount DIR         end a mount that mount made\n"
    "\n"
    "  korvane-cli COMMAND --help   options of one command\n"
    "  korvane-cli --version        version\n"
    "\n"
    "Password: --password-file F (the file's bytes, less one trailing newline),\n"
    "--password-fd N (the same, read from an open file descriptor),\n"
    "--password-command CMD (the first line CMD prints, run with /bin/sh -c), or,\n"
    "when none is given and standard input is a terminal, asked for on the terminal.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason on standard error;\n"
    "for verify: damage found), 2 bad usage (also: a password command that fails\n"
    "or prints nothing), 3 cancelled (SIGINT or SIGTERM during the work),\n"
    "4 wrong password.\n";

// Where the password comes from, shared by protect, open, verify and passwd.
#define KORVANE_PASSWORD_HELP                                                               \
  "  --password-file F   read the password from the file F (one trailing\n"                 \
  "                      newline or CR LF is not part of it)\n"                             \
  "  --password-fd N     read the password from file descriptor N, up to its end\n"        \
  "  --password-command CMD\n"                                                              \
  "                      run CMD with /bin/sh -c; the password is the first line\n"         \
  "                      it prints (a command that fails or prints nothing: status 2)\n"

#define KORVANE_QUIET_HELP                                                                  \
  "  --quiet             no progress line and no informational messages on\n"              \
  "                      standard error (errors and warnings still are)\n"

// Machine-readable progress, shared by protect and open.
#define KORVANE_PROGRESS_HELP                                                               \
  "  --progress json     one JSON object a line on standard output while the work\n"       \
  "                      runs ({\"type\":\"progress\",\"percent\":N,...}), then one\n"          \
  "                      {\"type\":\"summary\",...}; messages become JSON objects on\n"        \
  "                      standard error ({\"type\":\"error\"|\"warning\"|\"info\",...})\n"

#define KORVANE_EXIT_HELP                                                                   \
  "\n"                                                                                      \
  "Exit status: 0 done, 1 refused or failed, 2 bad usage, 3 cancelled,\n"                  \
  "4 wrong password.\n"

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
    KORVANE_PASSWORD_HELP
    "  --no-compression    store the files uncompressed (default: compressed)\n"
    "  --keep-files        keep DIR as it is; only make the container\n"
    "  --no-recovery       do not store the password for recovery by the maker\n"
    "  --classic           write the classic layout that older versions open too:\n"
    "                      names, sizes and times readable by anyone holding the\n"
    "                      file, a fast hash of the password, no tamper check\n"
    "  --yes               replace an existing DIR._zkvlk (without it the run is\n"
    "                      refused and nothing changes)\n"
    KORVANE_PROGRESS_HELP
    KORVANE_QUIET_HELP
    KORVANE_KDF_HELP
    "\n"
    "Without a password option the password is asked for twice on the terminal.\n"
    "On success prints \"protected DIR -> DIR._zkvlk\" (with --progress json: the\n"
    "summary object instead).\n"
    KORVANE_EXIT_HELP;

constexpr const char* kOpenHelp =
    "\n"
    "Restores the folder that the protected folder CONTAINER stands for (its\n"
    "path without \"._zkvlk\") and removes CONTAINER. CONTAINER is removed only\n"
    "after every restored file was written and flushed to disk.\n"
    "\n"
    "Options:\n"
    KORVANE_PASSWORD_HELP
    "  --yes               replace a folder that already exists at the restored\n"
    "                      folder's place (without it the run is refused and\n"
    "                      nothing changes)\n"
    KORVANE_PROGRESS_HELP
    KORVANE_QUIET_HELP
    "\n"
    "Without a password option the password is asked for on the terminal.\n"
    "On success prints \"restored DIR\" and \"opened CONTAINER -> DIR\" (with\n"
    "--progress json: the summary object instead).\n"
    KORVANE_EXIT_HELP;

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
    "  --password-file F, --password-fd N, --password-command CMD\n"
    "                      the current password (as for open)\n"
    "  --new-password-file F, --new-password-fd N, --new-password-command CMD\n"
    "                      the new password (at least 4 characters)\n"
    KORVANE_QUIET_HELP
    KORVANE_KDF_HELP
    "\n"
    "Without password options the passwords are asked for on the terminal (the\n"
    "new one twice). On success prints \"password changed: CONTAINER\".\n"
    KORVANE_EXIT_HELP;

constexpr const char* kVerifyHelp =
    "\n"
    "Checks CONTAINER without restoring anything: the structure of the container\n"
    "(the engine's check), then, with the password, every entry: for the\n"
    "hardened layout each entry's MAC and the list of all entries (anything\n"
    "changed, added, removed, renamed or swapped is found); for the classic\n"
    "layout, which has no MACs, only that every file can be read.\n"
    "\n"
    "Options:\n"
    "  --password-file F, --password-fd N, --password-command CMD\n"
    "                      the password (as for open)\n"
    KORVANE_QUIET_HELP
    "\n"
    "Prints \"sound: CONTAINER\" and exits 0, or names every damaged entry on\n"
    "standard output (\"damaged: PATH: REASON\") and exits 1; 2 is bad usage,\n"
    "3 cancelled, 4 a wrong password.\n";

constexpr const char* kMountHelp =
    "\n"
    "Shows the folder that the protected folder CONTAINER stands for at the\n"
    "folder DIR, read-only (FUSE), without restoring it: the names, modes,\n"
    "times, sizes and links that open would restore. Nothing in CONTAINER\n"
    "changes, not even its times. For the hardened layout the list of entries\n"
    "is checked before the mount is made (a damaged one is refused: status 1),\n"
    "and each file's or link's MAC before its first byte is served: a damaged\n"
    "file reads as an I/O error (EIO), never as wrong bytes. The classic layout\n"
    "has no MACs to check.\n"
    "\n"
    "Options:\n"
    KORVANE_PASSWORD_HELP
    "  --foreground        serve in this process until the mount ends (default:\n"
    "                      return once the mount is in place and serve in the\n"
    "                      background)\n"
    KORVANE_QUIET_HELP
    "\n"
    "Without a password option the password is asked for on the terminal.\n"
    "On success prints \"mounted CONTAINER on DIR\". End the mount with\n"
    "\"korvane-cli unmount DIR\" or \"fusermount3 -u DIR\".\n"
    "\n"
    "Exit status: 0 mounted (with --foreground: served and unmounted), 1 refused\n"
    "or failed (also: a damaged list of entries), 2 bad usage, 4 wrong password.\n";

constexpr const char* kUnmountHelp =
    "\n"
    "Ends the mount at DIR that \"korvane-cli mount\" made (fusermount3 -u DIR);\n"
    "the serving process then ends.\n"
    "\n"
    "Exit status: 0 unmounted, 1 failed (the reason on standard error), 2 bad\n"
    "usage.\n";

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
  // Keeps the text up to its first line end ("\n" or "\r\n"), without it.
  void KeepFirstLine() {
    const std::size_t end = text_.find('\n');
    if (end == std::string::npos) return;
    DropBack(text_.size() - end);
    if (!text_.empty() && text_.back() == '\r') DropBack(1);
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

// Runs `command` with /bin/sh -c, its standard input and error ours, and
// takes the first line of what it prints (at most kMaxPasswordBytes are
// read). False with a reason when it cannot run, fails, or prints nothing.
bool ReadCommandSecret(const std::string& command, SecretText& out, std::string& error) {
  out.Wipe();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  // What this program ignores (a broken pipe, a file-size limit) the
  // command must meet as any command run from a shell would.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  const char* shell = "/bin/sh";
  std::string dashC = "-c";
  std::string shellName = "sh";
  std::string commandText = command;
  char* arguments[] = {shellName.data(), dashC.data(), commandText.data(), nullptr};
  pid_t child = -1;
  const int spawned = posix_spawn(&child, shell, &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    error = std::string("cannot run ") + shell + ": " + std::strerror(spawned);
    return false;
  }
  // Up to the first line end, and never more than a password can be: the
  // rest of the output is not read.
  char chunk[4096];
  bool readFailed = false;
  int readErrno = 0;
  bool lineEnded = false;
  while (!lineEnded && out.Size() < kMaxPasswordBytes) {
    const std::size_t room = std::min(sizeof chunk, kMaxPasswordBytes - out.Size());
    const ssize_t got = read(pipeFds[0], chunk, room);
    if (got < 0) {
      if (errno == EINTR) continue;
      readFailed = true;
      readErrno = errno;
      break;
    }
    if (got == 0) break;
    out.Append(chunk, static_cast<std::size_t>(got));
    lineEnded = std::memchr(chunk, '\n', static_cast<std::size_t>(got)) != nullptr;
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  const bool printedAnything = out.Size() > 0;
  const bool tooLong = !lineEnded && out.Size() >= kMaxPasswordBytes;
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  out.KeepFirstLine();
  const bool exitedWell = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  // A command that stopped on the pipe we closed after its first line
  // did its part (a shell in between says so with status 128 + SIGPIPE).
  const bool cutShort = status >= 0 && lineEnded &&
                        ((WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
                         (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGPIPE));
  if (readFailed) {
    error = std::string("cannot read its output: ") + std::strerror(readErrno);
  } else if (tooLong) {
    error = "its first line is longer than " + std::to_string(kMaxPasswordBytes) +
            " bytes: not a password";
  } else if (!exitedWell && !cutShort) {
    if (status >= 0 && WIFEXITED(status))
      error = "it exited with status " + std::to_string(WEXITSTATUS(status));
    else if (status >= 0 && WIFSIGNALED(status))
      error = std::string("it was killed by signal ") + std::to_string(WTERMSIG(status));
    else
      error = "it did not end normally";
  } else if (!printedAnything || out.Size() == 0) {
    error = "it printed no password";
  } else {
    return true;
  }
  out.Wipe();
  return false;
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

enum class TCommand { cmProtect, cmOpen, cmInfo, cmPasswd, cmVerify, cmMount, cmUnmount };

struct TOptions {
  TCommand Command = TCommand::cmProtect;
  std::string Path;
  std::optional<std::string> PasswordFile;
  std::optional<std::string> PasswordFd;
  std::optional<std::string> PasswordCommand;
  bool NoCompression = false;
  bool KeepFiles = false;
  bool NoRecovery = false;
  bool Classic = false;
  bool Yes = false;
  bool EscrowOnly = false;  // info --escrow
  // mount: where, and whether to stay in the foreground.
  std::string MountPoint;
  bool Foreground = false;
  // passwd: where the new password comes from.
  std::optional<std::string> NewPasswordFile;
  std::optional<std::string> NewPasswordFd;
  std::optional<std::string> NewPasswordCommand;
  // protect, open: --progress json.
  bool ProgressJson = false;
  // No progress line, no informational messages.
  bool Quiet = false;
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
    case TCommand::cmMount:
      return {kMountUsage, kMountHelp};
    case TCommand::cmUnmount:
      return {kUnmountUsage, kUnmountHelp};
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
    "       korvane-cli passwd CONTAINER [OPTIONS] | verify CONTAINER [OPTIONS]\n"
    "       korvane-cli mount CONTAINER DIR [OPTIONS] | unmount DIR\n";

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
  const bool takesPassword =
      options.Command != TCommand::cmInfo && options.Command != TCommand::cmUnmount;
  const bool isMount = options.Command == TCommand::cmMount;
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
    // An option's value: after '=', else the next argument; nothing at the end.
    auto takeValue = [argc, argv](std::optional<std::string>& given,
                                  int& at) -> std::optional<std::string> {
      if (given) return given;
      if (at + 1 < argc) return std::string(argv[++at]);
      return std::nullopt;
    };
    if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    if (takesPassword &&
        (arg == "--password-file" || arg == "--password-fd" || arg == "--password-command")) {
      std::optional<std::string>& slot = arg == "--password-file" ? options.PasswordFile
                                         : arg == "--password-fd" ? options.PasswordFd
                                                                  : options.PasswordCommand;
      if (slot) return UsageError("option '" + arg + "' given twice", usage);
      slot = takeValue(inlineValue, i);
      if (!slot) return UsageError("option '" + arg + "' needs a value", usage);
      continue;
    }
    const bool isPasswd = options.Command == TCommand::cmPasswd;
    if (isPasswd && (arg == "--new-password-file" || arg == "--new-password-fd" ||
                     arg == "--new-password-command")) {
      std::optional<std::string>& slot = arg == "--new-password-file" ? options.NewPasswordFile
                                         : arg == "--new-password-fd" ? options.NewPasswordFd
                                                                      : options.NewPasswordCommand;
      if (slot) return UsageError("option '" + arg + "' given twice", usage);
      slot = takeValue(inlineValue, i);
      if (!slot) return UsageError("option '" + arg + "' needs a value", usage);
      continue;
    }
    if ((isProtect || isPasswd) && (arg == "--kdf-time" || arg == "--kdf-memory" ||
                                    arg == "--kdf-passes" || arg == "--kdf-lanes")) {
      const std::optional<std::string> taken = takeValue(inlineValue, i);
      if (!taken) return UsageError("option '" + arg + "' needs a value", usage);
      const std::string& value = *taken;
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
    const bool showsProgress = isProtect || options.Command == TCommand::cmOpen;
    if (showsProgress && arg == "--progress") {
      std::string value;
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return UsageError("option '" + arg + "' needs a value", usage);
      }
      if (options.ProgressJson) return UsageError("option '" + arg + "' given twice", usage);
      if (value != "json")
        return UsageError("--progress takes 'json', not '" + value + "'", usage);
      options.ProgressJson = true;
      continue;
    }
    bool* flag = nullptr;
    if (takesPassword && arg == "--quiet") flag = &options.Quiet;
    if (takesPassword && !isPasswd && options.Command != TCommand::cmVerify && !isMount &&
        arg == "--yes")
      flag = &options.Yes;
    if (isMount && arg == "--foreground") flag = &options.Foreground;
    if (isProtect && arg == "--classic") flag = &options.Classic;
    if (options.Command == TCommand::cmInfo && arg == "--escrow") flag = &options.EscrowOnly;
    if (isProtect && arg == "--no-compression") flag = &options.NoCompression;
    if (isProtect && arg == "--keep-files") flag = &options.KeepFiles;
    if (isProtect && arg == "--no-recovery") flag = &options.NoRecovery;
    if (!flag) return UsageError("unknown option '" + arg + "'", usage);
    if (inlineValue) return UsageError("option '" + arg + "' takes no value", usage);
    *flag = true;
  }

  const bool namesFolder =
      options.Command == TCommand::cmProtect || options.Command == TCommand::cmUnmount;
  if (positional.empty())
    return UsageError(namesFolder ? "missing folder" : "missing container", usage);
  if (isMount) {
    if (positional.size() < 2) return UsageError("missing folder to mount on", usage);
    options.MountPoint = positional[1];
    positional.erase(positional.begin() + 1);
  }
  if (positional.size() > 1)
    return UsageError("unexpected argument '" + positional[1] + "'", usage);
  options.Path = positional.front();
  if ((options.PasswordFile ? 1 : 0) + (options.PasswordFd ? 1 : 0) +
          (options.PasswordCommand ? 1 : 0) > 1)
    return UsageError(
        "give one of --password-file, --password-fd and --password-command, not more", usage);
  if ((options.NewPasswordFile ? 1 : 0) + (options.NewPasswordFd ? 1 : 0) +
          (options.NewPasswordCommand ? 1 : 0) > 1)
    return UsageError(
        "give one of --new-password-file, --new-password-fd and --new-password-command, not more",
        usage);
  for (const auto& [name, value] : {std::pair{"--password-command", &options.PasswordCommand},
                                    std::pair{"--new-password-command", &options.NewPasswordCommand}}) {
    if (*value && (*value)->empty()) return UsageError(std::string(name) + " needs a command", usage);
  }
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

// ---------------------------------------------------------------- JSON

// A JSON string: quotes, backslashes and control characters escaped, bytes
// that are not UTF-8 replaced by U+FFFD (names on Linux are any bytes).
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      const std::size_t length = korvane::tty::Utf8SequenceLength(text, at);
      if (length == 0) {
        out += "\\ufffd";
        ++at;
        continue;
      }
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    ++at;
  }
  out += '"';
  return out;
}

std::string JsonSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds < 0 ? 0.0 : seconds);
  return text;
}

// The figures every progress line and the summary carry.
std::string JsonFigures(const korvane::TProgressFigures& figures) {
  return "\"bytes_done\":" + std::to_string(figures.BytesDone) +
         ",\"bytes_total\":" + std::to_string(figures.BytesTotal) +
         ",\"files_done\":" + std::to_string(figures.FilesDone) +
         ",\"files_total\":" + std::to_string(figures.FilesTotal);
}

// How messages reach standard error: text lines, or JSON objects with
// --progress json. Informational ones are left out with --quiet.
enum class TNoteKind { nkError, nkWarning, nkInfo };

bool gJsonMessages = false;
bool gQuiet = false;

void Note(TNoteKind kind, const std::string& message) {
  if (gQuiet && kind == TNoteKind::nkInfo) return;
  if (gJsonMessages) {
    const char* type = kind == TNoteKind::nkError     ? "error"
                       : kind == TNoteKind::nkWarning ? "warning"
                                                      : "info";
    std::fprintf(stderr, "{\"type\":\"%s\",\"message\":%s}\n", type,
                 JsonString(message).c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  }
  std::fflush(stderr);
}

void PrintSummary(const char* outcome, int status, const korvane::TProgressFigures& figures,
                  const std::string& folder, const std::string& container) {
  std::printf("{\"type\":\"summary\",\"outcome\":\"%s\",\"exit_status\":%d,%s,"
              "\"seconds_elapsed\":%s,\"folder\":%s,\"container\":%s}\n",
              outcome, status, JsonFigures(figures).c_str(),
              JsonSeconds(figures.SecondsElapsed).c_str(), JsonString(folder).c_str(),
              JsonString(container).c_str());
  std::fflush(stdout);
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
        drawProgress_(isatty(STDERR_FILENO) != 0 && !options.Quiet && !options.ProgressJson),
        json_(options.ProgressJson) {}

  void Attach(TApplication& app) { app_ = &app; }

  bool PromptCancelled() const { return promptCancelled_; }
  // The Open window refused the password.
  bool WrongPassword() const { return wrongPassword_; }

  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons) override {
    ClearProgressLine();
    if (caption == "Invalid password") wrongPassword_ = true;
    // Every box is worth reading in a log; refusals go by the outcome. A
    // question --yes answers is information; one answered Cancel is the
    // reason for a refusal.
    const bool question = buttons == TMsgButtons::OkCancel;
    const TNoteKind kind = icon == TMsgIcon::Stop ? TNoteKind::nkError
                           : question             ? (options_.Yes ? TNoteKind::nkInfo
                                                                  : TNoteKind::nkWarning)
                           : icon == TMsgIcon::Exclamation ? TNoteKind::nkWarning
                                                           : TNoteKind::nkInfo;
    Note(kind, caption + ": " + BoxText(text));
    if (!question) return korvane::mrOk;
    if (options_.Yes) {
      Note(TNoteKind::nkInfo, "answered OK (--yes)");
      return korvane::mrOk;
    }
    Note(TNoteKind::nkWarning, "answered Cancel; --yes would answer OK");
    return korvane::mrCancel;
  }

  void RunForm(TForm& form) override {
    if (auto* protect = dynamic_cast<TfrmProtect*>(&form)) {
      RunProtect(*protect);
    } else if (auto* enter = dynamic_cast<TfrmEnter*>(&form)) {
      RunEnter(*enter);
    } else if (auto* error = dynamic_cast<korvane::TErrorDialog*>(&form)) {
      ClearProgressLine();
      Note(TNoteKind::nkError, "error: " + BoxText(error->LabelError.Caption));
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
    EmitProgress(progress, false);
  }

  void FormChanged(TForm& form) override {
    auto* progress = dynamic_cast<TfrmProgress*>(&form);
    if (!progress) return;
    if (progress->Visible()) {
      DrawProgress(*progress, false);
      EmitProgress(*progress, false);
    } else {
      ClearProgressLine();
    }
  }

  // The last progress line (when any was written), with the figures the
  // work ended with; `done`: the work is complete.
  void FinishProgress(bool done) {
    if (!json_ || !jsonLines_ || !app_ || !app_->frmProgress) return;
    WriteProgressLine(Figures(done));
  }

  // The figures as of now; a completed run has done all of its work.
  korvane::TProgressFigures Figures(bool done) const {
    korvane::TProgressFigures figures;
    if (!app_ || !app_->frmProgress) return figures;
    figures = app_->frmProgress->Figures();
    if (done) {
      figures.BytesDone = figures.BytesTotal;
      figures.FilesDone = figures.FilesTotal;
      figures.Percent = 100;
      figures.SecondsRemaining = 0.0;
    }
    return figures;
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
    if (!form.CanOpen()) {
      std::fprintf(stderr, "%s: %s: not a protected folder, or its password record is missing\n",
                   kProgram, app_->FolderArgument.c_str());
      return;
    }
    SecretText typed;
    if (!ObtainPassword("Password for " + form.FolderPath + ": ", typed)) {
      promptCancelled_ = true;
      return;
    }
    form.OpenWithPassword(password_ ? password_->Text() : typed.Text());
    ClearProgressLine();
  }

  void EmitProgress(TfrmProgress& progress, bool force) {
    if (!json_ || !progress.Visible()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && jsonLines_ > 0 && now - lastJson_ < std::chrono::milliseconds(250)) return;
    lastJson_ = now;
    WriteProgressLine(progress.Figures());
  }

  void WriteProgressLine(const korvane::TProgressFigures& figures) {
    const std::string remaining =
        figures.SecondsRemaining ? JsonSeconds(*figures.SecondsRemaining) : std::string("null");
    std::printf("{\"type\":\"progress\",\"stage\":%s,\"percent\":%u,%s,\"current\":%s,"
                "\"seconds_elapsed\":%s,\"seconds_remaining\":%s}\n",
                JsonString(figures.Stage).c_str(), figures.Percent, JsonFigures(figures).c_str(),
                JsonString(figures.CurrentPath).c_str(), JsonSeconds(figures.SecondsElapsed).c_str(),
                remaining.c_str());
    std::fflush(stdout);
    ++jsonLines_;
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
    char percentText[16];
    std::snprintf(percentText, sizeof percentText, "%3u%% ", percent);
    std::string head = percentText;
    if (const std::string figures = progress.FiguresText(); !figures.empty()) head += figures + "  ";
    const std::size_t room = columns - 1 > head.size() ? columns - 1 - head.size() : 0;
    const std::string line =
        room < 8 ? std::string(percentText)
                 : head + korvane::tty::TerminalSafeText(
                              korvane::PathEllipsis(progress.DisplayLine(), room), false);
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    lineDrawn_ = true;
  }

  const TOptions& options_;
  const SecretText* password_;
  int ttyFd_;
  bool drawProgress_;
  bool json_;
  TApplication* app_ = nullptr;
  bool promptCancelled_ = false;
  bool wrongPassword_ = false;
  std::uint64_t jsonLines_ = 0;
  std::chrono::steady_clock::time_point lastJson_{};
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

// The word a summary gives for how the run ended.
const char* OutcomeWord(int status, TWorkflowOutcome outcome) {
  switch (status) {
    case kExitDone:
      return "done";
    case kExitCancelled:
      return "cancelled";
    case kExitWrongPassword:
    case kExitUsage:
      return "refused";
    default:
      return outcome == TWorkflowOutcome::woFailed ? "failed" : "refused";
  }
}

int RunWorkflow(const TOptions& options, const SecretText* password, int ttyFd) {
  ScriptedUi ui(options, password, ttyFd);
  korvane::TEnvironment environment;
  environment.ProtectKdf = [&options] { return ChosenKdf(options); };
  TApplication app(ui, std::move(environment));
  ui.Attach(app);
  const bool protect = options.Command == TCommand::cmProtect;
  TWorkflowOutcome outcome = TWorkflowOutcome::woNone;
  // Ends the run: the last progress line and the summary (JSON), the exit
  // status.
  auto finish = [&](int status) {
    if (options.ProgressJson) {
      ui.FinishProgress(status == kExitDone);
      korvane::TProgressFigures figures = ui.Figures(status == kExitDone);
      std::string folder = app.FolderArgument;
      std::string container = app.FolderArgument;
      if (protect)
        container += korvane::kContainerSuffix;
      else
        folder = korvane::ContainerPathToFolder(app.FolderArgument);
      PrintSummary(OutcomeWord(status, outcome), status, figures, folder, container);
    }
    return status;
  };
  try {
    (void)app.Run({"korvane", protect ? "-PROTECT" : "-OPEN", options.Path});
  } catch (const std::exception& error) {
    ui.ClearProgressLine();
    Note(TNoteKind::nkError, error.what());
    outcome = TWorkflowOutcome::woFailed;
    return finish(kExitFailed);
  }
  ui.ClearProgressLine();
  if (ui.PromptCancelled()) {
    Note(TNoteKind::nkWarning, "cancelled");
    return finish(kExitCancelled);
  }

  if (protect) {
    if (!app.frmProtect) return finish(kExitFailed);
    outcome = app.frmProtect->Outcome;
    const int status = ExitStatusOf(outcome, app.ErrorCount);
    if (status == kExitCancelled) Note(TNoteKind::nkWarning, "cancelled; the folder is as it was");
    if (status == kExitDone && !options.ProgressJson)
      std::printf("protected %s -> %s%s\n", app.FolderArgument.c_str(), app.FolderArgument.c_str(),
                  korvane::kContainerSuffix);
    return finish(status);
  }
  if (!app.frmEnter) return finish(kExitFailed);
  outcome = app.frmEnter->Outcome;
  int status = ExitStatusOf(outcome, app.ErrorCount);
  // The password was refused before anything was touched.
  if (status == kExitFailed && outcome == TWorkflowOutcome::woNone && ui.WrongPassword())
    status = kExitWrongPassword;
  if (status == kExitCancelled)
    Note(TNoteKind::nkWarning, "cancelled; the protected folder " + app.FolderArgument + " is kept");
  if (status == kExitDone && !options.ProgressJson) {
    std::printf("restored %s\n", app.frmEnter->FolderPath.c_str());
    std::printf("opened %s -> %s\n", app.FolderArgument.c_str(), app.frmEnter->FolderPath.c_str());
  }
  return finish(status);
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

// Reads a password from --*-password-file, --*-password-fd or
// --*-password-command. False with a message in `error` when that fails.
bool ReadPasswordOption(const std::optional<std::string>& file,
                        const std::optional<std::string>& fd,
                        const std::optional<std::string>& command, const char* prefix,
                        SecretText& out, std::string& error) {
  if (command) {
    if (ReadCommandSecret(*command, out, error)) return true;
    error = std::string(prefix) + "password-command: " + error;
    return false;
  }
  const std::string fdOption = std::string(prefix) + "password-fd";
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
    error = fdOption + " " + *fd + ": " + std::strerror(errno);
    return false;
  }
  if (!ReadAllSecret(descriptor, out, error)) {
    error = fdOption + " " + *fd + ": " + error;
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
      return kExitWrongPassword;
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

// The layout of `container` and the access `password` gives to it, with the
// MAC key of a hardened container. kExitDone when the password fits; else
// the exit status, the reason printed. Container errors raise.
int UnlockContainer(const std::string& container, const SecretText& password,
                    std::optional<korvane::TPublicRecord>& record,
                    std::optional<korvane::TContainerAccess>& access,
                    korvane::SecretBytes& macKey) {
  if (!ProbeContainer(container, record)) return kExitFailed;
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
    return kExitWrongPassword;
  }
  return kExitDone;
}

int RunVerify(const TOptions& options, const SecretText& password) {
  const std::string container = ContainerArgument(options);
  std::vector<korvane::TDamage> damage;
  std::size_t entries = 0;
  try {
    std::optional<korvane::TPublicRecord> record;
    std::optional<korvane::TContainerAccess> access;
    korvane::SecretBytes macKey;
    if (const int status = UnlockContainer(container, password, record, access, macKey);
        status != kExitDone)
      return status;

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

// ---------------------------------------------------------------- mount

#ifdef KORVANE_WITH_MOUNT
// Reads a file whole through its MAC and compares with the sealed manifest;
// a link's target is part of its MAC.
bool EntryMatchesManifest(vaultfs::TVaultStorage& storage, const std::u16string& path, bool isLink,
                          const korvane::TManifest& manifest, const korvane::SecretBytes& macKey) {
  korvane::TManifestCheck check(manifest, macKey, korvane::kDataFolder);
  check.BeginEntry(storage, path, isLink);
  if (!isLink) {
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    vaultfs::TVaultStream stream(storage, path, vaultfs::fmOpenRead | vaultfs::fmShareDenyWrite);
    for (;;) {
      const std::int32_t got = stream.Read(buffer.data(), static_cast<std::int32_t>(buffer.size()));
      if (got > 0) check.EntryData(buffer.data(), static_cast<std::size_t>(got));
      if (got < static_cast<std::int32_t>(buffer.size())) break;
    }
  }
  return check.EndEntry();
}

int ServeMount(const TOptions& options, const SecretText& password,
               vaultfs::mount::TMountStatus& status) {
  const std::string container = ContainerArgument(options);
  const std::string mountPoint = korvane::platform::AbsolutePath(options.MountPoint);
  try {
    std::optional<korvane::TPublicRecord> record;
    std::optional<korvane::TContainerAccess> access;
    korvane::SecretBytes macKey;
    if (const int unlocked = UnlockContainer(container, password, record, access, macKey);
        unlocked != kExitDone)
      return status.Report(unlocked);
    // Read-only: the engine writes nothing to the file, not even its times.
    const auto storage = access->OpenForReading(container);
    std::optional<korvane::TManifest> sealed;
    vaultfs::mount::TEntryCheck check;
    if (record) {
      sealed = korvane::ReadManifest(*storage, macKey);
      if (!sealed) {
        std::fprintf(stderr,
                     "%s: %s: the list of entries is missing or does not verify: the container "
                     "is damaged (korvane-cli verify names what); not mounted\n",
                     kProgram, container.c_str());
        return status.Report(kExitFailed);
      }
      check = [&sealed, &macKey](vaultfs::TVaultStorage& s, const std::u16string& path,
                                 bool isLink) {
        return EntryMatchesManifest(s, path, isLink, *sealed, macKey);
      };
    }
    vaultfs::mount::TVaultMount mount(*storage, korvane::kDataFolder, std::move(check),
                                      vaultfs::mount::TMountOptions{"korvane", false});
    mount.Load();
    if (mount.SkippedNames() != 0)
      std::fprintf(stderr,
                   "%s: warning: %llu entries left out: their names cannot be used on disk\n",
                   kProgram, static_cast<unsigned long long>(mount.SkippedNames()));
    std::string error;
    if (!mount.Mount(mountPoint, error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return status.Report(kExitFailed);
    }
    std::printf("mounted %s on %s\n", container.c_str(), mountPoint.c_str());
    std::fflush(stdout);
    if (!options.Foreground) vaultfs::mount::DetachFromTerminal();
    status.Report(kExitDone);
    const int served = mount.Serve();
    storage->Close();
    return served == 0 ? kExitDone : kExitFailed;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, container.c_str(), error.what());
    return status.Report(kExitFailed);
  }
}

int RunMount(const TOptions& options, const SecretText& password) {
  return vaultfs::mount::RunMountProcess(
      options.Foreground, kProgram, kExitFailed,
      [&](vaultfs::mount::TMountStatus& status) { return ServeMount(options, password, status); });
}
#else
int RunMount(const TOptions& /*options*/, const SecretText& /*password*/) {
  std::fprintf(stderr, "%s: this build has no mounts (it was made without libfuse3)\n", kProgram);
  return kExitFailed;
}
#endif

int RunUnmount(const TOptions& options) {
#ifdef KORVANE_WITH_MOUNT
  const std::string directory = korvane::platform::AbsolutePath(options.Path);
  if (!vaultfs::mount::UnmountFuse(directory, kProgram)) return kExitFailed;
  if (!gQuiet) std::printf("unmounted %s\n", directory.c_str());
  return kExitDone;
#else
  (void)options;
  std::fprintf(stderr, "%s: this build has no mounts (it was made without libfuse3)\n", kProgram);
  return kExitFailed;
#endif
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
  else if (command == "mount")
    options.Command = TCommand::cmMount;
  else if (command == "unmount")
    options.Command = TCommand::cmUnmount;
  else
    return UsageError("unknown command '" + command + "'", kAllUsages);
  if (const int status = ParseCommandArguments(argc, argv, options); status >= 0) return status;
  if (options.Command == TCommand::cmInfo) return RunInfo(options);
  if (options.Command == TCommand::cmUnmount) return RunUnmount(options);

  const char* usage = CommandUsage(options.Command);
  gJsonMessages = options.ProgressJson;
  gQuiet = options.Quiet;
  // After the command line was understood, a run that cannot start is
  // still a run: with --progress json it ends in a summary.
  auto refuse = [&](const std::string& message) {
    if (!options.ProgressJson) return UsageError(message, usage);
    Note(TNoteKind::nkError, message);
    const std::string path = korvane::platform::AbsolutePath(options.Path);
    const bool protect = options.Command == TCommand::cmProtect;
    PrintSummary("refused", kExitUsage, {},
                 protect ? path : korvane::ContainerPathToFolder(path),
                 protect ? path + korvane::kContainerSuffix : path);
    return kExitUsage;
  };
  SecretText password;
  int ttyFd = -1;
  std::string error;
  const bool passwordGiven =
      options.PasswordFile || options.PasswordFd || options.PasswordCommand;
  const bool newPasswordGiven =
      options.NewPasswordFile || options.NewPasswordFd || options.NewPasswordCommand;
  const bool needsTerminal =
      !passwordGiven || (options.Command == TCommand::cmPasswd && !newPasswordGiven);
  if (passwordGiven) {
    if (!ReadPasswordOption(options.PasswordFile, options.PasswordFd, options.PasswordCommand,
                            "--", password, error))
      return refuse(error);
  }
  if (needsTerminal) {
    if (!isatty(STDIN_FILENO))
      return refuse(
          "no password: give --password-file, --password-fd or --password-command (there is no "
          "terminal to ask on)");
    ttyFd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (ttyFd < 0)
      return refuse(std::string("no password, and /dev/tty cannot be opened: ") +
                    std::strerror(errno));
  }

  if (options.Command == TCommand::cmPasswd || options.Command == TCommand::cmVerify ||
      options.Command == TCommand::cmMount) {
    // libfuse ends a mount on SIGINT and SIGTERM only where they do what
    // they do by default.
    if (options.Command != TCommand::cmMount) InstallStopHandlers();
    const std::string container = ContainerArgument(options);
    if (!passwordGiven &&
        PromptPassword(ttyFd, "Password for " + container + ": ", password) !=
            TPromptResult::prEntered) {
      close(ttyFd);
      std::fprintf(stderr, "%s: cancelled\n", kProgram);
      return kExitCancelled;
    }
    int status = kExitDone;
    if (options.Command == TCommand::cmVerify) {
      status = RunVerify(options, password);
    } else if (options.Command == TCommand::cmMount) {
      if (ttyFd >= 0) close(ttyFd);
      ttyFd = -1;
      status = RunMount(options, password);
    } else {
      SecretText newPassword;
      if (newPasswordGiven) {
        if (!ReadPasswordOption(options.NewPasswordFile, options.NewPasswordFd,
                                options.NewPasswordCommand, "--new-", newPassword, error)) {
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
  if (passwordGiven) {
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

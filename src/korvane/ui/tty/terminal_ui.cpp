#include "korvane/ui/tty/terminal_ui.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/forms/browse_form.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/progress_form.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/request_form.h"
#include "korvane/platform/platform.h"
#include "korvane/ui/tty/terminal_text.h"

extern char** environ;

namespace korvane {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Longest line or password taken; the rest of a longer one is dropped so
// that endless piped input cannot grow memory without bound.
constexpr std::size_t kMaxInputBytes = 4096;
constexpr std::size_t kDefaultColumns = 80;
// A person cannot follow more than about ten redraws a second; a log file
// (no terminal) gets a line a second.
constexpr milliseconds kTerminalRedrawInterval{100};
constexpr milliseconds kPlainRedrawInterval{1000};
// After Escape, how long the rest of a key's sequence may take to arrive.
constexpr int kEscapeSequenceWaitMs = 50;
// How long a clipboard helper may take to take the text and go.
constexpr milliseconds kClipboardHelperTimeout{5000};

const char kSeparator[] = "------------------------------------------------------------";

// Puts the terminal into character-at-a-time mode without echo for masked
// entry, and always puts back what was there: on return, on an exception
// and on a signal (the handlers only set a flag, so unwinding reaches here).
// Ctrl-C and Ctrl-D arrive as bytes, so the entry decides what they mean.
class RawModeGuard {
 public:
  explicit RawModeGuard(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSANOW, not TCSAFLUSH: keys typed ahead of the prompt stay.
    active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
  }
  ~RawModeGuard() {
    if (!active_) return;
    while (tcsetattr(fd_, TCSANOW, &saved_) != 0 && errno == EINTR) {
    }
  }
  RawModeGuard(const RawModeGuard&) = delete;
  RawModeGuard& operator=(const RawModeGuard&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// A copy of a secret for an edit box, wiped once the box has its own.
void SetEditSecret(TEdit& edit, const SecretText& secret) {
  std::string text(secret.View());
  edit.SetText(text);
  OPENSSL_cleanse(text.data(), text.size());
}

bool DescriptorOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

const char* IconWord(TMsgIcon icon) {
  switch (icon) {
    case TMsgIcon::Stop:
      return "Error";
    case TMsgIcon::Exclamation:
      return "Warning";
    case TMsgIcon::Information:
      return "Information";
    case TMsgIcon::None:
      break;
  }
  return "";
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A memo line may carry the '\r' of its text box; the terminal line ends anyway.
std::string_view WithoutLineBreakAtEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

// What to say when a mailto: address cannot be handed to a mail program:
// the address, and the subject when the link names one.
std::string MailHint(std::string_view target) {
  std::string_view address = target.substr(std::string_view("mailto:").size());
  std::string_view subject;
  if (const std::size_t query = address.find('?'); query != std::string_view::npos) {
    std::string_view fields = address.substr(query + 1);
    address = address.substr(0, query);
    for (std::size_t start = 0; start <= fields.size();) {
      const std::size_t end = std::min(fields.find('&', start), fields.size());
      const std::string_view field = fields.substr(start, end - start);
      if (StartsWith(field, "subject=")) subject = field.substr(8);
      start = end + 1;
    }
  }
  while (subject.size() >= 2 && subject.front() == '"' && subject.back() == '"') {
    subject = subject.substr(1, subject.size() - 2);
  }
  std::string hint = "Write an e-mail to " + std::string(address);
  if (!subject.empty()) hint += " with the subject \"" + std::string(subject) + "\"";
  return hint + " from your mail program.";
}

// Runs a helper with `text` on its standard input and nothing else attached.
// True when it took all of it and exited with status 0 in time.
bool PipeToCommand(std::initializer_list<const char*> command, const std::string& text) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The program ignores SIGPIPE and SIGXFSZ for itself; the helper gets the
  // usual behaviour back.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const char* word : command) argv.push_back(const_cast<char*>(word));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (spawned != 0) {
    close(fds[1]);
    return false;
  }
  // SIGPIPE is ignored by the program, so a helper that dies early gives
  // EPIPE here instead of ending us.
  bool written = true;
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  close(fds[1]);
  const auto deadline = steady_clock::now() + kClipboardHelperTimeout;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return false;
    if (steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool EnvironmentSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

std::string Base64(const std::string& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  encoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return encoded;
}

// The window is gone once the work ends; on a terminal the person is told
// how it ended. A failure has said so in its own message already.
std::string OutcomeText(const TfrmProtect& form) {
  const std::string container =
      tty::TerminalSafeText(form.edFolder.Text() + kContainerSuffix, false);
  switch (form.Outcome) {
    case TWorkflowOutcome::woDone:
      return form.cbxDontDelete.Checked()
                 ? "Protected folder created: " + container + " (the original folder was kept)."
                 : "Folder protected: " + container;
    case TWorkflowOutcome::woCancelled:
      return "Cancelled. The folder was left as it was.";
    case TWorkflowOutcome::woNone:
    case TWorkflowOutcome::woFailed:
      break;
  }
  return {};
}

std::string OutcomeText(const TfrmEnter& form) {
  switch (form.Outcome) {
    case TWorkflowOutcome::woDone:
      return "Folder restored: " + tty::TerminalSafeText(form.FolderPath, false);
    case TWorkflowOutcome::woCancelled: {
      std::string said = "Cancelled. The protected folder was kept: " +
                         tty::TerminalSafeText(form.App().FolderArgument, false);
      // Files restored before the cancel stay; say so, since the last of
      // them may be cut short.
      if (platform::IsDirectory(form.FolderPath)) {
        said += "\nWhat was restored before the cancel is in " +
                tty::TerminalSafeText(form.FolderPath, false) +
                " (the last file may be incomplete); opening again replaces it.";
      }
      return said;
    }
    case TWorkflowOutcome::woNone:
    case TWorkflowOutcome::woFailed:
      break;
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------- SecretText

namespace {
constexpr std::size_t kSecretInitialCapacity = 256;
}

SecretText::SecretText()
    : bytes_(new char[kSecretInitialCapacity]), capacity_(kSecretInitialCapacity) {}

SecretText::~SecretText() {
  OPENSSL_cleanse(bytes_.get(), capacity_);
}

void SecretText::Append(char byte) {
  if (size_ == capacity_) {
    std::unique_ptr<char[]> bigger(new char[capacity_ * 2]);
    std::memcpy(bigger.get(), bytes_.get(), size_);
    OPENSSL_cleanse(bytes_.get(), capacity_);
    bytes_ = std::move(bigger);
    capacity_ *= 2;
  }
  bytes_[size_++] = byte;
}

void SecretText::Truncate(std::size_t size) {
  if (size >= size_) return;
  OPENSSL_cleanse(bytes_.get() + size, size_ - size);
  size_ = size;
}

// ---------------------------------------------------------------- TerminalUi

TerminalUi::TerminalUi(volatile std::sig_atomic_t* interruptFlag) : interruptFlag_(interruptFlag) {
  // Two descriptions of the terminal: reading never blocks (a byte is read
  // only after ppoll said there is one, and if a Ctrl-C flushed it in
  // between, read says so instead of waiting for the next key), writing
  // blocks as usual so that no output is lost.
  ttyInFd_ = open("/dev/tty", O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (ttyInFd_ >= 0) ttyOutFd_ = open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (ttyInFd_ >= 0 && ttyOutFd_ >= 0) {
    inFd_ = ttyInFd_;
    outFd_ = ttyOutFd_;
  } else {
    inFd_ = DescriptorOpen(STDIN_FILENO) ? STDIN_FILENO : -1;
    outFd_ = DescriptorOpen(STDERR_FILENO) ? STDERR_FILENO : -1;
  }
  inIsTty_ = inFd_ >= 0 && isatty(inFd_) == 1;
  outIsTty_ = outFd_ >= 0 && isatty(outFd_) == 1;
}

TerminalUi::~TerminalUi() {
  BreakProgressLine();
  if (ttyInFd_ >= 0) close(ttyInFd_);
  if (ttyOutFd_ >= 0) close(ttyOutFd_);
}

// ---------------------------------------------------------------- output

void TerminalUi::Write(std::string_view bytes) {
  if (outFd_ < 0) return;
  while (!bytes.empty()) {
    const ssize_t n = write(outFd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a terminal that went away: nothing more to show
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void TerminalUi::BreakProgressLine() {
  if (progressPending_ && progressVisible_) DrawProgress();  // the last state is always shown
  if (!progressOnScreen_) return;
  progressOnScreen_ = false;
  Write("\n");
}

void TerminalUi::PrintLine(std::string_view text) {
  BreakProgressLine();
  std::string line = tty::TerminalSafeText(text, true);
  line += '\n';
  Write(line);
}

void TerminalUi::PrintBlankLine() {
  PrintLine("");
}

void TerminalUi::PrintTitle(std::string_view title) {
  const std::string safe = tty::TerminalSafeText(title, false);
  PrintBlankLine();
  if (safe.empty()) return;
  PrintLine(safe);
  PrintLine(std::string(TextLength(safe), '='));
}

std::size_t TerminalUi::TerminalColumns() const {
  winsize size{};
  if (outIsTty_ && ioctl(outFd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

// ---------------------------------------------------------------- input

bool TerminalUi::TakeInterrupt() {
  if (interruptFlag_ == nullptr || *interruptFlag_ == 0) return false;
  *interruptFlag_ = 0;
  return true;
}

// Waits until a byte can be read or an interrupt arrives. The signals stay
// blocked between the test of the flag and the wait, and ppoll lets them in
// only while it waits: a Ctrl-C can never slip in after the test and leave
// the prompt waiting for a key.
TerminalUi::ReadStatus TerminalUi::WaitForInput() {
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  ReadStatus status = ReadStatus::Ok;
  for (;;) {
    if (TakeInterrupt()) {
      status = ReadStatus::Cancel;
      break;
    }
    pollfd watch{inFd_, POLLIN, 0};
    const int ready = ppoll(&watch, 1, nullptr, &previous);
    if (ready > 0) break;  // a byte, or an end / error that read will report
    if (ready < 0 && errno != EINTR) {
      status = ReadStatus::Cancel;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

bool TerminalUi::WaitForInputBriefly() {
  pollfd watch{inFd_, POLLIN, 0};
  return poll(&watch, 1, kEscapeSequenceWaitMs) > 0;
}

TerminalUi::ByteStatus TerminalUi::ReadByte(char& byte) {
  if (inFd_ < 0) return ByteStatus::End;
  for (;;) {
    if (WaitForInput() == ReadStatus::Cancel) return ByteStatus::Interrupted;
    const ssize_t n = read(inFd_, &byte, 1);
    if (n == 1) return ByteStatus::Byte;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return ByteStatus::End;  // end of input, or a terminal that is gone
  }
}

// A line as the terminal's own line editing delivers it (or as piped in).
// Cancel on Ctrl-C, or on the end of input before any character.
TerminalUi::ReadStatus TerminalUi::ReadLine(std::string_view prompt, SecretText& line) {
  BreakProgressLine();
  Write(prompt);
  line.Clear();
  for (;;) {
    char byte = 0;
    const ByteStatus status = ReadByte(byte);
    if (status != ByteStatus::Byte) {
      // Ctrl-C and Ctrl-D leave the cursor after the prompt.
      Write("\n");
      if (status == ByteStatus::Interrupted || line.Empty()) {
        line.Clear();
        return ReadStatus::Cancel;
      }
      return ReadStatus::Ok;  // a last line without its line break
    }
    if (byte == '\n') break;
    if (byte == '\r') continue;
    if (line.Size() < kMaxInputBytes) line.Append(byte);
  }
  // Piped answers are not echoed: end the prompt's line ourselves.
  if (!inIsTty_) Write("\n");
  return ReadStatus::Ok;
}

TerminalUi::ReadStatus TerminalUi::ReadAnswer(std::string_view prompt, std::string& answer) {
  SecretText line;
  const ReadStatus status = ReadLine(prompt, line);
  answer.assign(line.View());
  return status;
}

void TerminalUi::SkipEscapeSequence() {
  char byte = 0;
  if (!WaitForInputBriefly() || read(inFd_, &byte, 1) != 1) return;  // a lone Escape
  if (byte != '[' && byte != 'O') return;                            // Alt with a key: both dropped
  for (int i = 0; i < 32; ++i) {
    if (!WaitForInputBriefly() || read(inFd_, &byte, 1) != 1) return;
    if (byte >= 0x40 && byte <= 0x7E) return;  // the sequence's final byte
  }
}

// Masked entry: one '*' per character, Backspace removes a whole character,
// Ctrl-U the whole entry; Enter finishes, Ctrl-C cancels, and so does Ctrl-D
// on an empty entry. Cursor keys and other sequences are ignored.
TerminalUi::ReadStatus TerminalUi::ReadSecret(std::string_view prompt, SecretText& secret) {
  if (!inIsTty_) return ReadLine(prompt, secret);
  BreakProgressLine();
  Write(prompt);
  secret.Clear();
  RawModeGuard rawMode(inFd_);
  for (;;) {
    char byte = 0;
    if (ReadByte(byte) != ByteStatus::Byte) {
      secret.Clear();
      Write("\n");
      return ReadStatus::Cancel;
    }
    switch (byte) {
      case '\r':
      case '\n':
        Write("\n");
        return ReadStatus::Ok;
      case 0x03:  // Ctrl-C
        secret.Clear();
        Write("^C\n");
        return ReadStatus::Cancel;
      case 0x04:  // Ctrl-D
        if (secret.Empty()) {
          Write("\n");
          return ReadStatus::Cancel;
        }
        break;
      case 0x7F:  // Backspace
      case 0x08: {
        bool erasedStar = false;
        secret.Truncate(tty::EraseLastCharacter(secret.Data(), secret.Size(), erasedStar));
        if (erasedStar) Write("\b \b");
        break;
      }
      case 0x15:    // Ctrl-U
      case 0x17: {  // Ctrl-W: words would tell where the blanks are, so all goes
        std::string erase;
        for (std::size_t i = 0; i < secret.Size(); ++i) {
          if (tty::StartsCharacter(secret.Data()[i])) erase += "\b \b";
        }
        secret.Clear();
        Write(erase);
        break;
      }
      case 0x1B:
        SkipEscapeSequence();
        break;
      default:
        if (static_cast<unsigned char>(byte) < 0x20) break;  // other control keys
        if (secret.Size() >= kMaxInputBytes) break;
        secret.Append(byte);
        if (tty::StartsCharacter(byte)) Write("*");
        break;
    }
  }
}

bool TerminalUi::AskYesNo(std::string_view question, bool defaultYes, bool& answer) {
  std::string prompt = tty::TerminalSafeText(question, false);
  prompt += defaultYes ? " [Y/n] " : " [y/N] ";
  for (;;) {
    std::string reply;
    if (ReadAnswer(prompt, reply) == ReadStatus::Cancel) return false;
    if (const std::optional<bool> parsed = tty::ParseYesNo(reply, defaultYes)) {
      answer = *parsed;
      return true;
    }
    PrintLine("Please answer y or n.");
  }
}

void TerminalUi::WaitForEnter() {
  std::string ignored;
  (void)ReadAnswer("Press Enter to continue ", ignored);
}

// Keys typed while the program was busy must not answer a question they
// were not meant for.
void TerminalUi::DiscardTypeAhead() {
  if (inIsTty_) tcflush(inFd_, TCIFLUSH);
}

// ---------------------------------------------------------------- Ui

TModalResult TerminalUi::MessageBox(const std::string& caption, const std::string& text,
                                    TMsgIcon icon, TMsgButtons buttons) {
  BreakProgressLine();
  PrintBlankLine();
  // "Error: Invalid password"
  std::string header = IconWord(icon);
  if (!header.empty() && !caption.empty()) header += ": ";
  header += caption;
  if (!header.empty()) PrintLine(tty::TerminalSafeText(header, false));
  PrintLine(text);
  if (buttons == TMsgButtons::Ok) {
    WaitForEnter();
    return mrOk;
  }
  DiscardTypeAhead();
  std::string answer;
  if (ReadAnswer("[O]K or [C]ancel? ", answer) == ReadStatus::Cancel) return mrCancel;
  return tty::IsOkAnswer(answer) ? mrOk : mrCancel;
}

void TerminalUi::RunForm(TForm& form) {
  app_ = &form.App();
  ++formRuns_;
  BreakProgressLine();
  if (auto* protect = dynamic_cast<TfrmProtect*>(&form)) {
    RunProtectForm(*protect);
    if (const std::string said = OutcomeText(*protect); !said.empty()) PrintLine(said);
  } else if (auto* enter = dynamic_cast<TfrmEnter*>(&form)) {
    RunEnterForm(*enter);
    if (const std::string said = OutcomeText(*enter); !said.empty()) PrintLine(said);
  } else if (auto* browse = dynamic_cast<TfrmBrowse*>(&form)) {
    RunBrowseForm(*browse);
  } else if (auto* request = dynamic_cast<TfrmRequest*>(&form)) {
    RunRequestForm(*request);
  } else if (dynamic_cast<TfrmProgress*>(&form) != nullptr) {
    return;  // shown while work runs, never run as a window of its own
  } else {
    RunInformationForm(form);
  }
  // Whatever happened, the window is closed when RunForm returns.
  if (form.Visible()) CancelForm(form, nullptr);
}

void TerminalUi::ProcessMessages() {
  if (app_ == nullptr || !app_->frmProgress || !app_->frmProgress->Visible()) return;
  TfrmProgress& progress = *app_->frmProgress;
  // An interrupt waits while Cancel cannot be pressed (it is acted on when
  // the button comes back, or cancels the next question).
  const bool canCancel = progress.btnCancel.Enabled && progress.btnCancel.Visible;
  if (canCancel && TakeInterrupt()) {
    cancelling_ = true;
    DrawProgress();
    progress.btnCancel.Click();
    return;
  }
  const auto interval = outIsTty_ ? kTerminalRedrawInterval : kPlainRedrawInterval;
  if (progressPending_ && steady_clock::now() - lastProgressDraw_ >= interval) DrawProgress();
}

void TerminalUi::FormChanged(TForm& form) {
  app_ = &form.App();
  auto* progress = dynamic_cast<TfrmProgress*>(&form);
  if (progress == nullptr) return;
  if (!progress->Visible()) {
    BreakProgressLine();
    progressVisible_ = false;
    progressPending_ = false;
    cancelling_ = false;
    return;
  }
  if (!progressVisible_) {
    progressVisible_ = true;
    cancelling_ = false;
  }
  // Once cancelled, the line keeps where the work stood: what the storage
  // reports while it winds down is not progress.
  if (cancelling_) return;
  progress_.Min = progress->barProgress.Min;
  progress_.Max = progress->barProgress.Max;
  progress_.Position = progress->barProgress.Position;
  // The figures of the copy follow the file: when the line is shortened
  // to fit, the middle of the path goes first.
  const std::string line =
      progress->OperationLine.empty() ? progress->lblText.Caption : progress->DisplayLine();
  const std::string figures = progress->FiguresText();
  progress_.Operation = figures.empty() ? line : line + "  (" + figures + ")";
  progressPending_ = true;
  const auto interval = outIsTty_ ? kTerminalRedrawInterval : kPlainRedrawInterval;
  if ((outIsTty_ && !progressOnScreen_) || steady_clock::now() - lastProgressDraw_ >= interval) {
    DrawProgress();
  }
}

void TerminalUi::CopyToClipboard(const std::string& text) {
  BreakProgressLine();
  bool copied = false;
  if (EnvironmentSet("WAYLAND_DISPLAY")) copied = PipeToCommand({"wl-copy"}, text);
  if (!copied && EnvironmentSet("DISPLAY")) {
    copied = PipeToCommand({"xclip", "-selection", "clipboard"}, text) ||
             PipeToCommand({"xsel", "--clipboard", "--input"}, text);
  }
  if (copied) {
    PrintLine("Copied to the clipboard.");
  } else if (outIsTty_) {
    // The terminal's own clipboard request; whether the terminal honours it
    // cannot be seen from here.
    Write("\x1b]52;c;" + Base64(text) + "\x07");
    PrintLine(
        "Sent the text to the terminal's clipboard. If pasting does not work, copy the text "
        "above by hand.");
  } else {
    PrintLine("Copy the text above by hand.");
  }
}

bool TerminalUi::ShellOpen(const std::string& target) {
  BreakProgressLine();
  if (platform::ShellOpen(target)) return true;
  // No desktop to open it in: a hint the person can act on does the job.
  if (StartsWith(target, "mailto:")) {
    PrintLine(MailHint(target));
  } else if (StartsWith(target, "http://") || StartsWith(target, "https://") ||
             StartsWith(target, "file://") || target.ends_with(".html")) {
    PrintLine("Open " + target + " in your web browser.");
  } else {
    PrintLine("Open " + target + " in your file manager.");
  }
  return true;
}

void TerminalUi::Beep() {
  if (outIsTty_) Write("\a");
}

// ---------------------------------------------------------------- windows

void TerminalUi::CancelForm(TForm& form, TButton* cancelButton) {
  if (cancelButton != nullptr && cancelButton->Enabled && cancelButton->Visible && form.Visible()) {
    cancelButton->Click();
  }
  if (form.Visible()) form.Close();
  // A window that refuses to close would keep the terminal waiting for a
  // person who has said no more: hide it all the same.
  if (form.Visible()) form.Hide();
}

void TerminalUi::RunProtectForm(TfrmProtect& form) {
  PrintTitle(form.Caption.empty() ? "Korvane: Protect Folder" : form.Caption);
  PrintLine("Folder to protect: " + tty::TerminalSafeText(form.edFolder.Text(), false));
  while (form.Visible()) {
    if (!form.btnProtect.Enabled || !form.btnProtect.Visible) {
      PrintLine("This folder cannot be protected now.");
      CancelForm(form, &form.btnCancel);
      return;
    }
    PrintBlankLine();
    PrintLine("Folder password");
    SecretText password;
    SecretText confirm;
    if (ReadSecret("  Enter password: ", password) == ReadStatus::Cancel ||
        ReadSecret("  Confirm password: ", confirm) == ReadStatus::Cancel) {
      CancelForm(form, &form.btnCancel);
      return;
    }
    PrintLine("Options");
    for (TCheckBox* box : {&form.cbxCompression, &form.cbxDontDelete, &form.cbxEnablePassRestore,
                           &form.cbxClassic}) {
      if (!box->Visible) continue;
      if (!box->Enabled) {
        PrintLine("  " + box->Caption + ": " + (box->Checked() ? "yes" : "no"));
        continue;
      }
      bool ticked = box->Checked();
      if (!AskYesNo("  " + box->Caption, ticked, ticked)) {
        CancelForm(form, &form.btnCancel);
        return;
      }
      box->SetChecked(ticked);
    }
    bool protect = true;
    if (!AskYesNo("Protect this folder?", true, protect) || !protect) {
      CancelForm(form, &form.btnCancel);
      return;
    }
    SetEditSecret(form.edPassword, password);
    SetEditSecret(form.edConfirm, confirm);
    // The workflow closes the window when it is done; a refusal (its
    // message was shown) leaves it open, and the questions come again.
    form.btnProtect.Click();
  }
}

void TerminalUi::RunEnterForm(TfrmEnter& form) {
  PrintTitle(form.Caption.empty() ? "Korvane: Open Folder" : form.Caption);
  PrintLine("Folder to open: " + tty::TerminalSafeText(form.edFolder.Text(), false));
  while (form.Visible()) {
    if (!form.btnOpen.Enabled || !form.btnOpen.Visible) {
      PrintBlankLine();
      PrintLine(
          "This file is not a valid protected folder, or it has lost its password record, so it "
          "cannot be opened. Only Cancel is possible.");
      WaitForEnter();
      CancelForm(form, &form.btnCancel);
      return;
    }
    PrintBlankLine();
    SecretText password;
    if (ReadSecret("Folder password: ", password) == ReadStatus::Cancel) {
      CancelForm(form, &form.btnCancel);
      return;
    }
    // Typed afresh, as a person selecting the old text and typing over it:
    // the same text twice must reach the edit's change handler again.
    if (!form.edPassword.Text().empty()) form.edPassword.Clear();
    const std::uint64_t runsBefore = formRuns_;
    SetEditSecret(form.edPassword, password);
    if (!form.Visible()) return;
    // The access code opened the recovery request; back at the password
    // prompt once it closed, without trying the code as a password.
    if (formRuns_ != runsBefore) continue;
    // Started to browse: the password browses, as Enter does on the desktop.
    if (form.btnBrowse.Default)
      form.btnBrowse.Click();
    else
      form.btnOpen.Click();
  }
}

void TerminalUi::RunBrowseForm(TfrmBrowse& form) {
  PrintTitle(form.Caption);
  PrintLine(form.lblBrowsing.Caption);
  PrintLine("  " + form.lblFolder.Caption);
  while (form.Visible()) {
    PrintBlankLine();
    std::string ignored;
    const bool detaching = form.btnDetach.Visible && form.btnDetach.Enabled;
    const ReadStatus read =
        ReadAnswer(detaching ? "Press Enter to try again, or Ctrl-C to detach "
                             : "Press Enter to end the browse (the folder goes) ",
                   ignored);
    if (read == ReadStatus::Cancel && detaching) {
      form.btnDetach.Click();
      // Nothing more can be done here: the program's end takes it down.
      if (form.Visible()) form.Hide();
      return;
    }
    form.btnClose.Click();
    if (form.Visible() && form.lblStatus.Visible) PrintLine(form.lblStatus.Caption);
  }
}

void TerminalUi::RunRequestForm(TfrmRequest& form) {
  PrintTitle(form.Caption.empty() ? "Password recovery request" : form.Caption);
  if (form.Label1.Visible) PrintLine(form.Label1.Caption);
  if (form.edFolder.Visible) PrintLine("  " + tty::TerminalSafeText(form.edFolder.Text(), false));
  if (form.Label3.Visible) PrintLine(form.Label3.Caption);
  PrintBlankLine();
  bool yes = false;
  if (form.btnReadTerms.Enabled && form.btnReadTerms.Visible) {
    if (!AskYesNo("Read the terms?", false, yes)) {
      CancelForm(form, &form.btnCancel);
      return;
    }
    if (yes) form.btnReadTerms.Click();
  }
  if (!form.Visible()) return;
  bool agree = form.cbxAgree.Checked();
  if (!AskYesNo(form.cbxAgree.Caption, agree, agree)) {
    CancelForm(form, &form.btnCancel);
    return;
  }
  form.cbxAgree.SetChecked(agree);
  if (form.Visible() && agree && form.meRequest.Enabled && form.meRequest.Visible) {
    PrintBlankLine();
    if (form.Label2.Visible) PrintLine(form.Label2.Caption);
    PrintLine("  " + form.lblEmail.Caption);
    PrintLine(kSeparator);
    for (const std::string& line : form.meRequest.Lines) PrintLine(WithoutLineBreakAtEnd(line));
    PrintLine(kSeparator);
    if (form.btnCopyMemo.Enabled && form.btnCopyMemo.Visible) {
      if (!AskYesNo("Copy to clipboard?", false, yes)) {
        CancelForm(form, &form.btnCancel);
        return;
      }
      if (yes) form.btnCopyMemo.Click();
    }
    if (form.Visible() && form.lblEmail.Enabled && form.lblEmail.Visible) {
      if (!AskYesNo("Write an e-mail now?", false, yes)) {
        CancelForm(form, &form.btnCancel);
        return;
      }
      if (yes) form.lblEmail.Click();
    }
  }
  CancelForm(form, &form.btnCancel);
}

void TerminalUi::RunInformationForm(TForm& form) {
  PrintTitle(form.Caption);
  for (const TControl* control : form.Controls()) {
    if (!control->Visible) continue;
    if (const auto* label = dynamic_cast<const TLabel*>(control)) {
      if (!label->Caption.empty()) PrintLine(label->Caption);
    } else if (const auto* edit = dynamic_cast<const TEdit*>(control)) {
      if (!edit->Masked && !edit->Text().empty()) PrintLine(edit->Text());
    } else if (const auto* box = dynamic_cast<const TCheckBox*>(control)) {
      PrintLine(std::string(box->Checked() ? "[x] " : "[ ] ") + box->Caption);
    } else if (const auto* memo = dynamic_cast<const TMemo*>(control)) {
      for (const std::string& line : memo->Lines) PrintLine(WithoutLineBreakAtEnd(line));
    }
  }
  WaitForEnter();
  CancelForm(form, nullptr);
}

// ---------------------------------------------------------------- progress

void TerminalUi::DrawProgress() {
  const std::string line = tty::ProgressLine(progress_.Min, progress_.Max, progress_.Position,
                                             cancelling_ ? "Cancelling..." : progress_.Operation,
                                             outIsTty_ ? TerminalColumns() : kDefaultColumns);
  if (outIsTty_) {
    Write("\r" + line + "\x1b[K");
    progressOnScreen_ = true;
  } else {
    Write(line + "\n");
  }
  progressPending_ = false;
  lastProgressDraw_ = steady_clock::now();
}

}  // namespace korvane

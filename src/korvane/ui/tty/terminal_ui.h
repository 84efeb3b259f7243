// The terminal front-end: it realises the windows on the controlling
// terminal until the desktop one exists. It plays the person: it shows a
// window's texts, asks for what the window wants (passwords masked, check
// boxes as yes/no questions), and works the window's controls with the
// answers. The progress window is one line rewritten in place.
#pragma once

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "korvane/forms/controls.h"
#include "korvane/forms/ui.h"

namespace korvane {

class TfrmProtect;
class TfrmEnter;
class TfrmBrowse;
class TfrmRequest;
class TfrmProgress;

// A typed secret: bytes in one buffer that never moves behind our back
// (growing copies and wipes the old one) and is wiped when it goes.
class SecretText {
 public:
  SecretText();
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  void Append(char byte);
  // Drops bytes from the end (to `size`), wiping them.
  void Truncate(std::size_t size);
  void Clear() { Truncate(0); }
  const char* Data() const { return bytes_.get(); }
  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  std::string_view View() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

class TerminalUi final : public Ui {
 public:
  // `interruptFlag` is set (non-zero) by the program's handler of SIGINT,
  // SIGTERM and SIGHUP; the handler must be installed without SA_RESTART so
  // that a waiting prompt wakes up. The front-end clears it when it acts on
  // it: Cancel of the progress window, or Cancel of the current question.
  explicit TerminalUi(volatile std::sig_atomic_t* interruptFlag);
  ~TerminalUi() override;
  TerminalUi(const TerminalUi&) = delete;
  TerminalUi& operator=(const TerminalUi&) = delete;

  // Whether there is somewhere to ask and somewhere to write: the
  // controlling terminal, else standard input and standard error.
  bool Usable() const { return inFd_ >= 0 && outFd_ >= 0; }
  // Whether questions are read from a terminal (masked entry, redrawn
  // progress line) rather than from piped input.
  bool InputIsTerminal() const { return inIsTty_; }

  TModalResult MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                          TMsgButtons buttons) override;
  void RunForm(TForm& form) override;
  void ProcessMessages() override;
  void FormChanged(TForm& form) override;
  void CopyToClipboard(const std::string& text) override;
  bool ShellOpen(const std::string& target) override;
  void Beep() override;

 private:
  enum class ReadStatus { Ok, Cancel };
  enum class ByteStatus { Byte, End, Interrupted };

  // ---- output
  void Write(std::string_view bytes);
  // Ends a progress line that is on the screen, so other output starts on a
  // line of its own.
  void BreakProgressLine();
  // Text from the windows, made safe, with a line break after it.
  void PrintLine(std::string_view text);
  void PrintBlankLine();
  // A window's title, set off by a blank line and underlined.
  void PrintTitle(std::string_view title);
  std::size_t TerminalColumns() const;

  // ---- input
  bool TakeInterrupt();
  ReadStatus WaitForInput();
  bool WaitForInputBriefly();
  ByteStatus ReadByte(char& byte);
  ReadStatus ReadLine(std::string_view prompt, SecretText& line);
  ReadStatus ReadAnswer(std::string_view prompt, std::string& answer);
  ReadStatus ReadSecret(std::string_view prompt, SecretText& secret);
  void SkipEscapeSequence();
  // A yes/no question; false when the person cancelled it.
  bool AskYesNo(std::string_view question, bool defaultYes, bool& answer);
  void WaitForEnter();
  void DiscardTypeAhead();

  // ---- windows
  void RunProtectForm(TfrmProtect& form);
  void RunEnterForm(TfrmEnter& form);
  void RunBrowseForm(TfrmBrowse& form);
  void RunRequestForm(TfrmRequest& form);
  void RunInformationForm(TForm& form);
  // Cancel as the person would: the Cancel button when it can be pressed,
  // else the window's close box.
  void CancelForm(TForm& form, TButton* cancelButton);

  // ---- the progress line
  void DrawProgress();

  volatile std::sig_atomic_t* interruptFlag_;
  int ttyInFd_ = -1;  // our own descriptors of /dev/tty, when it could be opened
  int ttyOutFd_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  bool inIsTty_ = false;
  bool outIsTty_ = false;
  TApplication* app_ = nullptr;
  // Counts windows run through RunForm, to see whether typing into an edit
  // opened one (the access code in the Open window).
  std::uint64_t formRuns_ = 0;

  // The progress window as last reported through FormChanged. Kept here
  // rather than read from the window when drawing, so the last state can be
  // drawn even after the windows are gone.
  struct ProgressState {
    std::uint32_t Min = 0;
    std::uint32_t Max = 0;
    std::uint32_t Position = 0;
    std::string Operation;
  };
  ProgressState progress_;
  bool progressVisible_ = false;
  bool progressOnScreen_ = false;  // a progress line without its line break
  bool progressPending_ = false;   // a state not drawn yet (throttled)
  bool cancelling_ = false;
  std::chrono::steady_clock::time_point lastProgressDraw_{};
};

}  // namespace korvane

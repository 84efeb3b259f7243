// korvane: the program the file manager's "Protect" and "Open" actions run,
// with its windows on the terminal.
//
//   korvane -PROTECT <folder>     protect a folder
//   korvane -OPEN <container>     open a protected folder
//   korvane <anything else>       update settings
//   korvane --help | --version
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/forms/application.h"
#include "app/ui/tty/terminal_ui.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace {

// Set by SIGINT, SIGTERM and SIGHUP; the terminal front-end turns it into
// Cancel (of the progress window, or of the question being asked), so that
// work in progress always ends through its own clean-up.
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
  gInterrupted = 1;
}

const char kUsage[] =
    "Usage: korvane -PROTECT FOLDER\n"
    "       korvane -OPEN FOLDER._zkvlk\n"
    "       korvane --help | --version\n"
    "\n"
    "Protects a folder with a password: -PROTECT packs the folder into the\n"
    "container FOLDER._zkvlk beside it and removes the folder; -OPEN asks for\n"
    "the password, restores the folder and removes the container. The verbs\n"
    "may be written in any letter case. Any other command line opens the\n"
    "update settings.\n"
    "\n"
    "Questions are asked on the terminal. Ctrl-C cancels the question being\n"
    "asked, or the work in progress; the folder is then left as it was.\n";

void InstallSignalHandlers() {
  // A file-size limit must surface as a failed write the workflow reports,
  // not end the program halfway through.
  signal(SIGXFSZ, SIG_IGN);
  // Neither a clipboard helper that quits early nor a closed output pipe
  // may end the program in the middle of its work: writes fail instead.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting prompt wakes up and cancels
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  // Only these exact words: every other first argument means update-settings
  // mode, as it always has.
  if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() >= 2 && args[1] == "--version") {
    std::printf("korvane %s\n", KORVANE_VERSION);
    return 0;
  }

  InstallSignalHandlers();
  korvane::TerminalUi ui(&gInterrupted);
  if (!ui.Usable()) {
    std::fputs("korvane: no terminal, and no standard input and error to use instead\n", stderr);
    return 1;
  }
  try {
    korvane::TApplication app(ui);
    return app.Run(args);
  } catch (const std::exception& error) {
    // Window handlers' errors are shown by the application itself; this is
    // only what escaped it (out of memory while starting, say).
    std::fprintf(stderr, "korvane: %s\n", error.what());
    return 1;
  }
}

// korvane: the program the file manager's "Protect", "Open" and "Browse"
// actions run, with its windows on the desktop, or on the terminal when
// there is no desktop (or KORVANE_UI says so).
//
//   korvane -PROTECT <folder>     protect a folder
//   korvane -OPEN <container>     open a protected folder
//   korvane -BROWSE <container>   show a protected folder read-only
//   korvane <anything else>       update settings
//   korvane --help | --version
//   korvane --install-desktop-integration | --uninstall-desktop-integration
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/platform/browse_mount.h"
#include "korvane/platform/desktop_integration.h"
#include "korvane/platform/platform.h"
#include "korvane/ui/tty/terminal_ui.h"

#ifdef KORVANE_WITH_QT
#include <QIcon>

#include "korvane/ui/qt/form_dialog.h"
#include "korvane/ui/qt/qt_ui.h"
#endif

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
    "       korvane -BROWSE FOLDER._zkvlk\n"
    "       korvane --help | --version\n"
    "       korvane --install-desktop-integration | --uninstall-desktop-integration\n"
    "\n"
    "Protects a folder with a password: -PROTECT packs the folder into the\n"
    "container FOLDER._zkvlk beside it and removes the folder; -OPEN asks for\n"
    "the password, restores the folder and removes the container; -BROWSE asks\n"
    "for the password and shows the folder read-only in the file manager,\n"
    "changing nothing, until its window is closed. The verbs may be written in\n"
    "any letter case. Any other command line opens the update settings.\n"
    "\n"
    "The windows appear on the desktop when DISPLAY or WAYLAND_DISPLAY is set,\n"
    "else the questions are asked on the terminal; KORVANE_UI=qt or KORVANE_UI=tty\n"
    "chooses. On the terminal, Ctrl-C cancels the question being asked, or the\n"
    "work in progress; the folder is then left as it was.\n"
    "\n"
    "--install-desktop-integration adds the launcher, the container file type and\n"
    "the file manager's Protect, Open and Browse actions for the current user;\n"
    "--uninstall-desktop-integration removes them again.\n";

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

enum class FrontEnd { Terminal, Desktop, Unknown };

FrontEnd ChooseFrontEnd() {
  const char* chosen = std::getenv("KORVANE_UI");
  if (chosen != nullptr && *chosen != '\0') {
    const std::string name(chosen);
    if (name == "qt") return FrontEnd::Desktop;
    if (name == "tty") return FrontEnd::Terminal;
    return FrontEnd::Unknown;
  }
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool desktop = (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
  return desktop ? FrontEnd::Desktop : FrontEnd::Terminal;
}

int RunOnTerminal(const std::vector<std::string>& args) {
  korvane::TerminalUi ui(&gInterrupted);
  if (!ui.Usable()) {
    std::fputs("korvane: no terminal, and no standard input and error to use instead\n", stderr);
    return 1;
  }
  korvane::TApplication app(ui);
  return app.Run(args);
}

#ifdef KORVANE_WITH_QT
int RunOnDesktop(const std::vector<std::string>& args, char* program) {
  // Qt sees the program's name only: a folder named like one of its options
  // ("-platform", "-style", ...) is the person's argument, not Qt's.
  int qtArgc = 1;
  char* qtArgv[] = {program, nullptr};
  korvane::KorvaneApplication qtApp(qtArgc, qtArgv);
  korvane::KorvaneApplication::setApplicationName(QStringLiteral("korvane"));
  korvane::KorvaneApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
  korvane::KorvaneApplication::setDesktopFileName(QStringLiteral("korvane"));
  korvane::KorvaneApplication::setWindowIcon(QIcon(korvane::LogoPixmap(64)));
  korvane::QtUi ui(&gInterrupted);
  korvane::TApplication app(ui);
  qtApp.SetExceptionHandler([&app](std::exception_ptr error) { app.HandleException(error); });
  const int status = app.Run(args);
  qtApp.SetExceptionHandler(nullptr);
  return status;
}
#endif

int DesktopIntegration(bool install) {
  std::string report;
  const int status = install ? korvane::platform::InstallDesktopIntegration(
                                   korvane::platform::ExecutablePath(), report)
                             : korvane::platform::UninstallDesktopIntegration(report);
  std::fputs(report.c_str(), stdout);
  if (!report.empty() && report.back() != '\n') std::fputs("\n", stdout);
  return status;
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

  if (args.size() >= 2 && (args[1] == "--install-desktop-integration" ||
                           args[1] == "--uninstall-desktop-integration")) {
    return DesktopIntegration(args[1] == "--install-desktop-integration");
  }

  const FrontEnd frontEnd = ChooseFrontEnd();
  if (frontEnd == FrontEnd::Unknown) {
    std::fputs("korvane: KORVANE_UI must be \"qt\" or \"tty\"\n", stderr);
    return 2;
  }
#ifndef KORVANE_WITH_QT
  if (frontEnd == FrontEnd::Desktop && std::getenv("KORVANE_UI") != nullptr) {
    std::fputs("korvane: this build has no desktop front-end (KORVANE_UI=qt)\n", stderr);
    return 1;
  }
#endif

  InstallSignalHandlers();
  // What browses of a run that was killed left mounted goes first.
  std::string browseRoot;
  std::string browseError;
  if (korvane::platform::BrowseRoot(browseRoot, browseError))
    (void)korvane::platform::CleanStaleBrowseMounts(browseRoot);
  try {
#ifdef KORVANE_WITH_QT
    if (frontEnd == FrontEnd::Desktop) return RunOnDesktop(args, argv[0]);
#endif
    return RunOnTerminal(args);
  } catch (const std::exception& error) {
    // Window handlers' errors are shown by the application itself; this is
    // only what escaped it (out of memory while starting, say).
    std::fprintf(stderr, "korvane: %s\n", error.what());
    return 1;
  }
}

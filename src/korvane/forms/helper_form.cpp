#include "korvane/forms/helper_form.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "korvane/forms/about_form.h"
#include "korvane/forms/application.h"
#include "korvane/forms/check_updates_form.h"
#include "korvane/forms/error_dialog.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/settings_form.h"
#include "korvane/forms/update_settings.h"
#include "korvane/platform/platform.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace korvane {

namespace {

constexpr const char* kInstalledHelpFolder = "/share/doc/korvane/help";
// A second report within the same second gets "-2", "-3", ...; past this
// many something else is wrong.
constexpr int kMaxReportsPerSecond = 100;

bool HoldsHelp(const std::string& folder) {
  return platform::IsDirectory(folder) && platform::FileExists(folder + "/index.html");
}

// Creates every missing folder of an absolute path, each with mode 0700.
bool MakePrivateFolders(const std::string& folder, std::string& error) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    struct stat info {};
    if (::mkdir(prefix.c_str(), 0700) != 0) {
      const int mkdirError = errno;
      if (::stat(prefix.c_str(), &info) != 0) {
        error = std::strerror(mkdirError);
        return false;
      }
      if (!S_ISDIR(info.st_mode)) {
        error = std::strerror(ENOTDIR);
        return false;
      }
    }
    if (slash == std::string::npos) return true;
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string TimeText(const std::tm& when, const char* format) {
  char buffer[64];
  const std::size_t length = std::strftime(buffer, sizeof buffer, format, &when);
  return std::string(buffer, length);
}

}  // namespace

std::string HelpTopicPage(int context) {
  switch (context) {
    case 110:
      return "passrec.html";
    case 302:
      return "license.html";
    case 510:
      return "passrectou.html";
    default:
      return "index.html";
  }
}

std::string FindHelpFolder(const std::string& executablePath) {
  if (!executablePath.empty()) {
    const std::string bin = platform::ParentDirectory(executablePath);
    const std::string installed = platform::ParentDirectory(bin) + kInstalledHelpFolder;
    if (HoldsHelp(installed)) return installed;
  }
#ifdef KORVANE_SOURCE_DIR
  // A program run from its build tree: the pages are not copied there.
  const std::string sources = std::string(KORVANE_SOURCE_DIR) + "/docs/help";
  if (HoldsHelp(sources)) return sources;
#endif
  return {};
}

TfrmHelper::TfrmHelper(TApplication& app) : TForm(app, "frmHelper", "frmHelper") {
  HelpFolder = FindHelpFolder(app.Environment().ExecutablePath());
}

TfrmHelper::~TfrmHelper() = default;

bool TfrmHelper::ShowHelp(int context) {
  if (HelpFolder.empty()) return false;
  GetUi().ShowHelpTopic(HelpFolder + "/" + HelpTopicPage(context));
  return true;
}

bool TfrmHelper::ApplicationEvents1Help(int /*command*/, int data, bool& /*callHelp*/) {
  return ShowHelp(data);
}

void TfrmHelper::CheckForUpdates() {
  if (frmCheckUpdates && frmCheckUpdates->Visible()) {
    frmCheckUpdates->Show();
    return;
  }
  // The last window closed: it goes now, and a new one is made. (Dropped
  // here rather than when it closed, so that nothing still on its way to it,
  // such as a page a front-end is loading, finds it gone.)
  frmCheckUpdates.reset();
  const TEnvironment& environment = App().Environment();
  frmCheckUpdates = std::make_unique<TfrmCheckUpdates>(App());
  TfrmCheckUpdates& check = *frmCheckUpdates;
  check.OnConfigure = [this] { ShowUpdateSettings(); };
  check.OnCloseWarning = [this](bool checked) { SetNoWarningFlag(checked); };
  check.CheckUrl = environment.CheckUrl();
  check.ProductId = kProductId;
  check.LanguageId = environment.LanguageId();
  const bool warn = (ReadRegInteger(kUpdateKey, "AutoUpdateFlag", 0) & 0xFF) != 1;
  const double today = environment.Today();
  check.ShowModal([&check, warn, today] {
    check.Perform([&check, warn] { check.BeginCheck(warn); });
    // Whether or not the check goes on: the next poll counts from today.
    check.Perform([today] { WriteRegDate(kUpdateKey, "LastPoll", today); });
  });
}

void TfrmHelper::ShowUpdateSettings() {
  if (!App().frmSettings) App().frmSettings = std::make_unique<TfrmSettings>(App());
  TfrmSettings& settings = *App().frmSettings;
  if (settings.Visible()) {
    settings.Show();
    return;
  }
  settings.ShowModal();
}

void TfrmHelper::SetNoWarningFlag(bool checked) {
  if (checked) WriteRegInteger(kUpdateKey, "AutoUpdateFlag", 1);
}

std::string TfrmHelper::ErrorReportText(const std::string& message) const {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  std::tm local{};
  ::gmtime_r(&now, &utc);
  ::localtime_r(&now, &local);
  std::string two;
  std::string three;
  std::string four;
  const std::string build =
      GetVersionStrings(KORVANE_VERSION, two, three, four) ? " (build " + four + ")" : "";
  std::string system = "unknown";
  struct utsname names {};
  if (::uname(&names) == 0) {
    system = std::string(names.sysname) + " " + names.release + " " + names.version + " " +
             names.machine;
  }
  std::string text = "Korvane error report\n\n";
  text += "Time (UTC): " + TimeText(utc, "%Y-%m-%d %H:%M:%S") + "\n";
  text += "Time (local): " + TimeText(local, "%Y-%m-%d %H:%M:%S %z") + "\n";
  text += std::string("Version: ") + KORVANE_VERSION + build + "\n";
  text += "Error: " + message + "\n";
  text += "Errors in this run: " + std::to_string(App().ErrorCount) + "\n";
  text += App().WorkflowContext();
  text += "System: " + system + "\n";
  return text;
}

void TfrmHelper::ExceptionNotify(const std::string& message) {
  ++App().ErrorCount;
  const std::string report = ErrorReportText(message);
  // A dialog of its own for each error; it stays reachable as the
  // application's ErrorDialog once it is done (the one made at start, or
  // the one of the error before, is replaced then, not while it runs).
  auto dialog = std::make_unique<TErrorDialog>(App());
  dialog->LabelError.Caption = message + ".";
  GetUi().Beep();
  if (App().ErrorCount > kTerminateButtonThreshold) {
    dialog->btnTerminate.Caption = "Terminate";
    dialog->btnTerminate.Visible = true;
  }
  TModalResult result = dialog->ShowModal();
  while (result == mrDetails) {
    dialog->ShowDetails(report);
    result = dialog->ShowModal();
  }
  if (result == mrSendReport) {
    std::string error;
    const std::string path = SaveErrorReport(report, error);
    if (!path.empty()) {
      LastErrorReport = path;
      MessageBox("Korvane", FormatText("The error report was saved to %s.", {path}),
                 TMsgIcon::Information);
    } else {
      MessageBox("Korvane",
                 FormatText("The error report could not be saved to %s.\r%s",
                            {platform::StateHome() + "/korvane", error}),
                 TMsgIcon::Stop);
    }
  } else if (result == mrTerminate) {
    App().Terminate();
  }
  App().ErrorDialog = std::move(dialog);
}

std::string SaveErrorReport(const std::string& report, std::string& error) {
  const std::string folder = platform::StateHome() + "/korvane";
  if (!MakePrivateFolders(folder, error)) return {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  const std::string stem = folder + "/error-report-" + TimeText(local, "%Y%m%d-%H%M%S");
  for (int number = 1; number <= kMaxReportsPerSecond; ++number) {
    std::string path = stem;
    if (number > 1) path.append("-").append(std::to_string(number));
    path.append(".txt");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      error = std::strerror(errno);
      return {};
    }
    const bool written = WriteAll(fd, report);
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
      error = std::strerror(written ? errno : writeError);
      ::unlink(path.c_str());
      return {};
    }
    return path;
  }
  error = "Too many error reports in one second";
  return {};
}

}  // namespace korvane

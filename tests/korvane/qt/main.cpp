// The dialog tests: one application object for the whole run, the offscreen
// platform unless another is asked for, and settings, state and run files
// in a folder of the run's own. `qt_tests --screenshots DIR` instead shows
// every window and saves a picture of each into DIR.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstring>
#include <string>

#include "korvane/ui/qt/qt_ui.h"
#include "gui_driver.h"

namespace korvane::qttest {
int TakeScreenshots(const std::string& folder);
}

namespace {

// The offscreen platform says so each time a window is brought to the
// front; that is not news.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(QStringLiteral("This plugin does not support"))) return;
  std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(QuietMessages);
  const bool screenshots = argc == 3 && std::strcmp(argv[1], "--screenshots") == 0;
  if (!screenshots) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The windows read and write the person's settings; never the real ones.
  korvane::qttest::TempDir home;
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR",
                               "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
    const std::string folder = home / variable;
    mkdir(folder.c_str(), 0700);
    setenv(variable, folder.c_str(), 1);
  }
  // Widgets look the same wherever the tests run.
  setenv("QT_STYLE_OVERRIDE", "Fusion", 0);

  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  korvane::KorvaneApplication app(qtArgc, qtArgv);
  if (screenshots) return korvane::qttest::TakeScreenshots(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

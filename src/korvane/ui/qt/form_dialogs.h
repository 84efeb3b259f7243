// The dialogs of the windows, one class per window, and the factory that
// picks the dialog for a window model by the model's Name.
#pragma once

#include <QFontMetrics>
#include <QString>
#include <QWidget>
#include <string>

#include "korvane/ui/qt/form_dialog.h"

namespace korvane {

class TfrmProgress;

// The dialog of a window model: the window's own dialog when there is one,
// else a plain one that lists every control. The dialog is hidden; it
// belongs to the caller.
FormDialog* CreateFormDialog(QtUi& ui, TForm& form);

// A path line shortened to `width` pixels: the part after the last '\' or
// '/' is kept whole as long as it fits with "..." in front of it, the room
// left goes to the start of the path, and "..." stands for what was cut in
// between; a name that does not fit even alone keeps its end. A line that
// fits comes back unchanged.
QString ElidePathMiddle(const QString& text, const QFontMetrics& metrics, int width);

// The area of the progress window where the current operation is drawn:
// one line, shortened in the middle by pixel width.
class OperationLine : public QWidget {
  Q_OBJECT
 public:
  explicit OperationLine(QWidget* parent = nullptr);
  void SetText(const QString& text);
  const QString& Text() const { return text_; }
  // What is drawn now (the text, shortened to the widget's width).
  QString ShownText() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
};

class ProtectDialog : public FormDialog {
  Q_OBJECT
 public:
  ProtectDialog(QtUi& ui, TForm& form);
};

class EnterDialog : public FormDialog {
  Q_OBJECT
 public:
  EnterDialog(QtUi& ui, TForm& form);
};

class BrowseDialog : public FormDialog {
  Q_OBJECT
 public:
  BrowseDialog(QtUi& ui, TForm& form);
};

class ProgressDialog : public FormDialog {
  Q_OBJECT
 public:
  ProgressDialog(QtUi& ui, TfrmProgress& form);

 private:
  std::string shownLine_;
};

class RequestDialog : public FormDialog {
  Q_OBJECT
 public:
  RequestDialog(QtUi& ui, TForm& form);
};

class FilesListDialog : public FormDialog {
  Q_OBJECT
 public:
  FilesListDialog(QtUi& ui, TForm& form);
};

class AboutDialog : public FormDialog {
  Q_OBJECT
 public:
  AboutDialog(QtUi& ui, TForm& form);
};

class ErrorDialog : public FormDialog {
  Q_OBJECT
 public:
  ErrorDialog(QtUi& ui, TForm& form);
};

class SettingsDialog : public FormDialog {
  Q_OBJECT
 public:
  SettingsDialog(QtUi& ui, TForm& form);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The arrows of a number edit: up and down buttons bound to the model.
  QWidget* UpDown(const char* name);
  TUpDown* upDown_ = nullptr;
};

class CheckUpdatesDialog : public FormDialog {
  Q_OBJECT
 public:
  CheckUpdatesDialog(QtUi& ui, TForm& form);

 private:
  std::string shownUrl_;
  std::string shownHtml_;
};

// Any other window: its controls one under the other.
class PlainDialog : public FormDialog {
  Q_OBJECT
 public:
  PlainDialog(QtUi& ui, TForm& form);
};

}  // namespace korvane

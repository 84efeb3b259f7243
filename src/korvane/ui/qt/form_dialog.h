// A dialog bound to one window model: each of the model's controls becomes
// a widget whose objectName is the control's name, the person's input goes
// to the model (SetText, SetChecked, Click) and the model's state comes back
// to the widgets (text, check state, caption, Enabled, Visible, hint) after
// every handler and whenever the model says it changed.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "korvane/forms/controls.h"

class QBoxLayout;
class QCheckBox;
class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace korvane {

class QtUi;

// Text of the models (UTF-8) for the widgets; a line break written as
// "\r\n" or as a lone '\r' becomes '\n'.
QString DisplayText(const std::string& text);
// UTF-8 of a widget's text.
std::string ModelText(const QString& text);

// The program's logo at `size` pixels square: the installed icon when it can
// be loaded, else a padlock drawn here.
QPixmap LogoPixmap(int size);

// An image a person can click (the logo opens the About window).
class ClickableImage : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class FormDialog : public QDialog {
  Q_OBJECT
 public:
  FormDialog(QtUi& ui, TForm& form);
  ~FormDialog() override;

  TForm& Form() const { return *form_; }
  QtUi& Ui() const { return *ui_; }

  // Model -> widgets: caption, and every bound control's state.
  void Refresh();
  // Shows the dialog centred on the screen the first time.
  void ShowCentred();
  // The dialog goes because its model was hidden: no close request is sent
  // back to the model.
  void HideFromModel();
  // Escape: the window's cancel button when it can be pressed, else what
  // the close box does.
  void reject() override;

 protected:
  // Builds the widgets of the controls the layout places. Each returns the
  // widget of the named control, or a hidden unbound one when the model has
  // no control of that name and kind (so layouts need no null checks).
  QLineEdit* Edit(const char* name);
  QCheckBox* CheckBox(const char* name);
  QPushButton* Button(const char* name);
  QLabel* Label(const char* name);
  ClickableImage* Image(const char* name, const QPixmap& picture);
  QPlainTextEdit* Memo(const char* name);
  QProgressBar* ProgressBar(const char* name);
  // A panel: a frame with a vertical layout whose first item is the
  // panel's own caption (hidden while empty); the layout adds the controls
  // that sit on it.
  QFrame* Panel(const char* name);
  // A label that is part of the layout only (section titles, captions of
  // edits): plain text, never bound.
  QLabel* StaticLabel(const QString& text, QWidget* buddy = nullptr);
  // Places every control of the model that the layout did not, one under
  // the other, at the end of `layout`: a control added to a model later is
  // still shown and can be worked.
  void AddUnplacedControls(QBoxLayout* layout);
  // The designed client size, grown where this desktop's fonts need more
  // room than the design's did (nothing is ever cut off). `fixed`: the
  // person cannot resize the window.
  void SetDesignedSize(int width, int height, bool fixed);
  // Registers a widget state refresh of the dialog's own (runs after the
  // controls' refreshes).
  void OnRefresh(std::function<void()> refresh);
  // Runs a person's action through the front-end (error handling, refresh).
  void Act(const std::function<void()>& action);

  // The model's control of that name and kind that no widget shows yet.
  template <class Model>
  Model* Find(const char* name) const {
    auto* model = dynamic_cast<Model*>(form_->FindControl(name));
    return model != nullptr && !Placed(*model) ? model : nullptr;
  }
  // Binds a widget of the dialog's own making to a control: objectName,
  // Enabled, Visible and hint follow the model, then `refresh` runs.
  void Bind(TControl& control, QWidget* widget, std::function<void()> refresh);

  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  struct Binding {
    TControl* Control;
    QWidget* Widget;
    std::function<void()> Refresh;
    std::string Hint;  // as shown
    bool HintShown;
  };

  bool Placed(const TControl& control) const;
  void ShowHelp();

  QtUi* ui_;
  TForm* form_;
  std::vector<Binding> bindings_;
  std::vector<std::function<void()>> refreshes_;
  bool refreshing_ = false;
  bool hiddenByModel_ = false;
  bool centred_ = false;
  std::string shownTitle_;
  bool titleShown_ = false;
  QSize designedSize_;
  bool fixedSize_ = false;
};

}  // namespace korvane

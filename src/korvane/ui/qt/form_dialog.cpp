#include "korvane/ui/qt/form_dialog.h"

#include <openssl/crypto.h>

#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <climits>
#include <memory>

#include "korvane/forms/application.h"
#include "korvane/forms/other_forms.h"
#include "korvane/ui/qt/qt_ui.h"

namespace korvane {

QString DisplayText(const std::string& text) {
  QString display = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  display.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  display.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return display;
}

std::string ModelText(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

namespace {

// Button and check box captions: '&' would start a mnemonic.
QString ButtonText(const std::string& caption) {
  QString text = DisplayText(caption);
  text.replace(QLatin1Char('&'), QLatin1String("&&"));
  return text;
}

QString LinkText(const std::string& caption) {
  return QStringLiteral("<a href=\"#\">") + DisplayText(caption).toHtmlEscaped() +
         QStringLiteral("</a>");
}

// A password typed into a masked edit goes to the model without leaving
// copies of it behind in our own buffers.
void SetSecretText(TEdit& edit, const QString& text) {
  QByteArray bytes = text.toUtf8();
  std::string secret(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  edit.SetText(secret);
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  if (!bytes.isEmpty()) OPENSSL_cleanse(bytes.data(), static_cast<std::size_t>(bytes.size()));
}

// The model text a widget shows, kept so that a refresh with nothing new
// costs a comparison and no conversion (the progress window is refreshed
// after every block of work).
struct TextCache {
  std::string Last;
  bool Valid = false;
  bool Changed(const std::string& now) {
    if (Valid && now == Last) return false;
    Last = now;
    Valid = true;
    return true;
  }
};

// What an edit shows, kept to see whether the model changed it. It may be
// a password: wiped when replaced and when the dialog goes.
struct ShownText {
  std::string Text;
  bool Valid = false;
  ShownText() = default;
  ShownText(const ShownText&) = delete;
  ShownText& operator=(const ShownText&) = delete;
  ~ShownText() { Wipe(); }
  void Wipe() {
    if (!Text.empty()) OPENSSL_cleanse(Text.data(), Text.size());
  }
  void Set(const std::string& text) {
    Wipe();
    Text = text;
    Valid = true;
  }
};

bool SameText(const QString& widgetText, const std::string& modelText) {
  QByteArray bytes = widgetText.toUtf8();
  const bool same = static_cast<std::size_t>(bytes.size()) == modelText.size() &&
                    std::equal(modelText.begin(), modelText.end(), bytes.constData());
  if (!bytes.isEmpty()) OPENSSL_cleanse(bytes.data(), static_cast<std::size_t>(bytes.size()));
  return same;
}

// The bar's range in what QProgressBar can hold (int), keeping the ratio.
void SetBarRange(QProgressBar& bar, const TProgressBar& model) {
  std::uint64_t range = model.Max > model.Min ? model.Max - model.Min : 0;
  std::uint64_t value = model.Position > model.Min ? model.Position - model.Min : 0;
  if (value > range) value = range;
  while (range > static_cast<std::uint64_t>(INT_MAX)) {
    range >>= 1;
    value >>= 1;
  }
  // An empty range would turn the bar into a busy indicator.
  if (range == 0) {
    bar.setRange(0, 1);
    bar.setValue(0);
    return;
  }
  if (bar.maximum() != static_cast<int>(range)) bar.setRange(0, static_cast<int>(range));
  if (bar.value() != static_cast<int>(value)) bar.setValue(static_cast<int>(value));
}

}  // namespace

void ClickableImage::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit clicked();
  }
}

FormDialog::FormDialog(QtUi& ui, TForm& form) : ui_(&ui), form_(&form) {
  setObjectName(QString::fromStdString(form.Name));
  setWindowTitle(DisplayText(form.Caption));
  // Only a close box: no "What's this" button.
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

FormDialog::~FormDialog() {
  // A masked edit's text goes with the window; Qt's own copies are out of
  // our reach, but the visible one is emptied.
  for (const Binding& binding : bindings_) {
    if (auto* edit = qobject_cast<QLineEdit*>(binding.Widget)) {
      if (edit->echoMode() == QLineEdit::Password) edit->clear();
    }
  }
}

bool FormDialog::Placed(const TControl& control) const {
  for (const Binding& binding : bindings_) {
    if (binding.Control == &control) return true;
  }
  return false;
}

void FormDialog::Bind(TControl& control, QWidget* widget, std::function<void()> refresh) {
  widget->setObjectName(QString::fromStdString(control.Name));
  bindings_.push_back({&control, widget, std::move(refresh), {}, false});
}

QLineEdit* FormDialog::Edit(const char* name) {
  auto* edit = new QLineEdit(this);
  TEdit* model = Find<TEdit>(name);
  if (model == nullptr) {
    edit->hide();
    return edit;
  }
  edit->setReadOnly(model->ReadOnly);
  if (model->Masked) edit->setEchoMode(QLineEdit::Password);
  // What the person types; text the program sets comes back through Refresh.
  connect(edit, &QLineEdit::textEdited, this, [this, model](const QString& text) {
    Act([model, &text] {
      if (model->Masked) {
        SetSecretText(*model, text);
      } else {
        model->SetText(ModelText(text));
      }
    });
  });
  auto shown = std::make_shared<ShownText>();
  Bind(*model, edit, [edit, model, shown] {
    if (shown->Valid && shown->Text == model->Text()) return;
    shown->Set(model->Text());
    // Keep the caret where the person is typing when the text is theirs.
    if (!SameText(edit->text(), shown->Text)) edit->setText(DisplayText(shown->Text));
  });
  return edit;
}

QCheckBox* FormDialog::CheckBox(const char* name) {
  auto* box = new QCheckBox(this);
  TCheckBox* model = Find<TCheckBox>(name);
  if (model == nullptr) {
    box->hide();
    return box;
  }
  connect(box, &QCheckBox::clicked, this,
          [this, model](bool checked) { Act([model, checked] { model->SetChecked(checked); }); });
  auto caption = std::make_shared<TextCache>();
  Bind(*model, box, [box, model, caption] {
    if (caption->Changed(model->Caption)) box->setText(ButtonText(model->Caption));
    if (box->isChecked() != model->Checked()) box->setChecked(model->Checked());
  });
  return box;
}

QPushButton* FormDialog::Button(const char* name) {
  auto* button = new QPushButton(this);
  TButton* model = Find<TButton>(name);
  if (model == nullptr) {
    button->hide();
    return button;
  }
  button->setDefault(model->Default);
  button->setAutoDefault(model->Default);
  connect(button, &QPushButton::clicked, this, [this, model] { Act([model] { model->Click(); }); });
  auto caption = std::make_shared<TextCache>();
  Bind(*model, button, [button, model, caption] {
    if (caption->Changed(model->Caption)) button->setText(ButtonText(model->Caption));
  });
  return button;
}

QLabel* FormDialog::Label(const char* name) {
  auto* label = new QLabel(this);
  TLabel* model = Find<TLabel>(name);
  if (model == nullptr) {
    label->hide();
    return label;
  }
  if (model->IsLink) {
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setCursor(Qt::PointingHandCursor);
    label->setFocusPolicy(Qt::StrongFocus);
    connect(label, &QLabel::linkActivated, this,
            [this, model](const QString&) { Act([model] { model->Click(); }); });
  } else {
    // Paths and messages are shown as they are, never interpreted as markup.
    label->setTextFormat(Qt::PlainText);
  }
  auto caption = std::make_shared<TextCache>();
  Bind(*model, label, [label, model, caption] {
    if (!caption->Changed(model->Caption)) return;
    label->setText(model->IsLink ? LinkText(model->Caption) : DisplayText(model->Caption));
  });
  return label;
}

ClickableImage* FormDialog::Image(const char* name, const QPixmap& picture) {
  auto* image = new ClickableImage(this);
  image->setPixmap(picture);
  image->setFixedSize(picture.deviceIndependentSize().toSize());
  TImage* model = Find<TImage>(name);
  if (model == nullptr) {
    // The picture stays: a window whose model has no image still shows it.
    return image;
  }
  connect(image, &ClickableImage::clicked, this,
          [this, model] { Act([model] { model->Click(); }); });
  Bind(*model, image, [image, model] {
    image->setCursor(model->OnClick ? Qt::PointingHandCursor : Qt::ArrowCursor);
  });
  return image;
}

QPlainTextEdit* FormDialog::Memo(const char* name) {
  auto* memo = new QPlainTextEdit(this);
  TMemo* model = Find<TMemo>(name);
  if (model == nullptr) {
    memo->hide();
    return memo;
  }
  memo->setReadOnly(model->ReadOnly);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto shown = std::make_shared<std::vector<std::string>>();
  auto everShown = std::make_shared<bool>(false);
  Bind(*model, memo, [memo, model, shown, everShown] {
    if (*everShown && *shown == model->Lines) return;
    *everShown = true;
    *shown = model->Lines;
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(model->Lines.size()));
    for (std::string line : model->Lines) {
      // A line that ends in '\r' ends there; it does not start another.
      while (!line.empty() && line.back() == '\r') line.pop_back();
      lines.append(DisplayText(line));
    }
    memo->setPlainText(lines.join(QLatin1Char('\n')));
  });
  return memo;
}

QProgressBar* FormDialog::ProgressBar(const char* name) {
  auto* bar = new QProgressBar(this);
  TProgressBar* model = Find<TProgressBar>(name);
  if (model == nullptr) {
    bar->hide();
    return bar;
  }
  bar->setTextVisible(false);
  Bind(*model, bar, [bar, model] { SetBarRange(*bar, *model); });
  return bar;
}

QFrame* FormDialog::Panel(const char* name) {
  auto* panel = new QFrame(this);
  auto* layout = new QVBoxLayout(panel);
  auto* caption = new QLabel(panel);
  caption->setTextFormat(Qt::PlainText);
  caption->setAlignment(Qt::AlignCenter);
  caption->hide();
  layout->addWidget(caption);
  TPanel* model = Find<TPanel>(name);
  if (model == nullptr) {
    panel->hide();
    return panel;
  }
  auto shown = std::make_shared<TextCache>();
  Bind(*model, panel, [caption, model, shown] {
    if (!shown->Changed(model->Caption)) return;
    caption->setText(DisplayText(model->Caption));
    caption->setHidden(model->Caption.empty());
  });
  return panel;
}

QLabel* FormDialog::StaticLabel(const QString& text, QWidget* buddy) {
  auto* label = new QLabel(this);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  if (buddy != nullptr) label->setBuddy(buddy);
  return label;
}

void FormDialog::AddUnplacedControls(QBoxLayout* layout) {
  for (TControl* control : form_->Controls()) {
    if (Placed(*control)) continue;
    const std::string name = control->Name;
    QWidget* widget = nullptr;
    if (dynamic_cast<TEdit*>(control)) {
      widget = Edit(name.c_str());
    } else if (dynamic_cast<TCheckBox*>(control)) {
      widget = CheckBox(name.c_str());
    } else if (dynamic_cast<TButton*>(control)) {
      widget = Button(name.c_str());
    } else if (dynamic_cast<TLabel*>(control)) {
      widget = Label(name.c_str());
    } else if (dynamic_cast<TImage*>(control)) {
      widget = Image(name.c_str(), LogoPixmap(32));
    } else if (dynamic_cast<TMemo*>(control)) {
      widget = Memo(name.c_str());
    } else if (dynamic_cast<TProgressBar*>(control)) {
      widget = ProgressBar(name.c_str());
    } else if (dynamic_cast<TPanel*>(control)) {
      widget = Panel(name.c_str());
    }
    if (widget != nullptr && Placed(*control)) layout->addWidget(widget);
  }
}

void FormDialog::SetDesignedSize(int width, int height, bool fixed) {
  designedSize_ = QSize(width, height);
  fixedSize_ = fixed;
  // What the texts need is known once they are in (the first show).
  resize(designedSize_);
}

void FormDialog::OnRefresh(std::function<void()> refresh) {
  refreshes_.push_back(std::move(refresh));
}

void FormDialog::Refresh() {
  refreshing_ = true;
  if (!titleShown_ || shownTitle_ != form_->Caption) {
    shownTitle_ = form_->Caption;
    titleShown_ = true;
    setWindowTitle(DisplayText(shownTitle_));
  }
  for (Binding& binding : bindings_) {
    const TControl& control = *binding.Control;
    if (binding.Widget->isEnabled() != control.Enabled) binding.Widget->setEnabled(control.Enabled);
    // A control on a hidden panel is hidden with it, wherever it is placed.
    const bool showing = control.Showing();
    if (binding.Widget->isHidden() == showing) binding.Widget->setHidden(!showing);
    if (!binding.HintShown || binding.Hint != control.Hint) {
      binding.Hint = control.Hint;
      binding.HintShown = true;
      binding.Widget->setToolTip(DisplayText(binding.Hint));
    }
    binding.Refresh();
  }
  for (const auto& refresh : refreshes_) refresh();
  refreshing_ = false;
}

void FormDialog::ShowCentred() {
  Refresh();
  if (!centred_) {
    centred_ = true;
    // A window with a designed size keeps it unless its texts need more;
    // the others take what their layout needs.
    if (designedSize_.isValid()) {
      const QSize size = designedSize_.expandedTo(minimumSizeHint());
      if (fixedSize_) {
        setFixedSize(size);
      } else {
        resize(size);
      }
    } else {
      adjustSize();
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  show();
  raise();
  activateWindow();
}

void FormDialog::HideFromModel() {
  hiddenByModel_ = true;
  hide();
}

void FormDialog::Act(const std::function<void()>& action) {
  if (refreshing_) return;
  // The action may close this dialog (it is then deleted later, never
  // during the action); nothing of it is touched afterwards.
  ui_->RunHandler(*form_, action);
}

void FormDialog::ShowHelp() {
  TForm* form = form_;
  Act([form] {
    // The application's help event, with the window's help context.
    bool callHelp = false;
    if (TfrmHelper* helper = form->App().frmHelper.get()) {
      helper->ApplicationEvents1Help(0, form->HelpContext, callHelp);
    }
  });
}

void FormDialog::reject() {
  // Escape: the window's cancel button when it can be pressed, else what
  // the close box does.
  TForm* form = form_;
  TButton* cancel = nullptr;
  for (TControl* control : form->Controls()) {
    auto* button = dynamic_cast<TButton*>(control);
    if (button != nullptr && button->Cancel) {
      cancel = button;
      break;
    }
  }
  Act([form, cancel] {
    if (cancel != nullptr && cancel->Enabled && cancel->Visible) {
      cancel->Click();
    } else {
      form->Close();
    }
  });
}

void FormDialog::keyPressEvent(QKeyEvent* event) {
  // F1 anywhere in the window (no control takes it for itself).
  if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::NoModifier) {
    event->accept();
    ShowHelp();
    return;
  }
  QDialog::keyPressEvent(event);
}

void FormDialog::closeEvent(QCloseEvent* event) {
  // The model decides: it hides the window (and this dialog with it) or
  // refuses, as the progress window does while work runs.
  event->ignore();
  if (hiddenByModel_) return;
  TForm* form = form_;
  Act([form] { form->Close(); });
}

void FormDialog::showEvent(QShowEvent* event) {
  hiddenByModel_ = false;
  QDialog::showEvent(event);
}

}  // namespace korvane

#include <QBoxLayout>
#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

SettingsDialog::SettingsDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(CheckBox("cbxPollUpdates"));

  auto* fields = new QGridLayout;
  // The edits carry the texts of the labels in front of them.
  const TEdit* intervalModel = Find<TEdit>("edPollUpdInt");
  const TEdit* lastPollModel = Find<TEdit>("edLastPoll");
  QLineEdit* interval = Edit("edPollUpdInt");
  interval->setMaximumWidth(interval->fontMetrics().horizontalAdvance(QStringLiteral("00000")) +
                            16);
  interval->installEventFilter(this);
  fields->addWidget(
      StaticLabel(intervalModel ? DisplayText(intervalModel->Caption) : QString(), interval), 0, 0);
  auto* number = new QHBoxLayout;
  number->setSpacing(0);
  number->addWidget(interval);
  number->addWidget(UpDown("udPollUpdInt"));
  number->addStretch();
  fields->addLayout(number, 0, 1);
  QLineEdit* lastPoll = Edit("edLastPoll");
  fields->addWidget(
      StaticLabel(lastPollModel ? DisplayText(lastPollModel->Caption) : QString(), lastPoll), 1, 0);
  lastPoll->setMaximumWidth(
      lastPoll->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00")) * 2);
  fields->addWidget(lastPoll, 1, 1, Qt::AlignLeft);
  layout->addLayout(fields);
  layout->addWidget(CheckBox("cbxAutoUpdateFlag"));

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button("btnHelp"));
  buttons->addStretch();
  buttons->addWidget(Button("btnOk"));
  buttons->addWidget(Button("btnCancel"));
  layout->addLayout(buttons);
  AddUnplacedControls(layout);
}

QWidget* SettingsDialog::UpDown(const char* name) {
  auto* arrows = new QWidget(this);
  auto* column = new QVBoxLayout(arrows);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto* up = new QToolButton(arrows);
  up->setObjectName(QStringLiteral("Up"));
  up->setArrowType(Qt::UpArrow);
  up->setAutoRepeat(true);
  auto* down = new QToolButton(arrows);
  down->setObjectName(QStringLiteral("Down"));
  down->setArrowType(Qt::DownArrow);
  down->setAutoRepeat(true);
  for (QToolButton* arrow : {up, down}) {
    arrow->setFixedSize(18, 12);
    arrow->setFocusPolicy(Qt::NoFocus);
    column->addWidget(arrow);
  }
  upDown_ = Find<TUpDown>(name);
  if (upDown_ == nullptr) {
    arrows->hide();
    return arrows;
  }
  TUpDown* model = upDown_;
  connect(up, &QToolButton::clicked, this, [this, model] { Act([model] { model->ClickUp(); }); });
  connect(down, &QToolButton::clicked, this,
          [this, model] { Act([model] { model->ClickDown(); }); });
  Bind(*model, arrows, [] {});
  return arrows;
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
  // The arrow keys in the number edit work its arrows.
  if (upDown_ != nullptr && event->type() == QEvent::KeyPress &&
      watched->objectName() == QLatin1String("edPollUpdInt")) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    TUpDown* model = upDown_;
    if (key == Qt::Key_Up) {
      Act([model] { model->ClickUp(); });
      return true;
    }
    if (key == Qt::Key_Down) {
      Act([model] { model->ClickDown(); });
      return true;
    }
  }
  return FormDialog::eventFilter(watched, event);
}

}  // namespace korvane

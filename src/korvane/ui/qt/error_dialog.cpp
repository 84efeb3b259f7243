#include <QBoxLayout>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

ErrorDialog::ErrorDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 12);

  // The coloured band across the top with the apology and the picture.
  QFrame* band = Panel("Shape1");
  band->setAutoFillBackground(true);
  QPalette bandColour = band->palette();
  bandColour.setColor(QPalette::Window, Qt::white);
  band->setPalette(bandColour);
  auto* bandRow = new QHBoxLayout;
  QLabel* apology = Label("Label1");
  QFont bold = apology->font();
  bold.setBold(true);
  apology->setFont(bold);
  bandRow->addWidget(apology, 1);
  const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  bandRow->addWidget(
      Image("Image1", style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(iconSize)), 0,
      Qt::AlignTop);
  static_cast<QBoxLayout*>(band->layout())->addLayout(bandRow);
  layout->addWidget(band);

  auto* body = new QVBoxLayout;
  body->setContentsMargins(12, 6, 12, 0);
  QLabel* error = Label("LabelError");
  error->setWordWrap(true);
  error->setTextInteractionFlags(Qt::TextSelectableByMouse);
  body->addWidget(error);
  QLabel* tell = Label("Label3");
  tell->setFont(bold);
  body->addWidget(tell);
  body->addWidget(Label("Label4"));
  QPlainTextEdit* details = Memo("meDetails");
  details->setMinimumHeight(160);
  body->addWidget(details, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button("Button3"));
  buttons->addStretch();
  buttons->addWidget(Button("Button1"));
  buttons->addWidget(Button("Button2"));
  buttons->addWidget(Button("btnTerminate"));
  body->addLayout(buttons);
  AddUnplacedControls(body);
  layout->addLayout(body);
  setMinimumWidth(460);
}

}  // namespace korvane

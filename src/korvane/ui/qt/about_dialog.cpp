#include <QBoxLayout>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

AboutDialog::AboutDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  top->addWidget(Image("imgLogo", LogoPixmap(64)), 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  auto* title = new QHBoxLayout;
  QLabel* name = Label("AppTitleLabel");
  QFont nameFont = name->font();
  nameFont.setPointSizeF(nameFont.pointSizeF() * 1.8);
  nameFont.setBold(true);
  name->setFont(nameFont);
  title->addWidget(name);
  QLabel* beta = Label("Label5");
  QPalette betaColour = beta->palette();
  betaColour.setColor(QPalette::WindowText, QColor(0xb0, 0x20, 0x20));
  beta->setPalette(betaColour);
  title->addWidget(beta, 0, Qt::AlignTop);
  title->addStretch();
  texts->addLayout(title);
  texts->addWidget(Label("VersionLabel"));
  texts->addWidget(Label("CopyrightLabel"));
  QLabel* license = Label("lblLicense");
  license->setWordWrap(true);
  texts->addWidget(license);
  top->addLayout(texts, 1);
  layout->addLayout(top);
  QPlainTextEdit* legal = Memo("meProtected");
  legal->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  legal->setMaximumHeight(90);
  layout->addWidget(legal);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button("btnOk"));
  layout->addLayout(buttons);
  AddUnplacedControls(layout);
  setMinimumWidth(380);
}

}  // namespace korvane

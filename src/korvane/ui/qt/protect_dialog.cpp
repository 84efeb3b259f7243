#include <QBoxLayout>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

ProtectDialog::ProtectDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  top->addWidget(Image("imgLogo", LogoPixmap(48)), 0, Qt::AlignTop);
  auto* folderColumn = new QVBoxLayout;
  QLineEdit* folder = Edit("edFolder");
  folder->setMinimumWidth(360);
  folderColumn->addWidget(StaticLabel(QStringLiteral("Folder to protect"), folder));
  folderColumn->addWidget(folder);
  top->addLayout(folderColumn, 1);
  layout->addLayout(top);

  auto* passwordGroup = new QGroupBox(QStringLiteral("Folder password"), this);
  auto* passwords = new QFormLayout(passwordGroup);
  QLineEdit* password = Edit("edPassword");
  QLineEdit* confirm = Edit("edConfirm");
  passwords->addRow(StaticLabel(QStringLiteral("Enter password:"), password), password);
  passwords->addRow(StaticLabel(QStringLiteral("Confirm password:"), confirm), confirm);
  layout->addWidget(passwordGroup);

  auto* optionsGroup = new QGroupBox(QStringLiteral("Options"), this);
  auto* options = new QVBoxLayout(optionsGroup);
  options->addWidget(CheckBox("cbxCompression"));
  options->addWidget(CheckBox("cbxDontDelete"));
  auto* recovery = new QHBoxLayout;
  recovery->addWidget(CheckBox("cbxEnablePassRestore"));
  recovery->addStretch();
  recovery->addWidget(Label("lbDetails"));
  options->addLayout(recovery);
  options->addWidget(CheckBox("cbxClassic"));
  layout->addWidget(optionsGroup);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button("btnHelp"));
  buttons->addWidget(Button("Button1"));
  buttons->addStretch();
  buttons->addWidget(Button("btnProtect"));
  buttons->addWidget(Button("btnCancel"));
  layout->addLayout(buttons);
  AddUnplacedControls(layout);

  // The password is what the person types first.
  password->setFocus();
}

}  // namespace korvane

#include <QBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

EnterDialog::EnterDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  top->addWidget(Image("imgLogo", LogoPixmap(48)), 0, Qt::AlignTop);
  auto* fields = new QVBoxLayout;
  QLineEdit* folder = Edit("edFolder");
  folder->setMinimumWidth(360);
  fields->addWidget(StaticLabel(QStringLiteral("Folder to open"), folder));
  fields->addWidget(folder);
  QLineEdit* password = Edit("edPassword");
  fields->addWidget(StaticLabel(QStringLiteral("Folder password"), password));
  fields->addWidget(password);
  top->addLayout(fields, 1);
  layout->addLayout(top);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button("btnHelp"));
  buttons->addStretch();
  buttons->addWidget(Button("btnBrowse"));
  buttons->addWidget(Button("btnOpen"));
  buttons->addWidget(Button("btnCancel"));
  layout->addLayout(buttons);
  AddUnplacedControls(layout);

  password->setFocus();
}

}  // namespace korvane

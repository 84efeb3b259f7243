#include <QBoxLayout>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

RequestDialog::RequestDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label("Label1"));
  layout->addWidget(Edit("edFolder"));
  // Two lines as written.
  layout->addWidget(Label("Label3"));
  layout->addWidget(Button("btnReadTerms"));
  QCheckBox* agree = CheckBox("cbxAgree");
  layout->addWidget(agree);
  auto* mail = new QHBoxLayout;
  mail->addWidget(Label("Label2"));
  mail->addWidget(Label("lblEmail"));
  mail->addStretch();
  layout->addLayout(mail);
  QPlainTextEdit* request = Memo("meRequest");
  layout->addWidget(request, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button("btnCopyMemo"));
  buttons->addStretch();
  buttons->addWidget(Button("btnCancel"));
  layout->addLayout(buttons);
  AddUnplacedControls(layout);

  SetDesignedSize(form.ClientWidth > 0 ? form.ClientWidth : 464,
                  form.ClientHeight > 0 ? form.ClientHeight : 367, true);
  agree->setFocus();
}

}  // namespace korvane

#include <QBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

FilesListDialog::FilesListDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  top->addWidget(Edit("edFolder"), 1);
  top->addWidget(Button("Button1"));
  layout->addLayout(top);
  QPlainTextEdit* list = Memo("Memo1");
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  layout->addWidget(list, 1);
  AddUnplacedControls(layout);

  // A sizeable window: the designed size is where it starts.
  setSizeGripEnabled(true);
  SetDesignedSize(form.ClientWidth > 0 ? form.ClientWidth : 601,
                  form.ClientHeight > 0 ? form.ClientHeight : 500, false);
}

}  // namespace korvane

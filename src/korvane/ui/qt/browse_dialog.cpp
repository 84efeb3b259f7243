#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

BrowseDialog::BrowseDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  top->addWidget(Image("imgLogo", LogoPixmap(48)), 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  QLabel* browsing = Label("lblBrowsing");
  browsing->setMinimumWidth(360);
  texts->addWidget(browsing);
  texts->addWidget(Label("lblFolder"));
  QLabel* status = Label("lblStatus");
  status->setWordWrap(true);
  texts->addWidget(status);
  top->addLayout(texts, 1);
  layout->addLayout(top);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button("btnDetach"));
  buttons->addWidget(Button("btnClose"));
  layout->addLayout(buttons);
  AddUnplacedControls(layout);
}

}  // namespace korvane

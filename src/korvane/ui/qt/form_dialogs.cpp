#include "korvane/ui/qt/form_dialogs.h"

#include <QBoxLayout>

#include "korvane/forms/progress_form.h"

namespace korvane {

PlainDialog::PlainDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);
  AddUnplacedControls(layout);
  if (form.ClientWidth > 0 && form.ClientHeight > 0) {
    SetDesignedSize(form.ClientWidth, form.ClientHeight, false);
  }
}

FormDialog* CreateFormDialog(QtUi& ui, TForm& form) {
  const std::string& name = form.Name;
  if (auto* progress = dynamic_cast<TfrmProgress*>(&form)) return new ProgressDialog(ui, *progress);
  if (name == "frmProtect") return new ProtectDialog(ui, form);
  if (name == "frmEnter") return new EnterDialog(ui, form);
  if (name == "frmBrowse") return new BrowseDialog(ui, form);
  if (name == "frmRequest") return new RequestDialog(ui, form);
  if (name == "frmFilesList") return new FilesListDialog(ui, form);
  if (name == "AboutForm") return new AboutDialog(ui, form);
  if (name == "ErrorDialog") return new ErrorDialog(ui, form);
  if (name == "frmSettings") return new SettingsDialog(ui, form);
  if (name == "frmCheckUpdates") return new CheckUpdatesDialog(ui, form);
  return new PlainDialog(ui, form);
}

}  // namespace korvane

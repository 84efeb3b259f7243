#include "korvane/forms/request_form.h"

#include "korvane/forms/application.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/other_forms.h"

namespace korvane {

TfrmRequest::TfrmRequest(TApplication& app)
    : TForm(app, "frmRequest", "Request"),
      Label1(*this, "Label1",
             "You are requesting to recover lost or forgotten password to folder:"),
      edFolder(*this, "edFolder"),
      Label3(*this, "Label3",
             "Since you enabled password recovery option for this folder, you can recover\r\nyour "
             "password in accordance with Korvane Password Recovery Terms and Conditions."),
      btnReadTerms(*this, "btnReadTerms", "READ KORVANE PASSWORD RECOVERY TERMS AND CONDITIONS"),
      cbxAgree(*this, "cbxAgree",
               "I have read and agree to the Korvane Password Recovery Terms and Conditions."),
      Label2(*this, "Label2", "Please copy this text into an email message and send it to"),
      lblEmail(*this, "lblEmail"),
      meRequest(*this, "meRequest"),
      btnCopyMemo(*this, "btnCopyMemo", "Copy to clipboard"),
      btnCancel(*this, "btnCancel", "Close") {
  ClientWidth = 464;
  ClientHeight = 367;
  edFolder.ReadOnly = true;
  meRequest.ReadOnly = true;
  meRequest.Enabled = false;
  btnCopyMemo.Enabled = false;
  lblEmail.IsLink = true;
  lblEmail.Caption = App().Environment().SupportAddress();
  btnCancel.Cancel = true;
  btnCancel.ModalResult = mrCancel;
  btnReadTerms.OnClick = [this] { btnReadTermsClick(); };
  cbxAgree.OnClick = [this] { cbxAgreeClick(); };
  btnCopyMemo.OnClick = [this] { btnCopyMemoClick(); };
  lblEmail.OnClick = [this] { lblEmailClick(); };
}

void TfrmRequest::FormShow() {
  if (App().frmEnter) edFolder.SetText(App().frmEnter->edFolder.Text());
  meRequest.Lines = {
      "Please recover lost or forgotten password to my personal Korvane Folder.\r",
      "Folder password cipher text is \r",
      EscrowText,
      "",
      "I have read and agree to the Korvane Password Recovery Terms and Conditions. ",
      "I certify that I am the legal owner of the encrypted data and understand ",
      "that unauthorized data recovery may be a subject of civil or criminal liability.",
  };
  meRequest.Enabled = false;
  btnCopyMemo.Enabled = false;
  cbxAgree.SetChecked(false);
}

void TfrmRequest::cbxAgreeClick() {
  btnCopyMemo.Enabled = cbxAgree.Checked();
  meRequest.Enabled = cbxAgree.Checked();
}

void TfrmRequest::btnCopyMemoClick() {
  GetUi().CopyToClipboard(meRequest.Text());
}

void TfrmRequest::lblEmailClick() {
  GetUi().ShellOpen("mailto:" + lblEmail.Caption + "?subject=\"Korvane password restore\"");
}

void TfrmRequest::btnReadTermsClick() {
  if (App().frmHelper) App().frmHelper->ShowHelp(510);
}

}  // namespace korvane

#include "app/forms/controls.h"

#include <openssl/crypto.h>

#include <exception>

#include "app/forms/application.h"
#include "app/platform/platform.h"

namespace korvane {

TControl::TControl(TForm& owner, std::string name, std::string caption)
    : Name(std::move(name)), Caption(std::move(caption)), owner_(&owner) {
  owner.controls_.push_back(this);
}

void TControl::Fire(const TNotifyEvent& handler) {
  if (handler) owner_->Perform(handler);
}

void TLabel::Click() {
  if (Enabled && Visible) Fire(OnClick);
}

TEdit::~TEdit() {
  if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
}

void TEdit::SetText(const std::string& text) {
  if (text == text_) return;
  if (Masked && !text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
  text_ = text;
  Fire(OnChange);
}

void TCheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Fire(OnClick);
}

void TButton::Click() {
  if (!Enabled || !Visible) return;
  if (ModalResult != mrNone) Owner().ModalResult = ModalResult;
  Fire(OnClick);
  // A button with a modal result closes the window it sits in (the person
  // pressed OK or Cancel of a dialog).
  if (ModalResult != mrNone && Owner().Visible()) {
    Owner().ModalResult = ModalResult;
    Owner().Close();
  }
}

void TImage::Click() {
  if (Enabled && Visible) Fire(OnClick);
}

std::string TMemo::Text() const {
  std::string text;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += Lines[i];
  }
  return text;
}

TForm::TForm(TApplication& app, std::string name, std::string caption)
    : Name(std::move(name)), Caption(std::move(caption)), app_(&app) {}

Ui& TForm::GetUi() const {
  return app_->GetUi();
}

void TForm::Show() {
  const bool wasVisible = visible_;
  visible_ = true;
  ModalResult = mrNone;
  if (!wasVisible) Perform([this] { FormShow(); });
  GetUi().FormChanged(*this);
}

void TForm::Hide() {
  if (!visible_) return;
  visible_ = false;
  GetUi().FormChanged(*this);
}

bool TForm::Close() {
  TCloseAction action = TCloseAction::caHide;
  FormClose(action);
  if (action == TCloseAction::caNone) return false;
  if (ModalResult == mrNone) ModalResult = mrCancel;
  Hide();
  return true;
}

TModalResult TForm::ShowModal() {
  Show();
  if (visible_) GetUi().RunForm(*this);
  // A front-end that returns with the window still open has nothing more to
  // say: that is the window's Cancel.
  if (visible_ && !Close()) {
    visible_ = false;
    GetUi().FormChanged(*this);
  }
  if (ModalResult == mrNone) ModalResult = mrCancel;
  return ModalResult;
}

TControl* TForm::FindControl(const std::string& name) const {
  for (TControl* control : controls_) {
    if (control->Name == name) return control;
  }
  return nullptr;
}

TModalResult TForm::MessageBox(const std::string& caption, const std::string& text, TMsgIcon icon,
                               TMsgButtons buttons) {
  return GetUi().MessageBox(platform::LocalizeText(caption), platform::LocalizeText(text), icon,
                            buttons);
}

void TForm::Perform(const TNotifyEvent& handler) {
  try {
    handler();
  } catch (...) {
    app_->HandleException(std::current_exception());
  }
}

}  // namespace korvane

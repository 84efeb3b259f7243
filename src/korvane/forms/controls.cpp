#include "korvane/forms/controls.h"

#include <openssl/crypto.h>

#include <charconv>
#include <exception>
#include <string_view>

#include "korvane/forms/application.h"
#include "korvane/platform/platform.h"
#include "vaultfs/utf16.h"

namespace korvane {

TControl::TControl(TForm& owner, std::string name, std::string caption)
    : Name(std::move(name)), Caption(std::move(caption)), owner_(&owner) {
  owner.controls_.push_back(this);
}

bool TControl::Showing() const {
  for (const TControl* control = this; control != nullptr; control = control->Parent) {
    if (!control->Visible) return false;
  }
  return true;
}

void TControl::Fire(const TNotifyEvent& handler) {
  if (handler) owner_->Perform(handler);
}

void TLabel::Click() {
  if (Enabled && Showing() && Owner().Visible()) Fire(OnClick);
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
  // A closed window's buttons are out of reach too: a late click must not
  // change the answer the window closed with.
  if (!Enabled || !Showing() || !Owner().Visible()) return;
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
  if (Enabled && Showing() && Owner().Visible()) Fire(OnClick);
}

std::string TMemo::Text() const {
  std::string text;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += Lines[i];
  }
  return text;
}

TUpDown::TUpDown(TForm& owner, std::string name, TEdit& associate)
    : TControl(owner, std::move(name)), associate_(&associate) {}

int TUpDown::Position() const {
  // What the person typed counts, as far as it is a number in range.
  std::string_view text = associate_->Text();
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  long long typed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), typed);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return position_;
  if (typed < Min) return Min;
  if (typed > Max) return Max;
  return static_cast<int>(typed);
}

void TUpDown::SetPosition(int position) {
  position_ = position < Min ? Min : (position > Max ? Max : position);
  associate_->SetText(std::to_string(position_));
}

void TWebBrowser::Navigate(const std::string& address) {
  if (OnBeforeNavigate) Fire([this, &address] { OnBeforeNavigate(address); });
  Owner().GetUi().Navigate(*this, address);
}

void TWebBrowser::DocumentComplete(const std::string& url, const std::string& html,
                                   std::vector<std::string> links) {
  locationUrl_ = url;
  documentHtml_ = html;
  links_ = std::move(links);
  Fire(OnDocumentComplete);
}

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view text, std::string_view lowerWord) {
  if (text.size() != lowerWord.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (LowerAscii(text[i]) != lowerWord[i]) return false;
  }
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  // What a character reference may not name reads as the replacement character.
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  vaultfs::AppendUtf8(static_cast<char32_t>(code), out);
}

// Character references of an attribute value: the few named ones a link
// address uses, and numeric ones. Anything else stays as written.
std::string DecodeCharacterReferences(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '&') {
      out.push_back(text[at]);
      continue;
    }
    const std::size_t semicolon = text.find(';', at + 1);
    if (semicolon == std::string_view::npos || semicolon - at > 10) {
      out.push_back('&');
      continue;
    }
    const std::string_view name = text.substr(at + 1, semicolon - at - 1);
    bool decoded = false;
    if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      std::uint32_t code = 0;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size()) {
        AppendUtf8(out, code);
        decoded = true;
      }
    } else {
      for (const auto& [entity, character] : kNamed) {
        if (EqualsIgnoringCase(name, entity)) {
          out.push_back(character);
          decoded = true;
          break;
        }
      }
    }
    if (decoded) {
      at = semicolon;
    } else {
      out.push_back('&');
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> ExtractDocumentLinks(const std::string& html) {
  std::vector<std::string> links;
  const std::string_view page(html);
  std::size_t at = 0;
  while ((at = page.find('<', at)) != std::string_view::npos) {
    if (page.substr(at, 4) == "<!--") {
      const std::size_t end = page.find("-->", at + 4);
      if (end == std::string_view::npos) break;
      at = end + 3;
      continue;
    }
    ++at;
    // The tag's name must be "a" on its own ("<abbr>" is not a link).
    if (at + 1 >= page.size() || LowerAscii(page[at]) != 'a' || !IsBlank(page[at + 1])) continue;
    ++at;
    std::string href;
    bool found = false;
    // Attributes up to the tag's end: name, optional "= value" (quoted with
    // " or ', or bare up to a blank or '>').
    while (at < page.size() && page[at] != '>') {
      if (IsBlank(page[at]) || page[at] == '/') {
        ++at;
        continue;
      }
      const std::size_t nameStart = at;
      while (at < page.size() && !IsBlank(page[at]) && page[at] != '=' && page[at] != '>') ++at;
      const std::string_view name = page.substr(nameStart, at - nameStart);
      while (at < page.size() && IsBlank(page[at])) ++at;
      std::string_view value;
      if (at < page.size() && page[at] == '=') {
        ++at;
        while (at < page.size() && IsBlank(page[at])) ++at;
        if (at < page.size() && (page[at] == '"' || page[at] == '\'')) {
          const char quote = page[at];
          const std::size_t end = page.find(quote, at + 1);
          if (end == std::string_view::npos) {
            at = page.size();
            break;
          }
          value = page.substr(at + 1, end - at - 1);
          at = end + 1;
        } else {
          const std::size_t valueStart = at;
          while (at < page.size() && !IsBlank(page[at]) && page[at] != '>') ++at;
          value = page.substr(valueStart, at - valueStart);
        }
      }
      // The first href of a tag counts, as in a browser.
      if (!found && EqualsIgnoringCase(name, "href")) {
        href = DecodeCharacterReferences(value);
        found = true;
      }
    }
    if (found) {
      // Blanks around an address are not part of it.
      const std::size_t first = href.find_first_not_of(" \t\r\n\f");
      const std::size_t last = href.find_last_not_of(" \t\r\n\f");
      links.push_back(first == std::string::npos ? std::string()
                                                 : href.substr(first, last - first + 1));
    }
  }
  return links;
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
  return ShowModal(TNotifyEvent());
}

TModalResult TForm::ShowModal(const TNotifyEvent& onShown) {
  Show();
  if (visible_ && onShown) Perform(onShown);
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

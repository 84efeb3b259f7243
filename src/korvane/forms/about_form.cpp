#include "korvane/forms/about_form.h"

#include <charconv>
#include <string_view>

#include "korvane/forms/application.h"
#include "korvane/forms/helper_form.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace korvane {

bool GetVersionStrings(const std::string& version, std::string& two, std::string& three,
                       std::string& four) {
  unsigned parts[4] = {0, 0, 0, 0};
  std::string_view rest(version);
  for (std::size_t count = 0;; ++count) {
    if (count == 4) return false;
    std::size_t dot = rest.find('.');
    const std::string_view number = rest.substr(0, dot);
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), parts[count]);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
        parts[count] > 0xFFFF) {
      return false;
    }
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  const std::string a = std::to_string(parts[0]);
  const std::string b = std::to_string(parts[1]);
  const std::string c = std::to_string(parts[2]);
  const std::string d = std::to_string(parts[3]);
  two = a + "." + b;
  three = two + "." + c;
  four = three + "." + d;
  return true;
}

TAboutForm::TAboutForm(TApplication& app)
    : TForm(app, "AboutForm", "About"),
      imgLogo(*this, "imgLogo"),
      AppTitleLabel(*this, "AppTitleLabel", "Korvane"),
      Label5(*this, "Label5", "beta"),
      VersionLabel(*this, "VersionLabel", "Version 1.0 (Build 1.0.0.0)"),
      CopyrightLabel(*this, "CopyrightLabel", "\u00A9 2026 Korvane developers"),
      lblLicense(*this, "lblLicense",
                 "Using this software indicates acceptance of the license agreement"),
      meProtected(*this, "meProtected"),
      btnOk(*this, "btnOk", "OK") {
  HelpContext = 10;
  CopyrightLabel.Hint = "https://korvane.example";
  CopyrightLabel.IsLink = true;
  CopyrightLabel.OnClick = [this] { CopyrightLabelClick(); };
  lblLicense.Hint = "Read License Agreement...";
  lblLicense.IsLink = true;
  lblLicense.OnClick = [this] { lblLicenseClick(); };
  meProtected.ReadOnly = true;
  meProtected.Lines = {
      "Warning: this program is protected by copyright law. It may be used, copied "
      "and passed on only as its license allows; see the license agreement.",
      "Korvane keeps your folders from curious eyes. It is no substitute for backups: "
      "a forgotten password or a damaged disk can make a protected folder unreadable."};
  btnOk.Default = true;
  btnOk.Cancel = true;
  btnOk.ModalResult = mrOk;
  btnOk.OnClick = [this] { btnOkClick(); };
  ShowVersion(KORVANE_VERSION);
}

void TAboutForm::ShowVersion(const std::string& version) {
  std::string two;
  std::string three;
  std::string four;
  if (GetVersionStrings(version, two, three, four)) {
    VersionLabel.Caption = "Version " + two + " (Build " + four + ")";
  }
}

void TAboutForm::CopyrightLabelClick() {
  GetUi().ShellOpen(CopyrightLabel.Hint);
}

void TAboutForm::lblLicenseClick() {
  if (App().frmHelper) App().frmHelper->ShowHelp(302);
}

void TAboutForm::btnOkClick() {
  Close();
}

}  // namespace korvane

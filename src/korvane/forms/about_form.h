// The About window: the product, its version, the makers' web address, the
// licence and a short legal notice.
#pragma once

#include <string>

#include "korvane/forms/controls.h"

namespace korvane {

// The program's version, "x.y.z" as the build states it (up to four
// numbers of 0 to 65535, missing ones 0), as its two-, three- and four-part
// texts. False, with the texts unchanged, when it is no such version.
bool GetVersionStrings(const std::string& version, std::string& two, std::string& three,
                       std::string& four);

class TAboutForm : public TForm {
 public:
  explicit TAboutForm(TApplication& app);

  TImage imgLogo;
  TLabel AppTitleLabel;
  TLabel Label5;
  TLabel VersionLabel;
  TLabel CopyrightLabel;
  TLabel lblLicense;
  TMemo meProtected;
  TButton btnOk;

  // "Version a.b (Build a.b.c.d)" from a version text; the label is left as
  // it is when the text is no version. The window shows the program's own.
  void ShowVersion(const std::string& version);
  void CopyrightLabelClick();
  void lblLicenseClick();
  void btnOkClick();
};

}  // namespace korvane

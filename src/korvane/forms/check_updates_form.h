// The check-for-updates window: an optional warning before going online,
// then the update server's answer page in a web view, and the page's
// download link behind "Get Update".
#pragma once

#include <functional>
#include <string>

#include "korvane/forms/controls.h"

namespace korvane {

inline constexpr const char* kProductId = "korvapp";

class TfrmCheckUpdates : public TForm {
 public:
  explicit TfrmCheckUpdates(TApplication& app);

  TButton btnClose;
  TButton btnGetUpdate;
  TButton btnConfigureRight;
  TWebBrowser wbrCheckUpdate;
  TPanel pnlWarning;
  TLabel lbStartCheck;
  TLabel lbFirewall;
  TLabel lbConfigure;
  TLabel lbContinue;
  TCheckBox cbxWarnCheckUpd;
  TButton btnContinue;
  TButton btnConfigure;
  TPanel pnlMessage;

  // The check page's address and what it is told.
  std::string CheckUrl;
  std::string ProductId = kProductId;
  std::string CurrentBuild;
  std::string LanguageId;
  // The last link of the answer page that holds "maindnld=1"; empty before.
  std::string DownloadLink;
  TNotifyEvent OnConfigure;
  // Called when the window closes, with the state of cbxWarnCheckUpd.
  std::function<void(bool checked)> OnCloseWarning;

  // With `warn`, shows the warning panel and waits for Continue or
  // Configure...; otherwise starts the check at once.
  void BeginCheck(bool warn);
  // Loads CheckUrl?prod=..&curbuild=..&lg=.. (values inserted as they are).
  void StartCheck();
  // Opens a download address in the person's browser, with "http://" in
  // front of a bare "www." address and the product as referrer.
  void OpenDownloadLink(const std::string& address);

  void btnContinueClick();
  void btnGetUpdateClick();
  void btnConfigureClick();
  void btnConfigureRightClick();
  void btnCloseClick();
  void wbrCheckUpdateBeforeNavigate(const std::string& address);
  void wbrCheckUpdateDocumentComplete();

 protected:
  void FormShow() override;
  void FormClose(TCloseAction& action) override;
};

// Whether a link of the answer page may be offered for download: it holds
// "maindnld=1" and leads to a web page (http://, https://, or a bare
// "www." address). Anything else would hand the desktop whatever the page
// (or whoever sits between it and us) chose to be opened.
bool IsDownloadLink(const std::string& address);

}  // namespace korvane

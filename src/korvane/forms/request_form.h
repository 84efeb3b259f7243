// The recovery request window: the text to mail to the maker, offered once
// the person agrees to the terms.
#pragma once

#include <string>

#include "korvane/forms/controls.h"

namespace korvane {

inline constexpr const char* kAccessCode = "QZ%7431$";

class TfrmRequest : public TForm {
 public:
  explicit TfrmRequest(TApplication& app);

  TLabel Label1;
  TEdit edFolder;
  TLabel Label3;
  TButton btnReadTerms;
  TCheckBox cbxAgree;
  TLabel Label2;
  TLabel lblEmail;
  TMemo meRequest;
  TButton btnCopyMemo;
  TButton btnCancel;

  std::string EscrowText;

  void cbxAgreeClick();
  void btnCopyMemoClick();
  void lblEmailClick();
  void btnReadTermsClick();

 protected:
  void FormShow() override;
};

}  // namespace korvane

// A diagnostic list of what protecting a folder would take.
#pragma once

#include "korvane/forms/controls.h"

namespace korvane {

class TfrmFilesList : public TForm {
 public:
  explicit TfrmFilesList(TApplication& app);

  TEdit edFolder;
  TButton Button1;
  TMemo Memo1;

  void Button1Click();

 protected:
  void FormShow() override;
};

}  // namespace korvane

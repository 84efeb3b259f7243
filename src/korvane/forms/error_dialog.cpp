#include "korvane/forms/error_dialog.h"

namespace korvane {

TErrorDialog::TErrorDialog(TApplication& app)
    : TForm(app, "ErrorDialog", "Error occurred"),
      Shape1(*this, "Shape1"),
      Label1(*this, "Label1",
             "The application has encoutered a problem. \r\nWe are sorry for the inconvenience."),
      LabelError(*this, "LabelError"),
      Label3(*this, "Label3", "Please tell us about this problem."),
      Label4(*this, "Label4",
             "We have created an error report that you can send to us to improve \r\nour "
             "software. We will treat this report as confidential and anonymous."),
      Image1(*this, "Image1"),
      Button1(*this, "Button1", "Send Error Report"),
      Button2(*this, "Button2", "Don't Send"),
      Button3(*this, "Button3", "Details >>"),
      btnTerminate(*this, "btnTerminate", "Terminate"),
      meDetails(*this, "meDetails") {
  Button1.Default = true;
  Button1.ModalResult = mrSendReport;
  Button2.ModalResult = mrDontSend;
  Button3.ModalResult = mrDetails;
  btnTerminate.ModalResult = mrTerminate;
  btnTerminate.Visible = false;
  meDetails.ReadOnly = true;
  meDetails.Visible = false;
}

void TErrorDialog::ShowDetails(const std::string& report) {
  meDetails.Lines.clear();
  std::size_t start = 0;
  while (start <= report.size()) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (end < report.size() || !line.empty()) meDetails.Lines.push_back(std::move(line));
    start = end + 1;
  }
  meDetails.Visible = true;
  Button3.Enabled = false;
}

}  // namespace korvane

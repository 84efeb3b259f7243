// The error dialog: an error that escaped a window handler, with the choice
// to save a report of it, to leave it, to see the report, or (after several
// errors in one run) to end the program.
#pragma once

#include <string>

#include "korvane/forms/controls.h"

namespace korvane {

// What the error dialog's buttons answer.
inline constexpr TModalResult mrSendReport = static_cast<TModalResult>(1);
inline constexpr TModalResult mrDontSend = static_cast<TModalResult>(2);
inline constexpr TModalResult mrDetails = static_cast<TModalResult>(100);
inline constexpr TModalResult mrTerminate = static_cast<TModalResult>(101);

class TErrorDialog : public TForm {
 public:
  explicit TErrorDialog(TApplication& app);

  TPanel Shape1;
  TLabel Label1;
  TLabel LabelError;
  TLabel Label3;
  TLabel Label4;
  TImage Image1;
  TButton Button1;
  TButton Button2;
  TButton Button3;
  TButton btnTerminate;
  // The error report, shown by "Details >>" (hidden until then).
  TMemo meDetails;

  // Puts the report's lines into meDetails and shows it; "Details >>" has
  // nothing more to show then.
  void ShowDetails(const std::string& report);
};

}  // namespace korvane

#include "korvane/forms/ui.h"

#include <chrono>
#include <string>

#include "korvane/forms/controls.h"
#include "korvane/platform/http_get.h"

namespace korvane {

namespace {

// Long enough for a slow server, short enough that a person waiting in
// front of "Connecting remote server..." is not left there for minutes.
constexpr std::chrono::seconds kPageTimeout{20};

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

}  // namespace

void Ui::Navigate(TWebBrowser& browser, const std::string& address) {
  const platform::HttpResponse response = platform::HttpGet(address, kPageTimeout);
  if (!response.Ok) {
    // What a browser shows for a server it cannot reach: a page of its own,
    // with nothing on it to follow.
    browser.DocumentComplete(address,
                             "<html><head><title>Cannot reach the server</title></head><body>"
                             "<h1>Cannot reach the server</h1><p>" +
                                 EscapeHtml(address) + "</p><p>" + EscapeHtml(response.Error) +
                                 "</p></body></html>",
                             {});
    return;
  }
  browser.DocumentComplete(response.Url, response.Body, ExtractDocumentLinks(response.Body));
}

}  // namespace korvane

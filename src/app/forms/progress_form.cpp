#include "app/forms/progress_form.h"

#include <array>
#include <vector>

#include "app/forms/application.h"
#include "app/forms/globals.h"
#include "app/platform/platform.h"
#include "engine/volume/utf16.h"

namespace korvane {

namespace {

// Templates by progress operation; the workflows only ever meet 6.
constexpr std::array<const char*, 11> kOperationTexts = {
    "Formating",        "Checking1",         "Checking2",       "Checking3",
    "Checking4",        "Checking5",         "Copying file %s", "Copying file %s",
    "Deleting file %s", "Page %d corrupted", "Page %d orphaned"};

void EraseFirst(std::string& text, const std::string& part) {
  const std::size_t at = text.find(part);
  if (at != std::string::npos) text.erase(at, part.size());
}

// Byte offsets of the characters of a UTF-8 text.
std::vector<std::size_t> CharStarts(const std::string& text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); i += platform::Utf8CharLength(text, i))
    starts.push_back(i);
  return starts;
}

}  // namespace

std::string PathEllipsis(const std::string& text, std::size_t maxChars) {
  const std::vector<std::size_t> starts = CharStarts(text);
  const std::size_t count = starts.size();
  if (count <= maxChars) return text;
  static const std::string kDots = "...";
  if (maxChars <= kDots.size()) return kDots.substr(0, maxChars);
  auto slice = [&](std::size_t fromChar, std::size_t toChar) {
    const std::size_t from = fromChar < count ? starts[fromChar] : text.size();
    const std::size_t to = toChar < count ? starts[toChar] : text.size();
    return text.substr(from, to - from);
  };
  // The name after the last separator is kept whole when it fits with the
  // dots; the room left goes to the start of the path.
  std::size_t nameStart = 0;
  for (std::size_t c = 0; c < count; ++c) {
    const char byte = text[starts[c]];
    if (byte == '\\' || byte == '/') nameStart = c;
  }
  const std::size_t nameChars = count - nameStart;
  const std::size_t room = maxChars - kDots.size();
  if (nameChars <= room) {
    const std::size_t head = room - nameChars;
    return slice(0, head) + kDots + slice(nameStart, count);
  }
  // Even the name is too long: keep its end.
  return kDots + slice(count - room, count);
}

TfrmProgress::TfrmProgress(TApplication& app)
    : TForm(app, "frmProgress", "Korvane"),
      lblText(*this, "lblText", "Current operation"),
      Label2(*this, "Label2", "Total progress:"),
      barProgress(*this, "barProgress"),
      btnCancel(*this, "btnCancel", "Cancel") {
  ClientWidth = 312;
  ClientHeight = 130;
  btnCancel.Cancel = true;
  btnCancel.OnClick = [this] { btnCancelClick(); };
}

void TfrmProgress::FormShow() {
  Cancelled = false;
}

void TfrmProgress::FormClose(TCloseAction& action) {
  action = TCloseAction::caNone;
}

void TfrmProgress::btnCancelClick() {
  Cancelled = true;
  Close();  // refused while the work runs; the flag stops it
}

void TfrmProgress::VaultStorageProgress(vaultfs::TVaultStorage& /*sender*/,
                                        const std::u16string& fileName,
                                        vaultfs::TProgressOperation operation,
                                        std::uint32_t progress, std::uint32_t total, bool canStop,
                                        bool& stop) {
  std::string name = vaultfs::Utf16ToUtf8(fileName);
  EraseFirst(name, "DATA\\");
  EraseFirst(name, "_SERVICE\\");
  std::string line;
  if (operation < kOperationTexts.size()) {
    // The page templates want a number the event does not carry: the name
    // stands in for it.
    line = FormatText(kOperationTexts[operation], {name});
  } else {
    line = name;
  }
  ShowOperationText(line);
  if (operation != 9 && operation != 10) {
    barProgress.Max = total;
    barProgress.Position = progress;
  }
  if (canStop) stop = Cancelled;
  GetUi().FormChanged(*this);
  if (Visible()) GetUi().ProcessMessages();
}

void TfrmProgress::ShowOperationText(const std::string& line) {
  lblText.Caption.clear();
  OperationLine = line;
}

vaultfs::TVaultProgressEvent TfrmProgress::ProgressHandler() {
  return [this](vaultfs::TVaultStorage& sender, const std::u16string& fileName,
                vaultfs::TProgressOperation operation, std::uint32_t progress, std::uint32_t total,
                bool canStop, bool& stop) {
    VaultStorageProgress(sender, fileName, operation, progress, total, canStop, stop);
  };
}

}  // namespace korvane

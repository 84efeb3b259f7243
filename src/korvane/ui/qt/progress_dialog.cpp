#include <QBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>

#include "korvane/forms/progress_form.h"
#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

namespace {

const QString kDots = QStringLiteral("...");

// A cut at `at` must not split a surrogate pair.
qsizetype CharBoundary(const QString& text, qsizetype at) {
  if (at > 0 && at < text.size() && text.at(at - 1).isHighSurrogate() &&
      text.at(at).isLowSurrogate()) {
    return at - 1;
  }
  return at;
}

}  // namespace

QString ElidePathMiddle(const QString& text, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(text) <= width) return text;
  auto fits = [&](const QString& candidate) {
    return metrics.horizontalAdvance(candidate) <= width;
  };
  const qsizetype lastSeparator =
      std::max(text.lastIndexOf(QLatin1Char('\\')), text.lastIndexOf(QLatin1Char('/')));
  const qsizetype nameStart = lastSeparator < 0 ? 0 : lastSeparator;
  const QString name = text.mid(nameStart);
  if (fits(kDots + name)) {
    // The longest start of the path that still fits in front of the name.
    qsizetype low = 0;
    qsizetype high = nameStart;
    while (low < high) {
      const qsizetype middle = CharBoundary(text, (low + high + 1) / 2);
      if (middle <= low) break;
      if (fits(text.left(middle) + kDots + name)) {
        low = middle;
      } else {
        high = middle - 1;
      }
    }
    return text.left(CharBoundary(text, low)) + kDots + name;
  }
  // Even the name is too wide: keep as much of its end as fits.
  qsizetype low = 0;
  qsizetype high = name.size();
  while (low < high) {
    const qsizetype middle = (low + high + 1) / 2;
    if (fits(kDots + name.right(middle))) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  qsizetype keep = low;
  if (keep > 0 && keep < name.size() && name.at(name.size() - keep).isLowSurrogate()) --keep;
  if (keep == 0 && !fits(kDots)) return QString();
  return kDots + name.right(keep);
}

OperationLine::OperationLine(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void OperationLine::SetText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  update();
}

QString OperationLine::ShownText() const {
  return ElidePathMiddle(text_, fontMetrics(), width());
}

QSize OperationLine::sizeHint() const {
  return {fontMetrics().averageCharWidth() * 20, fontMetrics().height()};
}

void OperationLine::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  // The whole area is repainted: nothing of a longer previous line stays.
  painter.fillRect(rect(), palette().window());
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, ShownText());
}

ProgressDialog::ProgressDialog(QtUi& ui, TfrmProgress& form) : FormDialog(ui, form) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 12);
  layout->setSpacing(6);

  auto* line = new OperationLine(this);
  Bind(form.lblText, line, [this, line, &form] {
    // The line drawn into the label's area replaces its caption; container
    // paths in it read as this system's paths.
    const std::string text =
        form.OperationLine.empty() ? form.lblText.Caption : form.DisplayLine();
    if (text == shownLine_ && !line->Text().isEmpty()) return;
    shownLine_ = text;
    line->SetText(DisplayText(text));
  });
  layout->addWidget(line);
  // While the copy runs, the caption over the bar gives how much of it is
  // done and, once the rate is known, the time left. The line is cut to
  // the window's width: the window never grows with its text.
  auto* figures = new OperationLine(this);
  Bind(form.Label2, figures, [figures, &form] {
    const std::string text = form.FiguresText();
    figures->SetText(DisplayText(text.empty() ? form.Label2.Caption : text));
  });
  layout->addWidget(figures);
  layout->addWidget(ProgressBar("barProgress"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button("btnCancel"));
  buttons->addStretch();
  layout->addLayout(buttons);
  AddUnplacedControls(layout);

  SetDesignedSize(form.ClientWidth > 0 ? form.ClientWidth : 312,
                  form.ClientHeight > 0 ? form.ClientHeight : 130, true);
}

}  // namespace korvane

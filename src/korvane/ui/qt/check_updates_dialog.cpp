#include <QBoxLayout>
#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QUrl>

#include "korvane/ui/qt/form_dialogs.h"

namespace korvane {

namespace {

// The answer page is shown as it is: nothing it names is fetched (images,
// style sheets, local files such as /dev/zero), and its links go back to
// the window. The answer is an empty resource, not "none": given none, the
// document would read a local file by itself.
class PageView : public QTextBrowser {
 public:
  using QTextBrowser::QTextBrowser;

 protected:
  QVariant loadResource(int /*type*/, const QUrl& /*name*/) override {
    return QVariant(QByteArray());
  }
};

QString DecodePage(const std::string& html) {
  const QByteArray bytes(html.data(), static_cast<qsizetype>(html.size()));
  QStringDecoder decoder = QStringDecoder::decoderForHtml(bytes);
  if (!decoder.isValid()) return QString::fromUtf8(bytes);
  return decoder.decode(bytes);
}

}  // namespace

CheckUpdatesDialog::CheckUpdatesDialog(QtUi& ui, TForm& form) : FormDialog(ui, form) {
  // Always on top, with only a close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  auto* layout = new QHBoxLayout(this);

  // The page, with the warning and the "connecting" panels over it.
  auto* area = new QGridLayout;
  auto* page = new PageView(this);
  page->setOpenLinks(false);
  page->setOpenExternalLinks(false);
  page->setContextMenuPolicy(Qt::NoContextMenu);
  page->setMinimumSize(420, 300);
  if (TWebBrowser* browser = Find<TWebBrowser>("wbrCheckUpdate")) {
    connect(page, &QTextBrowser::anchorClicked, this, [this, browser](const QUrl& link) {
      // A link of the page is followed in the page, as a browser would, but
      // only to web addresses.
      const QUrl base(QString::fromStdString(browser->LocationUrl()));
      const QUrl target = base.resolved(link);
      const QString scheme = target.scheme().toLower();
      if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return;
      const std::string address = ModelText(target.toString(QUrl::FullyEncoded));
      Act([browser, address] { browser->Navigate(address); });
    });
    Bind(*browser, page, [this, page, browser] {
      if (browser->LocationUrl() == shownUrl_ && browser->DocumentHtml() == shownHtml_) return;
      shownUrl_ = browser->LocationUrl();
      shownHtml_ = browser->DocumentHtml();
      page->setHtml(DecodePage(shownHtml_));
    });
  } else {
    page->hide();
  }
  area->addWidget(page, 0, 0);

  QFrame* warning = Panel("pnlWarning");
  warning->setAutoFillBackground(true);
  QPalette white = warning->palette();
  white.setColor(QPalette::Window, Qt::white);
  warning->setPalette(white);
  auto* warningLayout = static_cast<QBoxLayout*>(warning->layout());
  warningLayout->setContentsMargins(16, 16, 16, 16);
  QLabel* start = Label("lbStartCheck");
  QFont bold = start->font();
  bold.setBold(true);
  start->setFont(bold);
  for (QLabel* label : {start, Label("lbFirewall"), Label("lbConfigure"), Label("lbContinue")}) {
    label->setWordWrap(true);
    warningLayout->addWidget(label);
  }
  warningLayout->addStretch();
  warningLayout->addWidget(CheckBox("cbxWarnCheckUpd"));
  auto* warningButtons = new QHBoxLayout;
  warningButtons->addStretch();
  warningButtons->addWidget(Button("btnContinue"));
  warningButtons->addWidget(Button("btnConfigure"));
  warningLayout->addLayout(warningButtons);
  area->addWidget(warning, 0, 0);

  QFrame* message = Panel("pnlMessage");
  message->setFrameShape(QFrame::StyledPanel);
  message->setAutoFillBackground(true);
  // The busy picture: a bar without a range moves by itself while shown.
  auto* busy = new QProgressBar(message);
  busy->setRange(0, 0);
  busy->setTextVisible(false);
  busy->setFixedWidth(200);
  message->layout()->addWidget(busy);
  area->addWidget(message, 0, 0, Qt::AlignCenter);
  layout->addLayout(area, 1);

  auto* right = new QVBoxLayout;
  right->addWidget(Button("btnClose"));
  right->addWidget(Button("btnGetUpdate"));
  right->addWidget(Button("btnConfigureRight"));
  right->addStretch();
  AddUnplacedControls(right);
  layout->addLayout(right);
  resize(620, 400);
}

}  // namespace korvane

// The logo: the installed scalable icon when this Qt can draw it, else a
// padlock painted here, so a bare binary still has a face.
#include <QCoreApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStringList>

#include "korvane/ui/qt/form_dialog.h"

namespace korvane {

namespace {

QPixmap PaintedPadlock(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;

  // The shackle: a thick arc over the body.
  QPen shackle(QColor(0x60, 0x6b, 0x78));
  shackle.setWidthF(s * 0.11);
  shackle.setCapStyle(Qt::FlatCap);
  painter.setPen(shackle);
  painter.setBrush(Qt::NoBrush);
  QPainterPath arc;
  arc.moveTo(s * 0.30, s * 0.50);
  arc.lineTo(s * 0.30, s * 0.33);
  arc.arcTo(QRectF(s * 0.30, s * 0.10, s * 0.40, s * 0.42), 180, -180);
  arc.lineTo(s * 0.70, s * 0.50);
  painter.drawPath(arc);

  // The body: a rounded block with a warm gradient.
  const QRectF body(s * 0.16, s * 0.44, s * 0.68, s * 0.50);
  QLinearGradient fill(body.topLeft(), body.bottomLeft());
  fill.setColorAt(0.0, QColor(0xf6, 0xc3, 0x4a));
  fill.setColorAt(1.0, QColor(0xd0, 0x8a, 0x10));
  painter.setPen(QPen(QColor(0x8a, 0x5a, 0x08), s * 0.03));
  painter.setBrush(fill);
  painter.drawRoundedRect(body, s * 0.08, s * 0.08);

  // The keyhole.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x3a, 0x2a, 0x10));
  const QPointF centre(s * 0.50, s * 0.63);
  painter.drawEllipse(centre, s * 0.065, s * 0.065);
  QPainterPath slot;
  slot.moveTo(centre.x() - s * 0.035, centre.y());
  slot.lineTo(centre.x() + s * 0.035, centre.y());
  slot.lineTo(centre.x() + s * 0.05, s * 0.84);
  slot.lineTo(centre.x() - s * 0.05, s * 0.84);
  slot.closeSubpath();
  painter.drawPath(slot);
  return pixmap;
}

QStringList IconCandidates() {
  QStringList candidates;
  const QString programDir = QCoreApplication::applicationDirPath();
  if (!programDir.isEmpty()) {
    candidates << programDir + QStringLiteral("/../share/icons/hicolor/scalable/apps/korvane.svg");
  }
#ifdef KORVANE_SOURCE_DIR
  candidates << QStringLiteral(KORVANE_SOURCE_DIR "/packaging/korvane.svg");
#endif
  return candidates;
}

}  // namespace

QPixmap LogoPixmap(int size) {
  for (const QString& path : IconCandidates()) {
    if (!QFileInfo::exists(path)) continue;
    // Without the SVG image plugin the icon draws nothing: fall back.
    const QPixmap icon = QIcon(path).pixmap(size, size);
    if (!icon.isNull()) return icon;
  }
  return PaintedPadlock(size);
}

}  // namespace korvane

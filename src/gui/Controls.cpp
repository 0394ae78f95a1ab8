#include "gui/Controls.h"

#include <QEnterEvent>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QToolTip>
#include <algorithm>

namespace kestrove {

namespace {

// One picture on a square of side `s`, in the window's title colours.
void DrawPicture(QPainter& p, TSidePicture picture, qreal s) {
  const QColor ink(38, 70, 112);
  const QColor light(122, 152, 175);
  QPen pen(ink, std::max<qreal>(1.0, s / 14));
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  switch (picture) {
    case TSidePicture::Cleaner: {
      // A bin with its lid.
      p.setBrush(light);
      p.drawRect(QRectF(s * 0.25, s * 0.3, s * 0.5, s * 0.6));
      p.drawLine(QPointF(s * 0.15, s * 0.22), QPointF(s * 0.85, s * 0.22));
      p.drawLine(QPointF(s * 0.4, s * 0.12), QPointF(s * 0.6, s * 0.12));
      for (qreal x : {0.4, 0.5, 0.6}) p.drawLine(QPointF(s * x, s * 0.4), QPointF(s * x, s * 0.8));
      break;
    }
    case TSidePicture::Registry: {
      // A magnifying glass.
      p.setBrush(light);
      p.drawEllipse(QRectF(s * 0.12, s * 0.12, s * 0.5, s * 0.5));
      QPen handle = pen;
      handle.setWidthF(pen.widthF() * 2.2);
      p.setPen(handle);
      p.drawLine(QPointF(s * 0.56, s * 0.56), QPointF(s * 0.88, s * 0.88));
      break;
    }
    case TSidePicture::Defrag: {
      // Blocks of a disk, most of them packed at the front.
      const qreal cell = s * 0.8 / 3;
      for (int i = 0; i < 9; ++i) {
        const QRectF box(s * 0.1 + (i % 3) * cell, s * 0.1 + (i / 3) * cell, cell * 0.85, cell * 0.85);
        p.setBrush(i < 6 ? ink : light);
        p.setPen(Qt::NoPen);
        p.drawRect(box);
      }
      break;
    }
    case TSidePicture::Tools: {
      // A wrench.
      QPen bar = pen;
      bar.setWidthF(s * 0.14);
      p.setPen(bar);
      p.drawLine(QPointF(s * 0.3, s * 0.7), QPointF(s * 0.62, s * 0.38));
      p.setPen(pen);
      p.setBrush(light);
      p.drawEllipse(QRectF(s * 0.52, s * 0.1, s * 0.36, s * 0.36));
      p.drawEllipse(QRectF(s * 0.12, s * 0.58, s * 0.28, s * 0.28));
      break;
    }
    case TSidePicture::Options: {
      // A gear wheel.
      p.setBrush(light);
      const QPointF c(s / 2, s / 2);
      for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(c);
        p.rotate(i * 45.0);
        p.drawRect(QRectF(-s * 0.07, -s * 0.44, s * 0.14, s * 0.16));
        p.restore();
      }
      p.drawEllipse(c, s * 0.3, s * 0.3);
      p.setBrush(Qt::white);
      p.drawEllipse(c, s * 0.11, s * 0.11);
      break;
    }
    case TSidePicture::Help: {
      // A question mark in a ring.
      p.setBrush(light);
      p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
      QFont f;
      f.setBold(true);
      f.setPixelSize(static_cast<int>(s * 0.62));
      p.setFont(f);
      p.setPen(ink);
      p.drawText(QRectF(0, 0, s, s), Qt::AlignCenter, "?");
      break;
    }
  }
}

}  // namespace

QIcon DrawnSidePicture(TSidePicture picture) {
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    DrawPicture(p, picture, size);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QIcon SideButtonIcon(const char* themeName, TSidePicture fallback) {
  return QIcon::fromTheme(QString::fromLatin1(themeName), DrawnSidePicture(fallback));
}

TFlatButton::TFlatButton(const QString& caption, int tag, QWidget* parent)
    : QPushButton(caption, parent), tag_(tag) {
  setFlat(true);
  setAttribute(Qt::WA_Hover);
  const QColor face = palette().color(QPalette::Button);
  SetColors(face, QColor(235, 234, 225), face);
}

void TFlatButton::SetColors(const QColor& color, const QColor& focused, const QColor& border) {
  color_ = color;
  focusedColor_ = focused;
  borderColor_ = border;
  update();
}

void TFlatButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool hot = underMouse() || hasFocus() || isDown();
  const QRect r = rect();
  p.fillRect(r, hot ? focusedColor_ : color_);
  p.setPen(borderColor_);
  p.drawRect(r.adjusted(0, 0, -1, -1));
  QFont f = font();
  f.setBold(true);
  p.setFont(f);
  p.setPen(isEnabled() ? palette().color(QPalette::ButtonText) : palette().color(QPalette::Disabled, QPalette::ButtonText));
  const int mark = 20;
  const QRect markRect(r.center().x() - mark / 2, r.top() + 5, mark, mark);
  if (!icon().isNull()) {
    icon().paint(&p, markRect, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
  } else {
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(122, 152, 175));
    p.setPen(Qt::NoPen);
    p.drawEllipse(markRect.adjusted(3, 3, -3, -3));
  }
  p.setPen(palette().color(QPalette::ButtonText));
  p.drawText(r.adjusted(2, mark + 5, -2, -2), Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextShowMnemonic, text());
}

TLinkLabel::TLinkLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  setCursor(Qt::PointingHandCursor);
  SetHot(false);
}

void TLinkLabel::SetHot(bool hot) {
  hot_ = hot;
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, hot ? QColor(Qt::red) : QColor(Qt::white));
  setPalette(pal);
}

void TLinkLabel::enterEvent(QEnterEvent* event) {
  SetHot(true);
  QLabel::enterEvent(event);
}

void TLinkLabel::leaveEvent(QEvent* event) {
  SetHot(false);
  QLabel::leaveEvent(event);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(event);
}

bool TElidedLabel::Elided() const { return fontMetrics().horizontalAdvance(text()) > contentsRect().width(); }

bool TElidedLabel::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
    if (Elided())
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
    else
      QToolTip::hideText();
    return true;
  }
  return QLabel::event(event);
}

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, r.width());
  style()->drawItemText(&p, r, QStyle::visualAlignment(layoutDirection(), alignment()), palette(), isEnabled(), shown,
                        foregroundRole());
}

void TTitleImage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QLinearGradient g(0, 0, width(), 0);
  g.setColorAt(0.0, QColor(38, 70, 112));
  g.setColorAt(1.0, QColor(96, 135, 170));
  p.fillRect(rect(), g);
  p.setPen(QColor(122, 152, 175));
  p.drawLine(0, height() - 1, width(), height() - 1);
}

}  // namespace kestrove

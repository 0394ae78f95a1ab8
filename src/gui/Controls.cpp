#include "gui/Controls.h"

#include <QEnterEvent>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace kestrove {

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
  // A small mark above the caption stands in for the page's picture.
  const int mark = 14;
  const QRect markRect(r.center().x() - mark / 2, r.top() + 8, mark, mark);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(122, 152, 175));
  p.setPen(Qt::NoPen);
  p.drawEllipse(markRect);
  p.setPen(palette().color(QPalette::ButtonText));
  p.drawText(r.adjusted(2, mark + 8, -2, -2), Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextShowMnemonic, text());
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

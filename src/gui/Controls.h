// The window's own looks: flat side buttons that carry a tag and three colours, the link
// label at the top right, and the title band.
#pragma once

#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace kestrove {

// The pictures of the side buttons, drawn by the program for desktops whose icon theme
// lacks one.
enum class TSidePicture { Cleaner, Registry, Defrag, Tools, Options, Help };

// The desktop theme's icon `themeName`, else the drawn picture.
QIcon SideButtonIcon(const char* themeName, TSidePicture fallback);
QIcon DrawnSidePicture(TSidePicture picture);

// A flat button. Color fills it, FocusedColor while the mouse is over it or it has the
// keyboard focus, BorderColor draws its one-pixel frame. Tag says what it selects; the high
// hexadecimal digit of the tag groups buttons (0x1? are the page buttons). Its icon stands
// above the caption.
class TFlatButton : public QPushButton {
  Q_OBJECT

 public:
  TFlatButton(const QString& caption, int tag, QWidget* parent);

  int Tag() const { return tag_; }
  QColor Color() const { return color_; }
  QColor FocusedColor() const { return focusedColor_; }
  QColor BorderColor() const { return borderColor_; }
  void SetColors(const QColor& color, const QColor& focused, const QColor& border);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int tag_;
  QColor color_;
  QColor focusedColor_;
  QColor borderColor_;
};

// A label that works as a link: white and underlined, red while the mouse is over it.
class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  TLinkLabel(const QString& caption, QWidget* parent);
  bool Hot() const { return hot_; }

 signals:
  void clicked();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void SetHot(bool hot);
  bool hot_ = false;
};

// A one-line label of a fixed width: a text too long for it ends in "..." where it is cut,
// and the label's tip shows it whole. text() is always the whole text.
class TElidedLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;
  bool Elided() const;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
};

// The band across the top of the window behind the title labels.
class TTitleImage : public QWidget {
  Q_OBJECT

 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace kestrove

// What the main window's pages share: each page is a group box that carries its side
// button's tag (the window shows the page whose tag matches the button pressed), and the
// measures their layouts are made of.
#pragma once

#include <QGroupBox>
#include <QPushButton>
#include <algorithm>

namespace kestrove {

inline constexpr int kPageButtonWidth = 75;
inline constexpr int kPageButtonHeight = 25;
inline constexpr int kPageTreeWidth = 200;
inline constexpr int kPageProgressHeight = 20;

class TPageBox : public QGroupBox {
 public:
  TPageBox(const QString& title, int tag, QWidget* parent) : QGroupBox(title, parent) { setProperty("tag", tag); }

  // The top of a page's contents, below the group box's title.
  int ContentTop() const { return fontMetrics().height() + 8; }
  // A button is as wide as its caption needs, and never narrower than the standard width.
  static int ButtonWidth(QPushButton* b) { return std::max(kPageButtonWidth, b->sizeHint().width()); }
};

}  // namespace kestrove

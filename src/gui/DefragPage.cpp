#include "gui/DefragPage.h"

#include <QHeaderView>
#include <algorithm>

namespace kestrove {

TDefragPage::TDefragPage(int tag, QWidget* parent) : TPageBox("Registry Defrag", tag, parent) {
  lvMain = new QTableWidget(0, 4, this);
  lvMain->setHorizontalHeaderLabels({"Hive Name", "Current Size", "New Size", "Reduction"});
  lvMain->verticalHeader()->hide();
  lvMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvMain->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvMain->setColumnWidth(0, 205);
  lvMain->setColumnWidth(1, 80);
  lvMain->setColumnWidth(2, 85);
  lvMain->setColumnWidth(3, 75);
  lvMain->setShowGrid(false);
  bAnalyzeRegistry = new QPushButton("Analyze Registry", this);
  bAnalyzeRegistry->setToolTip("Analyze your registry");
  bDefragRegistry = new QPushButton("Defrag Registry", this);
  bDefragRegistry->setToolTip("Defrag your registry");
  bDefragRegistry->setEnabled(false);
  lCurrentRegistrySizeTitle = new QLabel("Current Registry Size:", this);
  lSizeReductionTitle = new QLabel("Size Reduction:", this);
  lNewRegistrySizeTitle = new QLabel("New Registry Size:", this);
  lCompactPercentTitle = new QLabel("Compact Percent:", this);
  lCurrentRegistrySize = new QLabel(this);
  lSizeReduction = new QLabel(this);
  lNewRegistrySize = new QLabel(this);
  lCompactPercent = new QLabel(this);
  for (QLabel* l : {lCurrentRegistrySize, lSizeReduction, lNewRegistrySize, lCompactPercent})
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void TDefragPage::Layout(int windowWidth) {
  const int w = width();
  const int h = height();
  const int top = ContentTop();
  const int defragWidth = ButtonWidth(bDefragRegistry);
  const int analyzeWidth = ButtonWidth(bAnalyzeRegistry);
  bDefragRegistry->setGeometry(w - 8 - defragWidth, top, defragWidth, kPageButtonHeight);
  bAnalyzeRegistry->setGeometry(bDefragRegistry->x() - 20 - analyzeWidth, top, analyzeWidth, kPageButtonHeight);
  const int listTop = top + kPageButtonHeight + 8;
  lvMain->setGeometry(8, listTop, w - 16, h - 50 - listTop);

  // Two rows of labels below the list, 8 pixels apart.
  const int labelHeight = lCurrentRegistrySizeTitle->sizeHint().height();
  const int row1 = lvMain->y() + lvMain->height() + 8;
  const int row2 = row1 + labelHeight + 8;
  auto widthOf = [](QLabel* a, QLabel* b) { return std::max(a->sizeHint().width(), b->sizeHint().width()); };
  const int title1Width = widthOf(lCurrentRegistrySizeTitle, lNewRegistrySizeTitle);
  const int title2Width = widthOf(lSizeReductionTitle, lCompactPercentTitle);
  const int valueWidth = std::max(90, lCurrentRegistrySize->fontMetrics().horizontalAdvance("9,999,999 KB") + 4);
  const int value1Left = 8 + title1Width + 5;
  int title2Left = 397;
  int value2Left = 492;
  if (windowWidth <= 694) {
    title2Left = value1Left + valueWidth + 5;
    value2Left = title2Left + title2Width + 5;
  }
  lCurrentRegistrySizeTitle->setGeometry(8, row1, title1Width, labelHeight);
  lCurrentRegistrySize->setGeometry(value1Left, row1, valueWidth, labelHeight);
  lNewRegistrySizeTitle->setGeometry(8, row2, title1Width, labelHeight);
  lNewRegistrySize->setGeometry(value1Left, row2, valueWidth, labelHeight);
  lSizeReductionTitle->setGeometry(title2Left, row1, title2Width, labelHeight);
  lSizeReduction->setGeometry(value2Left, row1, valueWidth, labelHeight);
  lCompactPercentTitle->setGeometry(title2Left, row2, title2Width, labelHeight);
  lCompactPercent->setGeometry(value2Left, row2, valueWidth, labelHeight);
}

}  // namespace kestrove

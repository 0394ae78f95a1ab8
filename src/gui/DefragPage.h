// The Defrag page: the hive table, Analyze and Defrag, the four size labels. Its jobs come
// with the registry defrag; the page holds their place.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include "gui/PageBox.h"

namespace kestrove {

class TDefragPage : public TPageBox {
  Q_OBJECT

 public:
  TDefragPage(int tag, QWidget* parent);

  // ---- Components
  QTableWidget* lvMain;
  QPushButton* bAnalyzeRegistry;
  QPushButton* bDefragRegistry;
  QLabel* lCurrentRegistrySizeTitle;
  QLabel* lCurrentRegistrySize;
  QLabel* lSizeReductionTitle;
  QLabel* lSizeReduction;
  QLabel* lNewRegistrySizeTitle;
  QLabel* lNewRegistrySize;
  QLabel* lCompactPercentTitle;
  QLabel* lCompactPercent;

  // The layout rules; `windowWidth` is the main window's.
  void Layout(int windowWidth);
};

}  // namespace kestrove

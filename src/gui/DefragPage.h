// The Defrag page: the hive table, Analyze and Defrag, the four size labels.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <functional>
#include <optional>
#include <vector>

#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "app/Prompt.h"
#include "defrag/HiveAnalysis.h"
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

  // What the page works with; `silent` tells whether an unattended job runs (no advice, no
  // dialogs of its own), `windowsVersion` the target's code.
  void Attach(TargetSystem* target, IOwnerThread* owner, TOptionsSetting* options, IPrompt* prompt,
              std::function<bool()> silent, std::function<int()> windowsVersion);

  // The hive table (hive names and files, index-aligned) and, after an analysis that counted,
  // the file state each compacted copy was made from.
  THiveTable Hives;
  std::vector<std::optional<FileStamp>> MadeFrom;
  // Reads the hive table anew and rebuilds the list with empty sizes.
  void LoadHiveTable();
  void bAnalyzeRegistryClick();
  void bDefragRegistryClick();
  // Removes every hive's compacted copy (the window closes).
  void DeleteHiveCopies();

  // Tests: runs the progress dialog instead of exec() (default: exec); the restore-point
  // dialog (default: the real one, modal).
  std::function<void(class TfrmGetNewHiveProgess&)> RunProgress;
  std::function<bool()> RunRestorePoint;

 private:
  void Say(const std::string& text, TMsgIcon icon = TMsgIcon::None);

  TargetSystem* target_ = nullptr;
  IOwnerThread* owner_ = nullptr;
  TOptionsSetting* options_ = nullptr;
  IPrompt* prompt_ = nullptr;
  std::function<bool()> silent_;
  std::function<int()> windowsVersion_;
};

}  // namespace kestrove

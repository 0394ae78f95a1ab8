#include "gui/DefragPage.h"

#include <QHeaderView>
#include <algorithm>
#include <iostream>

#include "defrag/DefragApply.h"
#include "gui/DefragProgress.h"
#include "gui/SystemPoint.h"
#include "platform/TargetSystem.h"

namespace kestrove {

TDefragPage::TDefragPage(int tag, QWidget* parent) : TPageBox("Registry Defrag", tag, parent) {
  lvMain = new QTableWidget(0, 4, this);
  lvMain->setHorizontalHeaderLabels({"Hive Name", "Current Size", "New Size", "Reduction"});
  lvMain->verticalHeader()->hide();
  // Rows as tall as a line of text, as in a report-style list view.
  lvMain->verticalHeader()->setDefaultSectionSize(lvMain->fontMetrics().height() + 6);
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

void TDefragPage::Attach(TargetSystem* target, IOwnerThread* owner, TOptionsSetting* options, IPrompt* prompt,
                         std::function<bool()> silent, std::function<int()> windowsVersion) {
  target_ = target;
  owner_ = owner;
  options_ = options;
  prompt_ = prompt;
  silent_ = std::move(silent);
  windowsVersion_ = std::move(windowsVersion);
  connect(bAnalyzeRegistry, &QPushButton::clicked, this, [this] { bAnalyzeRegistryClick(); });
  connect(bDefragRegistry, &QPushButton::clicked, this, [this] { bDefragRegistryClick(); });
}

void TDefragPage::Say(const std::string& text, TMsgIcon icon) {
  if (prompt_) prompt_->Ask({kProductName, text, TMsgButtons::Ok, icon});
}

void TDefragPage::LoadHiveTable() {
  Hives = {};
  MadeFrom.clear();
  try {
    if (target_) Hives = kestrove::LoadHiveTable(*target_);
  } catch (const std::exception&) {
    // A registry that cannot be read has no hives to measure; the list stays empty.
  }
  lvMain->setRowCount(static_cast<int>(Hives.size()));
  for (std::size_t i = 0; i < Hives.size(); ++i) {
    auto* name = new QTableWidgetItem(QString::fromStdString(Hives.Names[i]));
    name->setToolTip(QString::fromStdString(Hives.Files[i]));
    lvMain->setItem(static_cast<int>(i), 0, name);
    for (int c = 1; c <= 3; ++c) {
      auto* item = new QTableWidgetItem(QString());
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      lvMain->setItem(static_cast<int>(i), c, item);
    }
  }
}

void TDefragPage::bAnalyzeRegistryClick() {
  // 1.
  if (Hives.empty() || !target_ || !owner_) return;
  // Copies are written beside the hives: not while the system may be writing them.
  if (auto reason = target_->Registry()->WriteBlockReason()) {
    Say(*reason, TMsgIcon::Warning);
    return;
  }
  // 2.
  for (const auto& hive : Hives.HostFiles)
    if (HiveCopyLocked(HiveCopyFile(hive))) {
      Say(kCannotAnalyzeNow);
      return;
    }
  // 3.
  const bool silent = silent_ && silent_();
  TfrmGetNewHiveProgess dialog(*target_->Registry(), *owner_, Hives, silent, window());
  if (RunProgress)
    RunProgress(dialog);
  else
    dialog.exec();
  const bool finished = dialog.Memo1->toPlainText() == kAnalysisFinished;
  // 4.
  if (finished) {
    for (std::size_t i = 0; i < Hives.size(); ++i) {
      if (!HoldsMachineSoftware(Hives.Names[i])) continue;
      if (HiveFileSize(HiveCopyFile(Hives.HostFiles[i])) < HiveFileSize(Hives.HostFiles[i]) / 4) {
        Say(kFailedToAnalyze);
        bDefragRegistry->setEnabled(false);
        return;
      }
    }
  }
  // 5.
  bDefragRegistry->setEnabled(finished);
  if (!finished) return;
  MadeFrom = dialog.MadeFrom;
  // 6-7.
  std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
  for (const auto& hive : Hives.HostFiles) sizes.emplace_back(HiveFileSize(hive), HiveFileSize(HiveCopyFile(hive)));
  const TDefragFigures f = ComputeDefragFigures(sizes);
  for (std::size_t i = 0; i < f.Rows.size(); ++i) {
    const int row = static_cast<int>(i);
    lvMain->item(row, 1)->setText(QString::fromStdString(f.Rows[i].CurrentSize));
    lvMain->item(row, 2)->setText(QString::fromStdString(f.Rows[i].NewSize));
    lvMain->item(row, 3)->setText(QString::fromStdString(f.Rows[i].Reduction));
  }
  lCurrentRegistrySize->setText(QString::fromStdString(f.CurrentRegistrySize));
  lNewRegistrySize->setText(QString::fromStdString(f.NewRegistrySize));
  lSizeReduction->setText(QString::fromStdString(f.SizeReduction));
  // 8.
  lCompactPercent->setText(QString::fromStdString(f.CompactPercent));
  if (f.LowFragmentRate && !silent) Say(FragmentRateMessage(f.CompactPercent));
}

void TDefragPage::bDefragRegistryClick() {
  if (!target_) return;
  const bool silent = silent_ && silent_();
  // While the system may be writing its hives (Wine runs), nothing is asked or replaced.
  if (auto reason = target_->Registry()->WriteBlockReason()) {
    Say(*reason, TMsgIcon::Warning);
    return;
  }
  // 1.
  const int version = windowsVersion_ ? windowsVersion_() : 0;
  if (options_ && options_->RestorePoint && !silent && version >= 9 && version <= 12) {
    bool goOn = false;
    if (RunRestorePoint) {
      goOn = RunRestorePoint();
    } else if (owner_) {
      TfrmSystemPoint point(*target_, *owner_, *options_, prompt_, window());
      goOn = point.Run();
    }
    if (!goOn) return;
  }
  // 2. The right to replace hives is this process's own here.
  // 3. The swap is made now, for all hives at once: nothing of the target runs while we may
  // write it.
  TDefragSwap swap(*target_, Hives, MadeFrom);
  for (std::size_t i = 0; i < Hives.size(); ++i)
    swap.ReplaceHive(Hives.Names[i], HiveCopyFile(Hives.HostFiles[i]), BackupFile(Hives.HostFiles[i]));
  const TDefragApplyResult result = swap.Commit();
  for (const auto& failure : result.Failures) {
    std::cerr << kProductName << ": " << failure.Message << ": " << failure.Reason << "\n";
    Say(failure.Message);
  }
  // The copies that went in place are the hives now; the next Defrag needs a new analysis.
  if (result.Replaced > 0) MadeFrom.assign(Hives.size(), std::nullopt);
  // 4-5. Nothing is left to happen at a restart: the user is told it is done.
  if (silent) return;
  if (result.Replaced > 0) Say(kDefragDone, TMsgIcon::Information);
}

void TDefragPage::DeleteHiveCopies() { RemoveHiveCopies(Hives); }

}  // namespace kestrove

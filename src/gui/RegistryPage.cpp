#include "gui/RegistryPage.h"

#include <QFileDialog>
#include <QMouseEvent>
#include <algorithm>
#include <iostream>

#include "gui/SystemPoint.h"

namespace kestrove {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

int TreeLevel(const QTreeWidgetItem* item) {
  int level = 0;
  for (const QTreeWidgetItem* p = item->parent(); p; p = p->parent()) ++level;
  return level;
}

// The node becomes checked when any of its children is, else unchecked.
void CheckFromChildren(QTreeWidgetItem* node) {
  bool any = false;
  for (int i = 0; i < node->childCount(); ++i) any = any || TStateImageTree::StateImageChecked(node->child(i));
  TStateImageTree::SetStateImage(node, any);
}

void SetStateBelow(QTreeWidgetItem* node, bool checked) {
  TStateImageTree::SetStateImage(node, checked);
  for (int i = 0; i < node->childCount(); ++i) SetStateBelow(node->child(i), checked);
}

// Depth-first: the node, its children, then its next sibling.
void CollectTicked(const ICheckTree& tree, ICheckTree::Node node, std::vector<std::string>& codes) {
  if (tree.Checked(node)) codes.push_back(std::to_string(tree.ImageIndex(node)));
  for (std::size_t i = 0; i < tree.ChildCount(node); ++i) CollectTicked(tree, tree.Child(node, i), codes);
}

constexpr int kLocationKindRole = Qt::UserRole + 1;

}  // namespace

TRegistryPage::TRegistryPage(TargetSystem& target, IOwnerThread& owner, TOptionsSetting& options, IPrompt* prompt,
                             int tag, QWidget* parent)
    : TPageBox("Progress", tag, parent), target_(target), prompt_(prompt) {
  tvRegistry = new TStateImageTree(this);
  std::vector<QTreeWidgetItem*> parents;
  for (const TScanSection& section : ScanSections()) {
    QTreeWidgetItem* item = nullptr;
    const QString text = QString::fromUtf8(section.Text);
    if (section.Level == 0 || parents.empty()) {
      item = new QTreeWidgetItem(tvRegistry, QStringList(text));
    } else {
      const std::size_t parentLevel = std::min<std::size_t>(static_cast<std::size_t>(section.Level), parents.size()) - 1;
      item = new QTreeWidgetItem(parents[parentLevel], QStringList(text));
    }
    TStateImageTree::SetStateImage(item, false);
    TTreeWidgetCheckTree::SetImageIndex(item, section.Code);
    parents.resize(static_cast<std::size_t>(section.Level));
    parents.push_back(item);
  }
  sections_ = std::make_unique<TTreeWidgetCheckTree>(*tvRegistry);
  // The tree is fixed and always fully expanded: the user cannot fold a node.
  tvRegistry->setItemsExpandable(false);
  tvRegistry->setExpandsOnDoubleClick(false);
  connect(tvRegistry, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) { tvRegistry->expandItem(item); });
  tvRegistry->OnMouseDown = [this](QMouseEvent* e) { tvRegistryMouseDown(e->button(), e->position().toPoint()); };

  lvRegistryData = new QTreeWidget(this);
  lvRegistryData->setHeaderLabels({"Problem", "Data", "Registry key"});
  lvRegistryData->setRootIsDecorated(false);
  lvRegistryData->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ProgressBar2 = new QProgressBar(this);
  ProgressBar2->setRange(0, 1000);
  ProgressBar2->setTextVisible(false);
  ProgressBar2->setAlignment(Qt::AlignCenter);
  bRestoreRegistry = new QPushButton("Restore", this);
  bRestoreRegistry->setToolTip("Restore any changes made using the software");
  bScan = new QPushButton("Scan", this);
  bFixErrors = new QPushButton("Fix Errors", this);
  lStatusBar = new TElidedLabel(this);
  lScanTitle = new QLabel("Select the sections to scan", this);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setFocusPolicy(Qt::NoFocus);
  Memo1->hide();
  connect(bScan, &QPushButton::clicked, this, [this] { bScanClick(); });
  connect(bFixErrors, &QPushButton::clicked, this, [this] { bFixErrorsClick(); });

  PopupMenu1 = new QMenu(this);
  aSelectItem = PopupMenu1->addAction("Select &Item");
  aDeselectItem = PopupMenu1->addAction("&Deselect Item");
  PopupMenu1->addSeparator();
  aSelectAllType = PopupMenu1->addAction("Select All of &Type");
  aUnselectAllType = PopupMenu1->addAction("Deselect A&ll of Type");
  PopupMenu1->addSeparator();
  aSelectAll = PopupMenu1->addAction("Select &All");
  aSelectNone = PopupMenu1->addAction("De&select All");
  PopupMenu1->addSeparator();
  aSaveText = PopupMenu1->addAction("Save as Text...");
  PopupMenu1->addSeparator();
  aOpenRegedit = PopupMenu1->addAction("&RegEdit...");
  aOpenRegedit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  // The short cut works wherever the focus is on this page, not only in the open menu.
  aOpenRegedit->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(aOpenRegedit);
  connect(aSelectItem, &QAction::triggered, this, [this] { aSelectItemExecute(); });
  connect(aDeselectItem, &QAction::triggered, this, [this] { aDeselectItemExecute(); });
  connect(aSelectAllType, &QAction::triggered, this, [this] { aSelectAllTypeExecute(); });
  connect(aUnselectAllType, &QAction::triggered, this, [this] { aUnselectAllTypeExecute(); });
  connect(aSelectAll, &QAction::triggered, this, [this] { aSelectAllExecute(); });
  connect(aSelectNone, &QAction::triggered, this, [this] { aSelectNoneExecute(); });
  connect(aSaveText, &QAction::triggered, this, [this] { aSaveTextExecute(); });
  connect(aOpenRegedit, &QAction::triggered, this, [this] { aOpenRegeditExecute(); });
  lvRegistryData->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lvRegistryData, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateMenuActions();
    PopupMenu1->popup(lvRegistryData->viewport()->mapToGlobal(pos));
  });
  connect(lvRegistryData, &QTreeWidget::currentItemChanged, this, [this] { UpdateMenuActions(); });
  // Emitted after the click has toggled a check box, so the counts include it.
  connect(lvRegistryData, &QTreeWidget::clicked, this, [this] { lvRegistryDataClick(); });
  UpdateMenuActions();

  scan_ = std::make_unique<TScanController>(target, owner, *this, options, prompt);
  scan_->RestorePointDialog = new TfrmSystemPoint(target, owner, options, prompt, this);
}

// The worker reaches the page only through the controller, which stops it and waits.
TRegistryPage::~TRegistryPage() { scan_.reset(); }

void TRegistryPage::tvRegistryMouseDown(Qt::MouseButton button, const QPoint& pos) {
  if (button != Qt::LeftButton) return;
  QTreeWidgetItem* item = nullptr;
  if (tvRegistry->HitTest(pos, &item) != TTreeHit::StateImage || !item) return;
  const bool checked = !TStateImageTree::StateImageChecked(item);
  const int level = TreeLevel(item);
  QTreeWidgetItem* root = item;
  while (root->parent()) root = root->parent();
  if (level == 0) {
    SetStateBelow(item, checked);
  } else if (level == 1) {
    SetStateBelow(item, checked);
    CheckFromChildren(root);
  } else {
    TStateImageTree::SetStateImage(item, checked);
    CheckFromChildren(item->parent());
    CheckFromChildren(root);
  }
  tvRegistry->viewport()->update();
}

void TRegistryPage::Layout(int windowWidth) {
  const int w = width();
  const int h = height();
  const int top = ContentTop();
  const int listLeft = 8 + kPageTreeWidth + 8;
  const int listWidth = w - 8 - listLeft;
  const int buttonTop = h - 10 - kPageButtonHeight;
  ProgressBar2->setGeometry(listLeft, top, listWidth, kPageProgressHeight);
  const int listTop = top + kPageProgressHeight + 6;
  const int listHeight = buttonTop - 10 - listTop;
  lvRegistryData->setGeometry(listLeft, listTop, listWidth, listHeight);
  lvRegistryData->setColumnWidth(0, listWidth * 100 / 450);
  lvRegistryData->setColumnWidth(1, listWidth * 190 / 450);
  lvRegistryData->setColumnWidth(2, listWidth * 140 / 450);
  tvRegistry->setGeometry(8, listTop, kPageTreeWidth, listHeight);
  const int fixWidth = ButtonWidth(bFixErrors);
  bFixErrors->setGeometry(listLeft + listWidth - fixWidth, buttonTop, fixWidth, kPageButtonHeight);
  bRestoreRegistry->setGeometry(listLeft, buttonTop, ButtonWidth(bRestoreRegistry), kPageButtonHeight);
  int scanLeft = bFixErrors->x() - 20 - kPageButtonWidth;
  if (windowWidth < 635) {
    const int restoreRight = bRestoreRegistry->x() + bRestoreRegistry->width();
    scanLeft = (restoreRight + bFixErrors->x()) / 2 - kPageButtonWidth / 2;
  }
  bScan->setGeometry(scanLeft, buttonTop, kPageButtonWidth, kPageButtonHeight);
  lStatusBar->setGeometry(8, buttonTop, kPageTreeWidth, kPageButtonHeight);
  // The title over the tree; the examined key where the Restore button is while a scan runs.
  lScanTitle->setGeometry(8, top, kPageTreeWidth, kPageProgressHeight);
  Memo1->setGeometry(listLeft, buttonTop, std::max(0, scanLeft - 10 - listLeft), kPageButtonHeight);
}

// ---------------------------------------------------------------------------------------
// The result list's menu

int TRegistryPage::FocusedRow() const {
  QTreeWidgetItem* item = lvRegistryData->currentItem();
  return item ? lvRegistryData->indexOfTopLevelItem(item) : -1;
}

void TRegistryPage::UpdateMenuActions() {
  const TResultMenuState s = ResultMenuState(RowCount(), FocusedRow());
  aSelectItem->setEnabled(s.SelectItem);
  aDeselectItem->setEnabled(s.DeselectItem);
  aSelectAllType->setEnabled(s.SelectAllType);
  aUnselectAllType->setEnabled(s.UnselectAllType);
  aSelectAll->setEnabled(s.SelectAll);
  aSelectNone->setEnabled(s.SelectNone);
  aSaveText->setEnabled(s.SaveText);
  aOpenRegedit->setEnabled(s.OpenRegedit);
}

void TRegistryPage::ApplySelection(const std::vector<TScanResult>& rows) {
  for (int i = 0; i < lvRegistryData->topLevelItemCount() && i < static_cast<int>(rows.size()); ++i)
    lvRegistryData->topLevelItem(i)->setCheckState(0, rows[static_cast<std::size_t>(i)].Selected ? Qt::Checked
                                                                                               : Qt::Unchecked);
}

// The status text is left as it is: only the commands on many rows refresh it.
void TRegistryPage::SetFocusedSelected(bool selected) {
  const int focused = FocusedRow();
  if (focused < 0) return;
  lvRegistryData->topLevelItem(focused)->setCheckState(0, selected ? Qt::Checked : Qt::Unchecked);
}

void TRegistryPage::SetFocusedTypeSelected(bool selected) {
  const int focused = FocusedRow();
  if (focused < 0) return;
  std::vector<TScanResult> rows = RegistryRows();
  SetTypeSelected(rows, rows[static_cast<std::size_t>(focused)].ProblemType, selected);
  ApplySelection(rows);
  UpdateScanStatus();
}

void TRegistryPage::SetEverySelected(bool selected) {
  std::vector<TScanResult> rows = RegistryRows();
  SetAllSelected(rows, selected);
  ApplySelection(rows);
  UpdateScanStatus();
}

void TRegistryPage::aSaveTextExecute() {
  if (RowCount() == 0) return;
  // 1.
  QFileDialog dialog(window(), "Save as Text");
  dialog.setNameFilter("Text files (*.txt)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // The overwrite question is the program's own, asked of the final name.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveScanText(dialog.selectedFiles().first());
}

bool TRegistryPage::SaveScanText(const QString& chosenName) {
  if (!prompt_) return false;
  try {
    return SaveScanResultsToFile(chosenName.toStdString(), RegistryRows(), *prompt_);
  } catch (const std::exception& e) {
    prompt_->Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Error});
    return false;
  }
}

void TRegistryPage::aOpenRegeditExecute() {
  const int focused = FocusedRow();
  if (focused < 0) return;
  const TScanResult row = RegistryRows()[static_cast<std::size_t>(focused)];
  const auto message = OpenRegeditAt(target_, row, StartRegedit);
  if (message && prompt_) prompt_->Ask({kProductName, *message, TMsgButtons::Ok, TMsgIcon::Warning});
}

// ---------------------------------------------------------------------------------------
// Rows

void TRegistryPage::AddRegistryRow(const TScanResult& row) {
  auto* item = new QTreeWidgetItem(lvRegistryData, {Q(row.ProblemType), Q(row.Data), Q(row.Location)});
  item->setData(2, kLocationKindRole, static_cast<int>(row.LocationKind));
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(0, row.Selected ? Qt::Checked : Qt::Unchecked);
}

std::vector<TScanResult> TRegistryPage::RegistryRows() const {
  std::vector<TScanResult> rows;
  rows.reserve(static_cast<std::size_t>(lvRegistryData->topLevelItemCount()));
  for (int i = 0; i < lvRegistryData->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = lvRegistryData->topLevelItem(i);
    TScanResult r;
    r.ProblemType = item->text(0).toStdString();
    r.Data = item->text(1).toStdString();
    r.Location = item->text(2).toStdString();
    r.LocationKind = static_cast<TLocationKind>(item->data(2, kLocationKindRole).toInt());
    r.Selected = item->checkState(0) == Qt::Checked;
    rows.push_back(std::move(r));
  }
  return rows;
}

void TRegistryPage::SetRegistryRows(const std::vector<TScanResult>& rows) {
  lvRegistryData->clear();
  for (const TScanResult& r : rows) AddRegistryRow(r);
  UpdateMenuActions();
}

// ---------------------------------------------------------------------------------------
// The scan's view

std::vector<std::string> TRegistryPage::CollectSections() {
  std::vector<std::string> codes;
  for (std::size_t i = 0; i < sections_->TopCount(); ++i) CollectTicked(*sections_, sections_->Top(i), codes);
  return codes;
}

void TRegistryPage::SetScanCaption(const std::string& caption) { bScan->setText(Q(caption)); }

void TRegistryPage::SetRestoreVisible(bool visible) { bRestoreRegistry->setVisible(visible); }

void TRegistryPage::SetMemoVisible(bool visible) { Memo1->setVisible(visible); }

void TRegistryPage::SetMemoText(const std::string& text) {
  if (text.empty())
    Memo1->clear();
  else
    Memo1->setPlainText(Q(text));
}

void TRegistryPage::SetScanTitle(const std::string& text) {
  lScanTitle->setText(Q(text));
  lScanTitle->show();
}

void TRegistryPage::ShowProgress() {
  if (ProgressBar2->isHidden()) ProgressBar2->show();
}

void TRegistryPage::SetProgressPosition(int position) { ProgressBar2->setValue(std::clamp(position, 0, 1000)); }

void TRegistryPage::SetProgressCaption(const std::string& caption, bool shown) {
  if (!shown) {
    ProgressBar2->setTextVisible(false);
    return;
  }
  ProgressBar2->setFormat(Q(caption));
  ProgressBar2->setTextVisible(true);
  ProgressBar2->repaint();
}

std::size_t TRegistryPage::RowCount() { return static_cast<std::size_t>(lvRegistryData->topLevelItemCount()); }

void TRegistryPage::ClearRows() {
  lvRegistryData->clear();
  UpdateMenuActions();
}

void TRegistryPage::AddRow(const TScanResult& row) {
  AddRegistryRow(row);
  // Rows come one by one; the list scrolls once for each burst of them.
  if (scrollPending_) return;
  scrollPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        scrollPending_ = false;
        lvRegistryData->scrollToBottom();
      },
      Qt::QueuedConnection);
}

void TRegistryPage::RemoveLastRow() {
  if (lvRegistryData->topLevelItemCount() > 0)
    delete lvRegistryData->takeTopLevelItem(lvRegistryData->topLevelItemCount() - 1);
}

void TRegistryPage::SelectAllRows() {
  for (int i = 0; i < lvRegistryData->topLevelItemCount(); ++i)
    lvRegistryData->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

std::size_t TRegistryPage::SelectedRowCount() {
  std::size_t selected = 0;
  for (int i = 0; i < lvRegistryData->topLevelItemCount(); ++i)
    selected += lvRegistryData->topLevelItem(i)->checkState(0) == Qt::Checked ? 1 : 0;
  return selected;
}

void TRegistryPage::SetDefaultColumnWidths() {
  const TScanColumnWidths widths = DefaultScanColumnWidths(lvRegistryData->width());
  lvRegistryData->setColumnWidth(0, widths.Problem);
  lvRegistryData->setColumnWidth(1, widths.Data);
  lvRegistryData->setColumnWidth(2, widths.RegistryKey);
}

void TRegistryPage::FitColumnsToContents() {
  for (int c = 0; c < 3; ++c) lvRegistryData->resizeColumnToContents(c);
}

void TRegistryPage::SetStatusText(const std::string& text) { lStatusBar->setText(Q(text)); }

void TRegistryPage::SetTimerEnabled(bool enabled) {
  if (OnTimerEnabled) OnTimerEnabled(enabled);
}

void TRegistryPage::ScanEnded(bool completed, const std::string& error) {
  // A section that failed ends the worker silently; the page stays as it is until Cancel.
  // The reason is worth a line for whoever runs the program from a terminal.
  if (!completed && !error.empty()) std::cerr << kProductName << ": the scan stopped: " << error << "\n";
}

}  // namespace kestrove

#include "gui/CleanerPage.h"

#include <QFileDialog>
#include <QMouseEvent>
#include <algorithm>

#include "cleaner/LogExport.h"
#include "gui/AskDelete.h"

namespace kestrove {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

TCleanerPage::TCleanerPage(const TCleanContext& context, IOwnerThread& owner, TCleanCatalogue& catalogue,
                           TOptionsSetting& options, int tag, QWidget* parent)
    : TPageBox("Progress", tag, parent),
      context_(context),
      catalogue_(catalogue),
      options_(options),
      prompt_(context.Prompt) {
  tvCleanItems = new TCleanTreeView(catalogue_, this);
  tvCleanItems->OnMouseDown = [this](QMouseEvent* e) {
    tvCleanItemsMouseDown(e->button(), e->position().toPoint());
  };
  tvCleanItems->ItemToolTip = [this](QTreeWidgetItem* item) {
    const TCatalogueNode* node = TCleanTreeView::NodeOf(item);
    return node ? ItemTip(*node) : QString();
  };
  lMain = new TLogListView(this);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setRange(0, 1000);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setAlignment(Qt::AlignCenter);
  ProgressBar1->hide();
  bTest = new QPushButton("Test", this);
  bTest->setToolTip("You can see what kind of history will be deleted before they are really deleted");
  bClean = new QPushButton("Clean", this);
  bClean->setToolTip("Deletes the history data ");
  cbFastMode = new QCheckBox("Fast Mode", this);
  cbFastMode->setToolTip("Fast mode, not show detailed log of all cleaner settings");
  connect(bTest, &QPushButton::clicked, this, [this] { bTestClick(); });
  connect(bClean, &QPushButton::clicked, this, [this] { bCleanClick(); });
  connect(cbFastMode, &QCheckBox::clicked, this, [this] { cbFastModeClick(); });
  // The keyboard goes the way the eye does: the box at the left of the button row first.
  setTabOrder(tvCleanItems, lMain);
  setTabOrder(lMain, cbFastMode);
  setTabOrder(cbFastMode, bTest);
  setTabOrder(bTest, bClean);

  PopupMenu_ClearHistory = new QMenu(this);
  aSaveText_ClearHistory = PopupMenu_ClearHistory->addAction("S&ave to text file");
  connect(aSaveText_ClearHistory, &QAction::triggered, this, [this] { aSaveText_ClearHistoryExecute(); });
  lMain->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lMain, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    aSaveText_ClearHistory->setEnabled(lMain->Count() > 0);
    PopupMenu_ClearHistory->popup(lMain->viewport()->mapToGlobal(pos));
  });

  cleaner_ = std::make_unique<TCleanerController>(context, owner, *this, options_);
}

// The job reaches the page only through the controller, which stops it and waits.
TCleanerPage::~TCleanerPage() { cleaner_.reset(); }

void TCleanerPage::Layout() {
  const int w = width();
  const int h = height();
  const int top = ContentTop();
  tvCleanItems->setGeometry(8, top, kPageTreeWidth, h - 10 - top);
  const int listLeft = 8 + kPageTreeWidth + 8;
  const int listWidth = w - 8 - listLeft;
  const int buttonTop = h - 10 - kPageButtonHeight;
  ProgressBar1->setGeometry(listLeft, top, listWidth, kPageProgressHeight);
  const int listTop = top + kPageProgressHeight + 6;
  lMain->setGeometry(listLeft, listTop, listWidth, buttonTop - 10 - listTop);
  bClean->setGeometry(listLeft + listWidth - kPageButtonWidth, buttonTop, kPageButtonWidth, kPageButtonHeight);
  bTest->setGeometry(bClean->x() - 20 - kPageButtonWidth, buttonTop, kPageButtonWidth, kPageButtonHeight);
  cbFastMode->setGeometry(listLeft, buttonTop + 3, cbFastMode->sizeHint().width(), cbFastMode->sizeHint().height());
}

QString TCleanerPage::ItemTip(const TCatalogueNode& node) {
  if (!node.Parent) return {};
  const std::string name = TCleanCatalogue::ItemName(node);
  auto it = tips_.find(name);
  if (it == tips_.end()) it = tips_.emplace(name, CleanItemTip(name, DescribeItem(context_, name))).first;
  return it->second;
}

QString TCleanerPage::CleanItemTip(const std::string& itemName, const std::vector<TTracePlace>& places) {
  // A tip is read at a glance: a long list (a history folder per day) is cut short.
  constexpr std::size_t kShownPlaces = 8;
  QString tip = Q(itemName) + "\n";
  if (places.empty()) return tip + "Finds nothing to remove on this system: what it cleans up after is not here.";
  tip += "Removes:";
  // What on one line, where on the next: a path is long enough by itself.
  for (std::size_t i = 0; i < places.size() && i < kShownPlaces; ++i) {
    const TTraceWords words = TracePlaceWords(places[i]);
    tip += "\n- " + Q(words.What);
    if (!words.Where.empty()) tip += "\n      " + Q(words.Where);
  }
  if (places.size() > kShownPlaces) tip += QString("\n... and %1 more places").arg(places.size() - kShownPlaces);
  return tip;
}

// ---------------------------------------------------------------------------------------
// Handlers

void TCleanerPage::bTestClick() { cleaner_->bTestClick(); }

void TCleanerPage::bCleanClick() { cleaner_->bCleanClick(); }

void TCleanerPage::cbFastModeClick() { cleaner_->cbFastModeClick(cbFastMode->isChecked()); }

void TCleanerPage::tvCleanItemsMouseDown(Qt::MouseButton button, const QPoint& pos) {
  if (button != Qt::LeftButton) return;
  QTreeWidgetItem* item = nullptr;
  const TTreeHit hit = tvCleanItems->HitTest(pos, &item);
  TCatalogueNode* node = TCleanTreeView::NodeOf(item);
  if (!node) return;
  // 1.
  if (hit == TTreeHit::Label && node->Text == kCustomListSection) {
    EditCustomList();
    return;
  }
  // 2.
  if (hit == TTreeHit::StateImage) {
    catalogue_.ToggleState(*node);
    tvCleanItems->RefreshStates();
  }
}

// The tree shows nothing of the list: the cleaner reads the file when it runs the item.
bool TCleanerPage::EditCustomList() {
  TfrmNewCustomItem editor(*context_.Target, context_.ProgramFolder, *prompt_, CustomListHooks, window());
  return editor.exec() == QDialog::Accepted;
}

void TCleanerPage::aSaveText_ClearHistoryExecute() {
  if (lMain->Count() == 0) return;
  // 1.
  QFileDialog dialog(window(), "Save as Text");
  dialog.setNameFilter("Text files (*.txt)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // The overwrite question is the program's own (step 3), asked of the final name.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveLogToFile(dialog.selectedFiles().first());
}

bool TCleanerPage::SaveLogToFile(const QString& chosenName) {
  std::vector<std::string> lines;
  for (const QString& line : lMain->Lines()) lines.push_back(line.toStdString());
  try {
    return kestrove::SaveLogToFile(chosenName.toStdString(), lines, *prompt_);
  } catch (const std::exception& e) {
    prompt_->Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Error});
    return false;
  }
}

// ---------------------------------------------------------------------------------------
// The cleaner's view

std::vector<std::string> TCleanerPage::CollectSelection() { return catalogue_.CollectSelection(); }

bool TCleanerPage::FirefoxCategoryChecked() { return catalogue_.FirefoxCategoryChecked(); }

bool TCleanerPage::ConfirmClean() {
  TfrmAskDelete dialog(options_, window());
  return dialog.exec() == TfrmAskDelete::Yes;
}

void TCleanerPage::SetTestCaption(const std::string& caption) { bTest->setText(Q(caption)); }

void TCleanerPage::SetProgressVisible(bool visible) { ProgressBar1->setVisible(visible); }

void TCleanerPage::SetProgressPosition(int position) { ProgressBar1->setValue(std::clamp(position, 0, 1000)); }

void TCleanerPage::SetProgressCaption(const std::string& caption, bool shown) {
  if (!shown) {
    ProgressBar1->setTextVisible(false);
    return;
  }
  QString format = Q(caption);
  format.replace('%', "%%");
  ProgressBar1->setFormat(caption.empty() ? QString("%p%") : format);
  ProgressBar1->setTextVisible(true);
}

void TCleanerPage::SetLogHidden(bool hidden) { lMain->SetHidden(hidden); }

bool TCleanerPage::LogHidden() { return lMain->IsHidden(); }

void TCleanerPage::ClearLog() { lMain->Clear(); }

void TCleanerPage::AddLogLine(const std::string& line) { lMain->AddLine(Q(line)); }

void TCleanerPage::ScrollLogToEnd() { lMain->ScrollToEnd(); }

void TCleanerPage::FitLogWidth() { lMain->FitWidth(); }

void TCleanerPage::SetTimerEnabled(bool enabled) {
  if (OnTimerEnabled) OnTimerEnabled(enabled);
}

void TCleanerPage::JobFailed(const std::string& message) {
  if (OnJobFailed) OnJobFailed(message);
}

}  // namespace kestrove

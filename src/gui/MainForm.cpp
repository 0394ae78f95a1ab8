#include "gui/MainForm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScreen>
#include <QSessionManager>
#include <QUrl>
#include <algorithm>
#include <iostream>

#include "app/IniFile.h"
#include "cleaner/LogExport.h"
#include "gui/About.h"
#include "gui/AskDelete.h"
#include "regscan/ScanTypes.h"

namespace kestrove {

namespace {

constexpr int kSideButtonLeft = 8;
constexpr int kSideButtonWidth = 75;
constexpr int kSideButtonHeight = 53;
constexpr int kSideButtonSpacing = 61;
constexpr int kTitleHeight = 50;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kTreeWidth = 200;
constexpr int kProgressHeight = 20;

const QColor kPressedBorder(122, 152, 175);
const QColor kFocusedFace(235, 234, 225);

QString Q(const std::string& s) { return QString::fromStdString(s); }

int ButtonWidth(QPushButton* b) { return std::max(kButtonWidth, b->sizeHint().width()); }

}  // namespace

TfrmMain::TfrmMain(const TMainFormSetup& setup, QWidget* parent)
    : QWidget(parent),
      target_(setup.Target),
      programFolder_(setup.ProgramFolder),
      commandLine_(ParseCommandLine(setup.Args)),
      owner_(std::make_unique<TQtOwnerThread>()) {
  if (setup.Prompt) {
    prompt_ = setup.Prompt;
  } else {
    ownPrompt_ = std::make_unique<TQtPrompt>(*owner_, this);
    prompt_ = ownPrompt_.get();
  }
  desktop_ = std::make_unique<TQtDesktop>(*owner_);
  OnTerminate = [](int code) { QCoreApplication::exit(code); };
  OnOpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };

  CreateComponents();
  TCleanContext context{target_, programFolder_, prompt_, desktop_.get(), &options_};
  cleaner_ = std::make_unique<TCleanerController>(context, *owner_, *this, options_);

  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
      // The settings could not be written: the session is asked not to end.
      if (!WMQueryEndSession() && manager.allowsInteraction()) manager.cancel();
    });
  }
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // The tree's items point into the catalogue, which goes before the widgets do.
  tvCleanItems->blockSignals(true);
  // Calls still queued for this window are dropped, and a worker waiting for it is let go;
  // the controller then stops the job and waits for it.
  owner_->Shutdown();
  cleaner_.reset();
  // The scan's worker reaches the window only through the owner thread; it is stopped too.
  delete gbRegistry;
  gbRegistry = nullptr;
  // A clean that was stopped on the way out may leave registry changes behind that its end
  // could not write any more.
  if (target_) {
    try {
      if (target_->Registry()->HasUncommittedChanges()) target_->Registry()->Commit();
    } catch (const std::exception& e) {
      std::cerr << kProductName << ": " << e.what() << "\n";
    }
  }
}

// ---------------------------------------------------------------------------------------
// Components

void TfrmMain::CreateComponents() {
  QFont base = font();
  imgTitle = new TTitleImage(this);
  lTitle = new QLabel(imgTitle);
  QFont titleFont = base;
  titleFont.setPointSizeF(base.pointSizeF() * 1.7);
  titleFont.setBold(true);
  lTitle->setFont(titleFont);
  lTitleHint = new QLabel(imgTitle);
  for (QLabel* l : {lTitle, lTitleHint}) {
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    l->setPalette(pal);
  }
  lUpdate = new TLinkLabel("Check for updates...", this);
  iUpdate = new QLabel(this);
  iUpdate->hide();
  connect(lUpdate, &TLinkLabel::clicked, this, [this] { OpenProductPage(kUpdatePagePath); });

  bCleaner = new TFlatButton("Cleaner", kTagCleaner, this);
  bRegistry = new TFlatButton("Registry", kTagRegistry, this);
  bRegistryDefrag = new TFlatButton("Defrag", kTagDefrag, this);
  bTools = new TFlatButton("Tools", kTagTools, this);
  bOptions = new TFlatButton("Options", kTagOptions, this);
  bHelp = new TFlatButton("Help", kTagHelp, this);
  for (TFlatButton* b : {bCleaner, bRegistry, bRegistryDefrag, bTools})
    connect(b, &QPushButton::clicked, this, [this, b] { FlatButtonClick(b); });
  connect(bHelp, &QPushButton::clicked, this, [this] { bHelpClick(); });
  // bOptions opens the options dialog, which is not part of this window yet.

  pmHelp = new QMenu(this);
  aHelp = pmHelp->addAction("Online &Help");
  aHomepage = pmHelp->addAction("H&omepage");
  aCheckUpdate = pmHelp->addAction("&Check for Update");
  aAbout = pmHelp->addAction("&About...");
  connect(aHelp, &QAction::triggered, this, [this] { OpenProductPage(kHelpPagePath); });
  connect(aHomepage, &QAction::triggered, this, [this] { OpenProductPage(kHomePagePath); });
  connect(aCheckUpdate, &QAction::triggered, this, [this] { OpenProductPage(kUpdatePagePath); });
  connect(aAbout, &QAction::triggered, this, [this] { aAboutExecute(); });

  gbCleaner = new QGroupBox("Progress", this);
  gbRegistry = new TRegistryPage(*target_, *owner_, options_, prompt_, kTagRegistry, this);
  gbRegistry->OnTimerEnabled = [this](bool on) {
    scanTimer_ = on;
    UpdateTimer1();
  };
  gbDefrag = new QGroupBox("Registry Defrag", this);
  gbTools = new QGroupBox("Tools", this);
  gbCleaner->setProperty("tag", kTagCleaner);
  gbDefrag->setProperty("tag", kTagDefrag);
  gbTools->setProperty("tag", kTagTools);

  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  CreateCleanerPage();
  CreateDefragPage();
  CreateToolsPage();
}

void TfrmMain::CreateCleanerPage() {
  tvCleanItems = new TCleanTreeView(catalogue_, gbCleaner);
  tvCleanItems->OnMouseDown = [this](QMouseEvent* e) {
    tvCleanItemsMouseDown(e->button(), e->position().toPoint());
  };
  lMain = new TLogListView(gbCleaner);
  ProgressBar1 = new QProgressBar(gbCleaner);
  ProgressBar1->setRange(0, 1000);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setAlignment(Qt::AlignCenter);
  ProgressBar1->hide();
  bTest = new QPushButton("Test", gbCleaner);
  bTest->setToolTip("You can see what kind of history will be deleted before they are really deleted");
  bClean = new QPushButton("Clean", gbCleaner);
  bClean->setToolTip("Deletes the history data ");
  cbFastMode = new QCheckBox("Fast Mode", gbCleaner);
  cbFastMode->setToolTip("Fast mode, not show detailed log of all cleaner settings");
  connect(bTest, &QPushButton::clicked, this, [this] { bTestClick(); });
  connect(bClean, &QPushButton::clicked, this, [this] { bCleanClick(); });
  connect(cbFastMode, &QCheckBox::clicked, this, [this] { cbFastModeClick(); });

  PopupMenu_ClearHistory = new QMenu(this);
  aSaveText_ClearHistory = PopupMenu_ClearHistory->addAction("S&ave to text file");
  connect(aSaveText_ClearHistory, &QAction::triggered, this, [this] { aSaveText_ClearHistoryExecute(); });
  lMain->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lMain, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    aSaveText_ClearHistory->setEnabled(lMain->Count() > 0);
    PopupMenu_ClearHistory->popup(lMain->viewport()->mapToGlobal(pos));
  });
}

void TfrmMain::CreateDefragPage() {
  lvMain = new QTableWidget(0, 4, gbDefrag);
  lvMain->setHorizontalHeaderLabels({"Hive Name", "Current Size", "New Size", "Reduction"});
  lvMain->verticalHeader()->hide();
  lvMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvMain->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvMain->setColumnWidth(0, 205);
  lvMain->setColumnWidth(1, 80);
  lvMain->setColumnWidth(2, 85);
  lvMain->setColumnWidth(3, 75);
  lvMain->setShowGrid(false);
  bAnalyzeRegistry = new QPushButton("Analyze Registry", gbDefrag);
  bAnalyzeRegistry->setToolTip("Analyze your registry");
  bDefragRegistry = new QPushButton("Defrag Registry", gbDefrag);
  bDefragRegistry->setToolTip("Defrag your registry");
  bDefragRegistry->setEnabled(false);
  lCurrentRegistrySizeTitle = new QLabel("Current Registry Size:", gbDefrag);
  lSizeReductionTitle = new QLabel("Size Reduction:", gbDefrag);
  lNewRegistrySizeTitle = new QLabel("New Registry Size:", gbDefrag);
  lCompactPercentTitle = new QLabel("Compact Percent:", gbDefrag);
  lCurrentRegistrySize = new QLabel(gbDefrag);
  lSizeReduction = new QLabel(gbDefrag);
  lNewRegistrySize = new QLabel(gbDefrag);
  lCompactPercent = new QLabel(gbDefrag);
  for (QLabel* l : {lCurrentRegistrySize, lSizeReduction, lNewRegistrySize, lCompactPercent})
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void TfrmMain::CreateToolsPage() {
  lvStartup = new QTreeWidget(gbTools);
  lvStartup->setHeaderLabels({"Startup Program", "File", "Location"});
  lvStartup->setRootIsDecorated(false);
  lvStartup->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvStartup->setColumnWidth(0, 100);
  lvStartup->setColumnWidth(1, 120);
  lvStartup->setColumnWidth(2, 125);
  bStartup = new QPushButton("Startup", gbTools);
  bStartup->setToolTip("Startup manager for Windows to optimize Windows startup configuration");
  bDeleteEntry = new QPushButton("&Delete Entry", gbTools);
  bDeleteEntry->setToolTip("Delete the selected entries");
  bSelectAll = new QPushButton("Select &All", gbTools);
  bSelectAll->setToolTip("Select all entries in the list");
  bSelectNone = new QPushButton("Select &None", gbTools);
  bSelectNone->setToolTip("Cancel all entries in the list");
  bBackupFullRegistry = new QPushButton("Backup Full Registry...", gbTools);
  bBackupFullRegistry->setToolTip("Backup your entire registry");
  bWindowsBackup = new QPushButton("Windows Backup...", gbTools);
  bWindowsBackup->setToolTip("Use the windows backup tool to backup the system");
  // The tools are not part of this window yet.
  for (QPushButton* b : {bStartup, bDeleteEntry, bSelectAll, bSelectNone, bBackupFullRegistry, bWindowsBackup})
    b->setEnabled(false);
}

// ---------------------------------------------------------------------------------------
// Creation, show, activation, close

void TfrmMain::FormCreate() {
  // 1-2. Size, caption, title.
  resize(kClientWidth, kClientHeight);
  setWindowTitle(QString(kProductName) + " " + kVersionText);
  lTitle->setText(kProductName);
  lTitleHint->setText("Optimize your computer performance");
  imgTitle->setGeometry(0, 0, width(), kTitleHeight);
  // 3. The update link at the top right, in white.
  lUpdate->adjustSize();
  lUpdate->move(width() - lUpdate->width() - 10, lUpdate->y());
  iUpdate->move(lUpdate->x() - 20, iUpdate->y());
  // 4.
  gbRegistry->hide();
  gbTools->hide();
  // 5. The cleaner's state starts as the controller starts; the registry status is empty.
  SetSkipConfirm(false);
  gbRegistry->lStatusBar->clear();
  Scanner().ScanStep = 10;
  // 6. The ignore lists start empty; loading fills them.
  options_.IgnoreValues.clear();
  options_.IgnoreKeys.clear();
  // 7. Before loading, so that stored marks of application items can be restored.
  try {
    catalogue_.FillApplications(*target_, programFolder_);
  } catch (const std::exception& e) {
    std::cerr << kProductName << ": the installed programs could not be read: " << e.what() << "\n";
  }
  tvCleanItems->Rebuild();
  // 8.
  PostToSelf([this] { tvCleanItems->scrollToTop(); });
  // 9.
  TWindowDefaults defaults;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    defaults.ScreenWidth = screen->geometry().width();
    defaults.ScreenHeight = screen->geometry().height();
  }
  defaults.WindowWidth = width();
  defaults.WindowHeight = height();
  options_.Load(TOptionsSetting::OptionsFile(programFolder_), catalogue_, defaults);
  // 10-11. The notification-area icon of "/Auto" and the taskbar style come with the tray.
  // 12.
  options_.RestoreExpandedStates(catalogue_);
  tvCleanItems->RefreshStates();
  // 13. Setting the box runs its click handler, which hands the setting to the controller.
  cbFastMode->setChecked(options_.FastScan);
  cbFastModeClick();
  // 14. The boss key comes with the tray.
  // 15.
  gbRegistry->tvRegistry->expandAll();
  // 16.
  try {
    WindowsVersion = target_->WindowsVersion();
  } catch (const std::exception&) {
    WindowsVersion = 0;
  }
  if ((WindowsVersion >= 1 && WindowsVersion <= 4) || WindowsVersion == 8) bWindowsBackup->hide();
  // 17.
  for (QLabel* l : {lCurrentRegistrySize, lSizeReduction, lNewRegistrySize, lCompactPercent}) l->clear();
  // 18.
  SilentJob = false;
  // 19.
  const bool defragWorks = (WindowsVersion >= 5 && WindowsVersion <= 7) || (WindowsVersion >= 9 && WindowsVersion <= 12);
  if (!defragWorks) {
    bAnalyzeRegistry->setEnabled(false);
    lvMain->setRowCount(1);
    lvMain->setItem(0, 0, new QTableWidgetItem(kUnsupportedWindows));
  }
  // 20.
  lvMain->setShowGrid(true);
  // 21.
  FlatButtonClick(bCleaner);
}

void TfrmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  FormResize();
  if (shownOnce_) return;
  shownOnce_ = true;
  FormShow();
  // The main window becomes the active window when it first appears; its activation steps
  // run then, once (see FormActivate).
  FormActivate();
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TfrmMain::FormShow() {
  // 1.
  FormResize();
  // 2.
  options_.RestoreRegistryChecks(RegistrySections());
  // 3.
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  // 4. The hive table comes with the Defrag page; the silent jobs are posted now.
  if (bAnalyzeRegistry->isEnabled()) {
    if (commandLine_.Switch == TStartSwitch::Regdefrag) {
      SilentJob = true;
      PostToSelf([this] { WMRegdefrag(); });
    } else if (commandLine_.Switch == TStartSwitch::Regscan) {
      SilentJob = true;
      PostToSelf([this] { WMRegscan(); });
    }
  }
  // 5.
  if (options_.WindowMaximized) PostToSelf([this] { WMSysCommandMaximize(); });
}

// Runs once, when the window first appears. Running it on every later activation (after
// each dialog) would throw the window back to its stored place and start the command-line
// jobs again.
void TfrmMain::FormActivate() {
  // 1.
  ApplyStoredGeometry();
  // 2.
  if (commandLine_.Switch == TStartSwitch::Auto) {
    PostToSelf([this] { WMSysCommandMinimizeToTray(); });
    if (options_.StartClean) PostToSelf([this] { WMAutoJobs(); });
  }
  // 3. The schedule timer comes with the tray.
  if (commandLine_.Switch == TStartSwitch::Clear) {
    SetSkipConfirm(true);
    PostToSelf([this] { WMAutoJobs(); });
  }
}

void TfrmMain::ApplyStoredGeometry() {
  if (options_.WindowMaximized) {
    setWindowState(windowState() | Qt::WindowMaximized);
    return;
  }
  QRect wanted(options_.WindowLeft, options_.WindowTop, options_.WindowWidth, options_.WindowHeight);
  if (wanted.width() <= 0 || wanted.height() <= 0) wanted.setSize(size());
  // A place on a screen that is no longer there would hide the window: centre it instead.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desktop = screen->virtualGeometry();
    if (!desktop.isEmpty() && !desktop.intersects(wanted)) wanted.moveCenter(screen->geometry().center());
  }
  setGeometry(wanted);
}

void TfrmMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  try {
    // 1.
    if (bTest->text() == "Cancel") cleaner_->Stop();
    // 2.
    if (Scanner().Scanning()) Scanner().CancelScan();
    Scanner().ReleaseWorker();
    // 3.
    cleaner_->SelectedItems.clear();
    // 4.
    options_.StoreExpandedStates(catalogue_);
    // 5.
    SaveSettings();
    // 6-8. The boss key, the ignore lists' dialog and the hive copies come with their pages.
  } catch (const std::exception& e) {
    // The program ends all the same; the settings of this run are lost.
    std::cerr << kProductName << ": " << e.what() << "\n";
  } catch (...) {
  }
  // 9.
  hide();
  if (OnTerminate) OnTerminate(exitCode_);
}

void TfrmMain::SaveSettings() {
  TIniFile ini = TOptionsSetting::OptionsFile(programFolder_);
  options_.Save(ini, catalogue_, RegistrySections(), CurrentPlacement());
}

TWindowShowState TfrmMain::ShowState(const QWidget& window) {
  const Qt::WindowStates state = window.windowState();
  if (state & Qt::WindowMaximized) return TWindowShowState::Maximized;
  if (state & Qt::WindowMinimized) return TWindowShowState::Minimized;
  return TWindowShowState::Normal;
}

TWindowPlacement TfrmMain::CurrentPlacement() const {
  TWindowPlacement p;
  p.State = ShowState(*this);
  // Left and top of the client area and its size, so that restoring gives the same window.
  QRect bounds = geometry();
  if (p.State != TWindowShowState::Normal && normalGeometry().isValid()) bounds = normalGeometry();
  p.Left = bounds.left();
  p.Top = bounds.top();
  p.Width = bounds.width();
  p.Height = bounds.height();
  return p;
}

bool TfrmMain::WMQueryEndSession() {
  // 1.
  const bool cleaning = options_.ShutdownClean;
  if (cleaning) cleaner_->StartDirectClean();
  // 2.
  try {
    SaveSettings();
  } catch (const EIniFileError& e) {
    prompt_->Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Error});
    return false;
  }
  // 3-4. The clean gets a little time to finish; the close stops what remains of it.
  if (cleaning) WaitForCleaning(SessionEndCleanWait);
  close();
  return true;
}

void TfrmMain::WaitForCleaning(std::chrono::milliseconds limit) {
  QElapsedTimer elapsed;
  elapsed.start();
  QEventLoop loop;
  QTimer poll;
  connect(&poll, &QTimer::timeout, &loop, [&] {
    if ((!cleaner_->Busy && !cleaner_->JobRunning()) || elapsed.elapsed() >= limit.count()) loop.quit();
  });
  poll.start(50);
  loop.exec();
}

// ---------------------------------------------------------------------------------------
// Messages to itself

void TfrmMain::PostToSelf(std::function<void()> call) { owner_->Post(std::move(call)); }

void TfrmMain::WMSysCommandMaximize() { showMaximized(); }

// Until the notification-area icon exists, going to the notification area is hiding.
void TfrmMain::WMSysCommandMinimizeToTray() { hide(); }

void TfrmMain::WMAutoJobs() {
  // 1.
  hide();
  // 2. Without "/Clear" the confirmation still shows when the settings ask for it.
  cleaner_->StartDirectClean();
  // 3. A registry scan, exactly as the Scan button starts one.
  if (Scanner().ScanCaption() == kScanCaption) gbRegistry->bScanClick();
  if (cleaner_->SkipConfirm) {
    // An unattended "/Clear" run: the window closes itself when its jobs are done, or at
    // once when nothing was selected and no job started.
    unattended_ = true;
    if (!unattendedWatch_) {
      unattendedWatch_ = new QTimer(this);
      unattendedWatch_->setInterval(200);
      connect(unattendedWatch_, &QTimer::timeout, this, [this] { CheckUnattendedEnd(); });
    }
    unattendedWatch_->start();
  }
}

void TfrmMain::CheckUnattendedEnd() {
  if (!unattended_ || cleaner_->Busy || cleaner_->JobRunning() || Scanner().ScanCaption() != kScanCaption) return;
  unattendedWatch_->stop();
  // Through the queue, behind the job's last calls.
  PostToSelf([this] { close(); });
}

// The "/Regdefrag" and "/Regscan" jobs come with the Defrag page; until then the window
// stays open as after an ordinary start.
void TfrmMain::WMRegdefrag() {}
void TfrmMain::WMRegscan() {}

// ---------------------------------------------------------------------------------------
// Layout and pages

int TfrmMain::PageContentTop() const { return gbCleaner->fontMetrics().height() + 8; }

void TfrmMain::FormResize() {
  const int w = width();
  const int h = height();
  // 1.
  imgTitle->setGeometry(0, 0, w, kTitleHeight);
  lTitle->adjustSize();
  lTitle->move(14, 4);
  lTitleHint->adjustSize();
  lTitleHint->move(16, lTitle->y() + lTitle->height());
  // 2.
  const int pageLeft = 2 * kSideButtonLeft + kSideButtonWidth;
  const int pageTop = kTitleHeight + 5;
  const QRect page(pageLeft, pageTop, w - 6 - pageLeft, h - 6 - pageTop);
  for (QGroupBox* gb : std::initializer_list<QGroupBox*>{gbCleaner, gbRegistry, gbDefrag, gbTools}) gb->setGeometry(page);
  // 3.
  int top = pageTop + 5;
  for (TFlatButton* b : {bCleaner, bRegistry, bRegistryDefrag, bTools, bOptions, bHelp}) {
    b->setGeometry(kSideButtonLeft, top, kSideButtonWidth, kSideButtonHeight);
    top += kSideButtonSpacing;
  }
  // 4-5.
  LayoutCleanerPage();
  gbRegistry->Layout(w);
  LayoutDefragPage();
  LayoutToolsPage();
  // 6.
  lUpdate->adjustSize();
  lUpdate->move(w - lUpdate->width() - 8, (kTitleHeight - lUpdate->height()) / 2);
  lUpdate->raise();
  iUpdate->move(lUpdate->x() - 20, lUpdate->y());
}

void TfrmMain::LayoutCleanerPage() {
  const int w = gbCleaner->width();
  const int h = gbCleaner->height();
  const int top = PageContentTop();
  tvCleanItems->setGeometry(8, top, kTreeWidth, h - 10 - top);
  const int listLeft = 8 + kTreeWidth + 8;
  const int listWidth = w - 8 - listLeft;
  const int buttonTop = h - 10 - kButtonHeight;
  ProgressBar1->setGeometry(listLeft, top, listWidth, kProgressHeight);
  const int listTop = top + kProgressHeight + 6;
  lMain->setGeometry(listLeft, listTop, listWidth, buttonTop - 10 - listTop);
  bClean->setGeometry(listLeft + listWidth - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight);
  bTest->setGeometry(bClean->x() - 20 - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight);
  cbFastMode->setGeometry(listLeft, buttonTop + 3, cbFastMode->sizeHint().width(), cbFastMode->sizeHint().height());
}

void TfrmMain::LayoutDefragPage() {
  const int w = gbDefrag->width();
  const int h = gbDefrag->height();
  const int top = PageContentTop();
  const int defragWidth = ButtonWidth(bDefragRegistry);
  const int analyzeWidth = ButtonWidth(bAnalyzeRegistry);
  bDefragRegistry->setGeometry(w - 8 - defragWidth, top, defragWidth, kButtonHeight);
  bAnalyzeRegistry->setGeometry(bDefragRegistry->x() - 20 - analyzeWidth, top, analyzeWidth, kButtonHeight);
  const int listTop = top + kButtonHeight + 8;
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
  if (width() <= 694) {
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

void TfrmMain::LayoutToolsPage() {
  const int w = gbTools->width();
  const int h = gbTools->height();
  const int top = PageContentTop();
  int left = 8;
  for (QPushButton* b : {bBackupFullRegistry, bWindowsBackup}) {
    b->setGeometry(left, top, ButtonWidth(b), kButtonHeight);
    left += b->width() + 20;
  }
  const int listTop = top + kButtonHeight + 8;
  const int buttonTop = h - 8 - kButtonHeight;
  lvStartup->setGeometry(8, listTop, w - 16, buttonTop - 8 - listTop);
  int right = 8 + lvStartup->width();
  const std::pair<QPushButton*, int> row[] = {{bSelectNone, 12}, {bSelectAll, 20}, {bDeleteEntry, 20}, {bStartup, 0}};
  for (const auto& [button, gapBefore] : row) {
    const int bw = ButtonWidth(button);
    button->setGeometry(right - bw, buttonTop, bw, kButtonHeight);
    right = button->x() - gapBefore;
  }
}

void TfrmMain::FlatButtonClick(TFlatButton* sender) {
  const int p = sender->Tag();
  // 1.
  for (TFlatButton* b : findChildren<TFlatButton*>()) {
    if ((b->Tag() >> 4) == (p >> 4)) {
      const QColor face = palette().color(QPalette::Button);
      b->SetColors(face, kFocusedFace, face);
    }
  }
  for (QGroupBox* gb : findChildren<QGroupBox*>()) {
    const QVariant tag = gb->property("tag");
    if (tag.isValid()) gb->setVisible(tag.toInt() == p);
  }
  // 2.
  sender->SetColors(Qt::white, Qt::white, kPressedBorder);
  activePage_ = p;
}

// ---------------------------------------------------------------------------------------
// Cleaner page

void TfrmMain::bTestClick() { cleaner_->bTestClick(); }

void TfrmMain::bCleanClick() { cleaner_->bCleanClick(); }

void TfrmMain::cbFastModeClick() { cleaner_->cbFastModeClick(cbFastMode->isChecked()); }

void TfrmMain::tvCleanItemsMouseDown(Qt::MouseButton button, const QPoint& pos) {
  if (button != Qt::LeftButton) return;
  QTreeWidgetItem* item = nullptr;
  const TTreeHit hit = tvCleanItems->HitTest(pos, &item);
  TCatalogueNode* node = TCleanTreeView::NodeOf(item);
  if (!node) return;
  // 1. The label of "<New List>" opens the custom list editor, which is not part of this
  //    window yet.
  if (hit == TTreeHit::Label && node->Text == "<New List>") return;
  // 2.
  if (hit == TTreeHit::StateImage) {
    catalogue_.ToggleState(*node);
    tvCleanItems->RefreshStates();
  }
}

void TfrmMain::Timer1Timer() {
  if (cleanerTimer_) cleaner_->Timer1Timer(!gbCleaner->isHidden());
  Scanner().Timer1Timer(!gbRegistry->isHidden());
}

void TfrmMain::aSaveText_ClearHistoryExecute() {
  if (lMain->Count() == 0) return;
  // 1.
  QFileDialog dialog(this, "Save as Text");
  dialog.setNameFilter("Text files (*.txt)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // The overwrite question is the program's own (step 3), asked of the final name.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveLogToFile(dialog.selectedFiles().first());
}

bool TfrmMain::SaveLogToFile(const QString& chosenName) {
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
// Help

void TfrmMain::bHelpClick() { pmHelp->popup(QCursor::pos()); }

void TfrmMain::aAboutExecute() {
  TfrmAbout about(this);
  about.exec();
}

void TfrmMain::OpenProductPage(const char* path) {
  if (OnOpenUrl) OnOpenUrl(QString(kProductSite) + path);
}

// ---------------------------------------------------------------------------------------
// The cleaner's view

std::vector<std::string> TfrmMain::CollectSelection() { return catalogue_.CollectSelection(); }

bool TfrmMain::FirefoxCategoryChecked() { return catalogue_.FirefoxCategoryChecked(); }

bool TfrmMain::ConfirmClean() {
  TfrmAskDelete dialog(options_, this);
  return dialog.exec() == TfrmAskDelete::Yes;
}

void TfrmMain::SetTestCaption(const std::string& caption) { bTest->setText(Q(caption)); }

void TfrmMain::SetProgressVisible(bool visible) { ProgressBar1->setVisible(visible); }

void TfrmMain::SetProgressPosition(int position) { ProgressBar1->setValue(std::clamp(position, 0, 1000)); }

void TfrmMain::SetProgressCaption(const std::string& caption, bool shown) {
  if (!shown) {
    ProgressBar1->setTextVisible(false);
    return;
  }
  QString format = Q(caption);
  format.replace('%', "%%");
  ProgressBar1->setFormat(caption.empty() ? QString("%p%") : format);
  ProgressBar1->setTextVisible(true);
}

void TfrmMain::SetLogHidden(bool hidden) { lMain->SetHidden(hidden); }

bool TfrmMain::LogHidden() { return lMain->IsHidden(); }

void TfrmMain::ClearLog() { lMain->Clear(); }

void TfrmMain::AddLogLine(const std::string& line) { lMain->AddLine(Q(line)); }

void TfrmMain::ScrollLogToEnd() { lMain->ScrollToEnd(); }

void TfrmMain::FitLogWidth() { lMain->FitWidth(); }

void TfrmMain::SetTimerEnabled(bool enabled) {
  cleanerTimer_ = enabled;
  UpdateTimer1();
}

void TfrmMain::UpdateTimer1() {
  if (cleanerTimer_ || scanTimer_)
    Timer1->start();
  else
    Timer1->stop();
}

void TfrmMain::SetSkipConfirm(bool skip) {
  cleaner_->SkipConfirm = skip;
  Scanner().SkipConfirm = skip;
}

void TfrmMain::JobFailed(const std::string& message) {
  if (unattended_ || isHidden()) {
    // Nobody is there to read a box.
    std::cerr << kProductName << ": " << message << "\n";
    if (unattended_) exitCode_ = 1;
    return;
  }
  prompt_->Ask({kProductName, message, TMsgButtons::Ok, TMsgIcon::Error});
}

}  // namespace kestrove

#include "gui/MainForm.h"

#include <QDateTime>
#include <QLocale>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>
#include <QSessionManager>
#include <QUrl>
#include <algorithm>
#include <iostream>
#include <optional>

#include "app/IniFile.h"
#include "gui/About.h"
#include "gui/BackupHint.h"
#include "gui/IndexDatViewer.h"
#include "gui/RestoreDialog.h"
#include "gui/x11/BossKey.h"

namespace kestrove {

namespace {

constexpr int kSideButtonLeft = 8;
constexpr int kSideButtonWidth = 75;
constexpr int kSideButtonHeight = 53;
constexpr int kSideButtonSpacing = 61;
constexpr int kTitleHeight = 50;

const QColor kPressedBorder(122, 152, 175);
const QColor kFocusedFace(235, 234, 225);

// Why a Fix left the registry as it was (or only partly repaired); nothing when it repaired
// everything selected or found nothing to repair.
std::optional<std::string> RepairFailure(const TFixResult& fix) {
  switch (fix.Outcome) {
    case TFixOutcome::Fixed:
    case TFixOutcome::NoRows:
      return std::nullopt;
    case TFixOutcome::FolderDeclined:
      return "no backup folder; nothing was removed";
    case TFixOutcome::RestorePointCancelled:
      return "the restore point was cancelled; nothing was removed";
    default:
      return fix.Error.empty() ? std::string("stopped") : fix.Error;
  }
}

}  // namespace

TfrmMain::TfrmMain(const TMainFormSetup& setup, QWidget* parent)
    : QWidget(parent),
      target_(setup.Target),
      trayAvailable_(setup.TrayAvailable),
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
  ManualFile = FindManual(QCoreApplication::applicationDirPath());
  regeditProgress_ = std::make_unique<TQtRegeditProgress>(this);
  Regedit.Root = target_->Folder();
  Regedit.Prompt = prompt_;
  Regedit.Progress = regeditProgress_.get();
  OnSaveFullBackup = [this] {
    return QFileDialog::getSaveFileName(this, "Save full registry", QString(), "Registry backup files (*.reg *.REG)");
  };

  CreateComponents();

  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
      // The settings could not be written: the session is asked not to end.
      if (!WMQueryEndSession() && manager.allowsInteraction()) manager.cancel();
    });
  }
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // Calls still queued for this window are dropped, and a worker waiting for it is let go.
  owner_->Shutdown();
  // The pages go first: their controllers stop their workers and wait for them, and the
  // clean tree's items point into the catalogue, while the window's members still exist.
  delete gbCleaner;
  delete gbRegistry;
  delete gbDefrag;
  delete gbTools;
  gbCleaner = nullptr;
  gbRegistry = nullptr;
  gbDefrag = nullptr;
  gbTools = nullptr;
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
  connect(lUpdate, &TLinkLabel::clicked, this, [this] { SayNoWebsite(kNoUpdateService); });

  bCleaner = new TFlatButton("Cleaner", kTagCleaner, this);
  bRegistry = new TFlatButton("Registry", kTagRegistry, this);
  bRegistryDefrag = new TFlatButton("Defrag", kTagDefrag, this);
  bTools = new TFlatButton("Tools", kTagTools, this);
  bOptions = new TFlatButton("Options", kTagOptions, this);
  bHelp = new TFlatButton("Help", kTagHelp, this);
  // The desktop's own pictures where its theme has them (names of the freedesktop icon
  // naming scheme).
  bCleaner->setIcon(SideButtonIcon("edit-clear", TSidePicture::Cleaner));
  bRegistry->setIcon(SideButtonIcon("system-search", TSidePicture::Registry));
  bRegistryDefrag->setIcon(SideButtonIcon("drive-harddisk", TSidePicture::Defrag));
  bTools->setIcon(SideButtonIcon("applications-utilities", TSidePicture::Tools));
  bOptions->setIcon(SideButtonIcon("preferences-system", TSidePicture::Options));
  bHelp->setIcon(SideButtonIcon("help-browser", TSidePicture::Help));
  for (TFlatButton* b : {bCleaner, bRegistry, bRegistryDefrag, bTools})
    connect(b, &QPushButton::clicked, this, [this, b] { FlatButtonClick(b); });
  connect(bHelp, &QPushButton::clicked, this, [this] { bHelpClick(); });
  connect(bOptions, &QPushButton::clicked, this, [this] { bOptionsClick(); });

  pmHelp = new QMenu(this);
  aHelp = pmHelp->addAction("Online &Help");
  aHomepage = pmHelp->addAction("H&omepage");
  aCheckUpdate = pmHelp->addAction("&Check for Update");
  aAbout = pmHelp->addAction("&About...");
  connect(aHelp, &QAction::triggered, this, [this] { OpenManual(); });
  connect(aHomepage, &QAction::triggered, this, [this] { SayNoWebsite(kNoWebsite); });
  connect(aCheckUpdate, &QAction::triggered, this, [this] { SayNoWebsite(kNoUpdateService); });
  connect(aAbout, &QAction::triggered, this, [this] { aAboutExecute(); });

  gbCleaner = new TCleanerPage(TCleanContext{target_, programFolder_, prompt_, desktop_.get(), &options_}, *owner_,
                               catalogue_, options_, kTagCleaner, this);
  gbCleaner->OnTimerEnabled = [this](bool on) {
    cleanerTimer_ = on;
    UpdateTimer1();
  };
  gbCleaner->OnJobFailed = [this](const std::string& message) { CleanJobFailed(message); };
  gbRegistry = new TRegistryPage(*target_, *owner_, options_, prompt_, kTagRegistry, this);
  gbRegistry->OnTimerEnabled = [this](bool on) {
    scanTimer_ = on;
    UpdateTimer1();
  };
  gbDefrag = new TDefragPage(kTagDefrag, this);
  gbDefrag->Attach(target_, owner_.get(), &options_, prompt_, [this] { return SilentJob; },
                   [this] { return static_cast<int>(WindowsVersion); });
  gbTools = new TToolsPage(kTagTools, this);
  gbTools->Attach(target_, prompt_);
  connect(gbRegistry->bRestoreRegistry, &QPushButton::clicked, this, [this] { bRestoreRegistryClick(); });
  connect(gbTools->bBackupFullRegistry, &QPushButton::clicked, this, [this] { bBackupFullRegistryClick(); });
  connect(gbTools->bWindowsBackup, &QPushButton::clicked, this, [this] { bWindowsBackupClick(); });
  connect(gbTools->bViewHistory, &QPushButton::clicked, this, [this] {
    TfrmIndexDatViewer viewer(target_, options_, *prompt_, *desktop_, this);
    viewer.exec();
  });

  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  CreateTray();
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
  gbCleaner->tvCleanItems->Rebuild();
  // 8.
  PostToSelf([this] { gbCleaner->tvCleanItems->scrollToTop(); });
  // 9.
  TWindowDefaults defaults;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    defaults.ScreenWidth = screen->geometry().width();
    defaults.ScreenHeight = screen->geometry().height();
  }
  defaults.WindowWidth = width();
  defaults.WindowHeight = height();
  options_.Load(TOptionsSetting::OptionsFile(programFolder_), catalogue_, defaults);
  // 10. The taskbar style of step 11 has no counterpart: a hidden window has no taskbar entry.
  if (commandLine_.Switch == TStartSwitch::Auto && TrayAvailable()) TrayIcon->show();
  // 12.
  options_.RestoreExpandedStates(catalogue_);
  gbCleaner->tvCleanItems->RefreshStates();
  // 13. Setting the box runs its click handler, which hands the setting to the controller.
  gbCleaner->cbFastMode->setChecked(options_.FastScan);
  gbCleaner->cbFastModeClick();
  // 14.
  if (options_.EnableHotkey) {
    UnregisterBossKey();
    RegisterBossKey();
  }
  // 15.
  gbRegistry->tvRegistry->expandAll();
  // 16.
  try {
    WindowsVersion = target_->WindowsVersion();
  } catch (const std::exception&) {
    WindowsVersion = 0;
  }
  if ((WindowsVersion >= 1 && WindowsVersion <= 4) || WindowsVersion == 8) gbTools->bWindowsBackup->hide();
  // 17.
  for (QLabel* l : {gbDefrag->lCurrentRegistrySize, gbDefrag->lSizeReduction, gbDefrag->lNewRegistrySize,
                    gbDefrag->lCompactPercent})
    l->clear();
  // 18.
  SilentJob = false;
  // 19.
  const bool defragWorks = (WindowsVersion >= 5 && WindowsVersion <= 7) || (WindowsVersion >= 9 && WindowsVersion <= 12);
  if (!defragWorks) {
    gbDefrag->bAnalyzeRegistry->setEnabled(false);
    gbDefrag->lvMain->setRowCount(1);
    gbDefrag->lvMain->setItem(0, 0, new QTableWidgetItem(kUnsupportedWindows));
  }
  // 20.
  gbDefrag->lvMain->setShowGrid(true);
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
  // 4.
  if (gbDefrag->bAnalyzeRegistry->isEnabled()) {
    gbDefrag->LoadHiveTable();
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
  // 3.
  if (commandLine_.Switch == TStartSwitch::Clear) {
    SetSkipConfirm(true);
    PostToSelf([this] { WMAutoJobs(); });
  } else {
    ArmSchedule();
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
    if (gbCleaner->bTest->text() == "Cancel") Cleaner().Stop();
    // 2.
    if (Scanner().Scanning()) Scanner().CancelScan();
    Scanner().ReleaseWorker();
    // 3.
    Cleaner().SelectedItems.clear();
    // 4.
    options_.StoreExpandedStates(catalogue_);
    // 5.
    SaveSettings();
    // 6. Hidden browsers are shown again even when the boss key was switched off meanwhile:
    // nothing else would ever bring them back.
    RevealHiddenWindows();
    // 7. The ignore lists' dialog is modal and gone by now.
    // 8.
    gbDefrag->DeleteHiveCopies();
  } catch (const std::exception& e) {
    // The program ends all the same; the settings of this run are lost.
    std::cerr << kProductName << ": " << e.what() << "\n";
  } catch (...) {
  }
  // A failed step above must not leave browsers hidden after the program has gone.
  if (BossHidden) RevealHiddenWindows();
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
  if (cleaning) Cleaner().StartDirectClean();
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
    if ((!Cleaner().Busy && !Cleaner().JobRunning()) || elapsed.elapsed() >= limit.count()) loop.quit();
  });
  poll.start(50);
  loop.exec();
}

// ---------------------------------------------------------------------------------------
// Messages to itself

void TfrmMain::PostToSelf(std::function<void()> call) { owner_->Post(std::move(call)); }

void TfrmMain::WMSysCommandMaximize() { showMaximized(); }

void TfrmMain::WMSysCommandMinimizeToTray() { WMSysCommandMinimize(false); }

void TfrmMain::WMAutoJobs() {
  // 1. An unattended "/Clear" run closes itself; otherwise only an icon can bring a hidden
  // window back.
  if (Cleaner().SkipConfirm || TrayAvailable())
    hide();
  else
    WMSysCommandMinimize(false);
  // 2. Without "/Clear" the confirmation still shows when the settings ask for it.
  Cleaner().StartDirectClean();
  // 3. A registry scan, exactly as the Scan button starts one.
  if (Scanner().ScanCaption() == kScanCaption) gbRegistry->bScanClick();
  if (Cleaner().SkipConfirm) {
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
  // The repair that ends the scan may be waiting for an answer (the backup folder, the restore
  // point): its box runs an event loop of its own, in which this timer goes on ticking. Closing
  // then would take the box down unanswered, and the repair with it.
  if (!unattended_ || Cleaner().Busy || Cleaner().JobRunning() || Scanner().ScanCaption() != kScanCaption ||
      Scanner().Fixing())
    return;
  unattendedWatch_->stop();
  // Whoever started the run learns from the exit status that the registry was not repaired.
  if (const auto& fix = Scanner().LastFix())
    if (const auto why = RepairFailure(*fix)) {
      std::cerr << kProductName << ": the registry was not repaired: " << *why << "\n";
      exitCode_ = 1;
    }
  // Through the queue, behind the job's last calls.
  PostToSelf([this] { close(); });
}

void TfrmMain::WMRegdefrag() {
  // 1.
  hide();
  // 2-3.
  gbDefrag->bAnalyzeRegistryClick();
  if (gbDefrag->bDefragRegistry->isEnabled()) gbDefrag->bDefragRegistryClick();
  // 4.
  close();
}

void TfrmMain::WMRegscan() {
  hide();
  const std::string result = commandLine_.RegscanResultFile.value_or("");
  try {
    if (!result.empty()) TIniFile(result).EraseSection("Scan Result");
  } catch (const std::exception& e) {
    std::cerr << kProductName << ": " << e.what() << "\n";
    exitCode_ = 1;
  }
  gbDefrag->bAnalyzeRegistryClick();
  if (!result.empty()) {
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    const std::string time = (locale.toString(now.date(), QLocale::ShortFormat) + " " +
                              locale.toString(now.time(), QLocale::LongFormat)).toStdString();
    try {
      TIniFile(result).ReplaceSection(
          "Scan Result", {{"Current Size", gbDefrag->lCurrentRegistrySize->text().toStdString()},
                          {"New Size", gbDefrag->lNewRegistrySize->text().toStdString()},
                          {"Size Reduction", gbDefrag->lSizeReduction->text().toStdString()},
                          {"Compact Percent", gbDefrag->lCompactPercent->text().toStdString()},
                          {"Time", time}});
    } catch (const std::exception& e) {
      // Whoever started the job learns from the exit status that no result was written.
      std::cerr << kProductName << ": " << e.what() << "\n";
      exitCode_ = 1;
    }
  }
  close();
}

// ---------------------------------------------------------------------------------------
// Layout and pages

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
  gbCleaner->Layout();
  gbRegistry->Layout(w);
  gbDefrag->Layout(w);
  gbTools->Layout();
  // 6.
  lUpdate->adjustSize();
  lUpdate->move(w - lUpdate->width() - 8, (kTitleHeight - lUpdate->height()) / 2);
  lUpdate->raise();
  iUpdate->move(lUpdate->x() - 20, lUpdate->y());
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
// Timer1, shared by the pages

void TfrmMain::Timer1Timer() {
  if (cleanerTimer_) Cleaner().Timer1Timer(!gbCleaner->isHidden());
  Scanner().Timer1Timer(!gbRegistry->isHidden());
}

// ---------------------------------------------------------------------------------------
// Help

void TfrmMain::bHelpClick() { pmHelp->popup(QCursor::pos()); }

void TfrmMain::aAboutExecute() {
  TfrmAbout about(this);
  about.exec();
}

void TfrmMain::OpenManual() {
  if (ManualFile.isEmpty()) {
    SayNoWebsite(kNoManual);
    return;
  }
  if (OnOpenUrl) OnOpenUrl(QUrl::fromLocalFile(ManualFile).toString());
}

void TfrmMain::SayNoWebsite(const char* text) {
  prompt_->Ask({kProductName, text, TMsgButtons::Ok, TMsgIcon::Information, 0});
}

// ---------------------------------------------------------------------------------------
// What the pages ask of the window

void TfrmMain::UpdateTimer1() {
  if (cleanerTimer_ || scanTimer_)
    Timer1->start();
  else
    Timer1->stop();
}

void TfrmMain::SetSkipConfirm(bool skip) {
  Cleaner().SkipConfirm = skip;
  Scanner().SkipConfirm = skip;
}

void TfrmMain::CleanJobFailed(const std::string& message) {
  if (unattended_ || isHidden()) {
    // Nobody is there to read a box.
    std::cerr << kProductName << ": " << message << "\n";
    if (unattended_) exitCode_ = 1;
    return;
  }
  prompt_->Ask({kProductName, message, TMsgButtons::Ok, TMsgIcon::Error});
}

// ---------------------------------------------------------------------------------------
// Restore and backups

void TfrmMain::bRestoreRegistryClick() {
  TfrmRestore dialog(options_, Regedit, *prompt_, *desktop_, this);
  dialog.Identity = target_->Identity();
  // The editor is another process: what it imported is read again before the next job.
  dialog.OnRegistryChanged = [this] {
    try {
      target_->RefreshRegistry();
    } catch (const std::exception&) {
      // A hive that cannot be read now is reported by the next job that reads it.
    }
  };
  dialog.exec();
}

void TfrmMain::bBackupFullRegistryClick() {
  const QString chosen = OnSaveFullBackup ? OnSaveFullBackup() : QString();
  if (chosen.isEmpty()) return;
  BackupFullRegistry(Regedit, *prompt_, chosen.toStdString());
}

void TfrmMain::bOptionsClick() {
  TOptionsHooks hooks = OptionsHooks;
  hooks.SaveSettings = [this] { SaveSettings(); };
  // The window owns the boss key and the schedule: OK re-arms them through it (tests may
  // script their own).
  if (!hooks.UnregisterBossKey) hooks.UnregisterBossKey = [this] { UnregisterBossKey(); };
  if (!hooks.RegisterBossKey) hooks.RegisterBossKey = [this] { RegisterBossKey(); };
  if (!hooks.ArmSchedule) hooks.ArmSchedule = [this] { ArmSchedule(); };
  if (!hooks.TestHotkey)
    hooks.TestHotkey = [](const TShortcut& key) {
      TBossKey probe;
      const bool registered = probe.Register(key);
      probe.Unregister();
      return registered;
    };
  TfrmOptions dialog(options_, *target_, programFolder_, *prompt_, *desktop_, hooks, this);
  if (dialog.exec() != QDialog::Accepted) return;
  gbCleaner->cbFastMode->setChecked(options_.FastScan);
  gbCleaner->cbFastModeClick();
}

// Windows' own backup tool (ntbackup) has no counterpart here: say so rather than open nothing.
void TfrmMain::bWindowsBackupClick() {
  prompt_->Ask({kProductName, kWindowsBackupUnavailable, TMsgButtons::Ok, TMsgIcon::Information, 0});
}

}  // namespace kestrove

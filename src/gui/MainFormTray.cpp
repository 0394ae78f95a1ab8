// The main window's life in the background: the notification-area icon and its menu, the
// schedule timer, and the boss key.
#include <QEvent>
#include <QPainter>
#include <QPixmap>
#include <filesystem>

#include "gui/About.h"
#include "gui/MainForm.h"
#include "gui/x11/BossKey.h"

namespace kestrove {

namespace {

// The program's icon, drawn here so the program needs no image files.
QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(38, 110, 180));
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 5.0, size / 5.0);
    QFont f;
    f.setBold(true);
    f.setPixelSize(size * 3 / 4);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, "K");
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

int ScheduleIntervalMs(int cleanInterval) {
  switch (cleanInterval) {
    case 1: return 1800000;
    case 2: return 3600000;
    case 3: return 14400000;
    case 4: return 28800000;
    default: return 900000;
  }
}

void TfrmMain::CreateTray() {
  setWindowIcon(ProgramIcon());
  pmSelf = new QMenu(this);
  miOpen = pmSelf->addAction("&Open");
  pmSelf->addSeparator();
  miHelp = pmSelf->addAction("&Help");
  miAbout = pmSelf->addAction("&About...");
  pmSelf->addSeparator();
  miExit = pmSelf->addAction("&Exit");
  connect(miOpen, &QAction::triggered, this, [this] { miOpenClick(); });
  connect(miHelp, &QAction::triggered, this, [this] { OpenManual(); });
  connect(miAbout, &QAction::triggered, this, [this] { aAboutExecute(); });
  connect(miExit, &QAction::triggered, this, [this] { miExitClick(); });

  TrayIcon = new QSystemTrayIcon(windowIcon(), this);
  // The tip's Windows line break is a plain one here. A last line names the target, so that
  // the icons of two systems can be told apart.
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::weakly_canonical(target_->Folder(), ec);
  TrayIcon->setToolTip(QString(kTrayTip).replace("\r\n", "\n") + "\n" +
                       QString::fromStdString((ec ? target_->Folder() : folder).string()));
  TrayIcon->setContextMenu(pmSelf);
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { TrayIconActivated(reason); });

  Timer2 = new QTimer(this);
  Timer2->setSingleShot(false);
  connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });

  bossKey_ = new TBossKey(this);
  connect(bossKey_, &TBossKey::Pressed, this, [this] { WMHotkey(); });
}

// ---------------------------------------------------------------------------------------
// Notification area

bool TfrmMain::TrayAvailable() const {
  return trayAvailable_ ? trayAvailable_() : QSystemTrayIcon::isSystemTrayAvailable();
}

void TfrmMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && !closed_)
    PostToSelf([this] {
      if ((windowState() & Qt::WindowMinimized) && TrayAvailable()) WMSysCommandMinimize(true);
    });
}

// A hidden top-level window has no taskbar entry. The window's own minimised state is taken
// back first (on X11 that maps the window again) so that it comes back as it was.
void TfrmMain::WMSysCommandMinimize(bool addIcon) {
  if (!TrayAvailable()) {
    if (!(windowState() & Qt::WindowMinimized) || isHidden()) showMinimized();
    return;
  }
  if (windowState() & Qt::WindowMinimized) setWindowState(windowState() & ~Qt::WindowMinimized);
  hide();
  if (addIcon) TrayIcon->show();
}

void TfrmMain::WMShowMain() {
  const bool inTray = isHidden() || (windowState() & Qt::WindowMinimized);
  // 1-2.
  if (windowState() & Qt::WindowMinimized) setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  if (inTray) TrayIcon->hide();
  // 3.
  raise();
  activateWindow();
}

void TfrmMain::miOpenClick() { WMShowMain(); }

void TfrmMain::TrayIconActivated(QSystemTrayIcon::ActivationReason reason) {
  // The right button's menu is the icon's context menu, popped up at the mouse.
  if (reason != QSystemTrayIcon::Trigger) return;
  WMShowMain();
  TLogListView* log = gbCleaner->lMain;
  log->Flush();
  if (log->Count() > 0) log->setCurrentIndex(log->model()->index(0, 0));
}

void TfrmMain::miExitClick() {
  close();
  TrayIcon->hide();
}

// ---------------------------------------------------------------------------------------
// Schedule

void TfrmMain::ArmSchedule() {
  const int interval = ScheduleIntervalMs(options_.CleanInterval);
  if (Timer2->isActive() == options_.AutoClean && Timer2->interval() == interval) return;
  Timer2->stop();
  Timer2->setInterval(interval);
  if (options_.AutoClean) Timer2->start();
}

// Whether the window is shown, in the notification area or hidden. A job that runs, is being
// confirmed or, stopped, is still ending makes this do nothing; with nothing checked it says
// nothing.
void TfrmMain::Timer2Timer() { Cleaner().StartDirectClean(); }

// ---------------------------------------------------------------------------------------
// Boss key

void TfrmMain::RegisterBossKey() {
  // 1. The atom stands for the registration; there is none without a display to hold it.
  HotkeyAtom = bossKey_->InternAtom(kBossKeyAtomName);
  // 2.
  if (HotkeyAtom == 0 || !bossKey_->Register(options_.Hotkey))
    prompt_->Ask({kProductName, kBossKeyFailed, TMsgButtons::Ok, TMsgIcon::Error});
}

void TfrmMain::UnregisterBossKey() {
  bossKey_->Unregister();
  HotkeyAtom = 0;
}

void TfrmMain::WMHotkey() {
  // 1-2. Only the grabbed combination reaches here, so it is always the boss key's.
  BossHidden = !BossHidden;
  if (BossHidden)
    bossKey_->HideWindows(BossKeyWindowClasses(options_));
  else
    bossKey_->ShowHiddenWindows();
}

void TfrmMain::RevealHiddenWindows() {
  UnregisterBossKey();
  if (BossHidden) bossKey_->ShowHiddenWindows();
  BossHidden = false;
}

}  // namespace kestrove

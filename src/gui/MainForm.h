// The main window: the title band, six side buttons, the four pages (Cleaner, Registry,
// Defrag, Tools; each a class of its own), the help menu, page switching, and the
// program's start-up, command-line, automatic-job and close steps.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/OptionsSetting.h"
#include "cleaner/CleanCatalogue.h"
#include "cleaner/CleanerController.h"
#include "gui/CleanerPage.h"
#include "gui/Controls.h"
#include "gui/DefragPage.h"
#include "gui/GuiDesktop.h"
#include "gui/GuiOwnerThread.h"
#include "gui/GuiPrompt.h"
#include "gui/Options.h"
#include "gui/RegistryPage.h"
#include "gui/ToolsPage.h"
#include "regscan/Restore.h"

class QSessionManager;

namespace kestrove {

class TBossKey;

// Window messages the window posts to itself for the command-line jobs.
inline constexpr unsigned WM_AUTOJOBS = 0x5407;
inline constexpr unsigned WM_REGDEFRAG = 0x6426;
inline constexpr unsigned WM_REGSCAN = 0x6427;
// Sent by a later start of the program on the same target (never by the window itself).
inline constexpr unsigned WM_SHOWMAIN = 0x5405;

inline constexpr const char* kTrayTip = "Left Click to activate Kestrove\r\nRight Click to popup menu";
inline constexpr const char* kBossKeyFailed = "The hotkey for Boss Key failed, please try to use other key!";
inline constexpr const char* kBossKeyAtomName = "MyKVRWHotkey_Hide";

// The schedule's period for the stored interval index; an index out of range gives 15 minutes.
int ScheduleIntervalMs(int cleanInterval);

// Tags of the side buttons and pages; the high hexadecimal digit 1 marks a page button.
inline constexpr int kTagCleaner = 17;
inline constexpr int kTagRegistry = 18;
inline constexpr int kTagTools = 19;
inline constexpr int kTagOptions = 20;
inline constexpr int kTagDefrag = 21;
inline constexpr int kTagHelp = 22;

inline constexpr int kClientWidth = 697;
inline constexpr int kClientHeight = 456;
inline constexpr int kMinimumWidth = 626;
inline constexpr int kMinimumHeight = 455;

inline constexpr const char* kWindowsBackupUnavailable =
    "Windows Backup is not available for this system. Use \"Backup Full Registry...\" to save the registry.";
inline constexpr const char* kUnsupportedWindows = "The software does not support the current Windows system!";

struct TMainFormSetup {
  TargetSystem* Target = nullptr;  // required; outlives the window
  std::string ProgramFolder;       // with its trailing separator
  std::vector<std::string> Args;   // the command line after the program's name
  IPrompt* Prompt = nullptr;       // questions and messages; nullptr: message boxes
  // Whether the desktop has a notification area now; unset: Qt is asked each time.
  std::function<bool()> TrayAvailable = nullptr;
};

class TfrmMain : public QWidget {
  Q_OBJECT

 public:
  explicit TfrmMain(const TMainFormSetup& setup, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // ---- Components
  TTitleImage* imgTitle;
  QLabel* lTitle;
  QLabel* lTitleHint;
  TLinkLabel* lUpdate;
  QLabel* iUpdate;
  TFlatButton* bCleaner;
  TFlatButton* bRegistry;
  TFlatButton* bRegistryDefrag;
  TFlatButton* bTools;
  TFlatButton* bOptions;
  TFlatButton* bHelp;
  // The pages, each its own class.
  TCleanerPage* gbCleaner;
  TRegistryPage* gbRegistry;
  TDefragPage* gbDefrag;
  TToolsPage* gbTools;
  QMenu* pmHelp;
  QAction* aHelp;
  QAction* aHomepage;
  QAction* aCheckUpdate;
  QAction* aAbout;
  QTimer* Timer1;

  // ---- Handlers
  void FormCreate();
  void FormShow();
  void FormActivate();
  void FormClose();
  // The layout rules; on show and on every resize.
  void FormResize();
  void FlatButtonClick(TFlatButton* sender);
  void Timer1Timer();
  void bHelpClick();
  void aAboutExecute();
  // The restore dialog, the full registry backup and the Windows backup.
  void bRestoreRegistryClick();
  void bBackupFullRegistryClick();
  void bWindowsBackupClick();
  // The options dialog; on OK the Fast Mode box follows the setting.
  void bOptionsClick();

  // ---- Messages to itself
  void WMAutoJobs();
  void WMRegdefrag();
  void WMRegscan();
  // WM_SYSCOMMAND: SC_MAXIMIZE, and SC_MINIMIZE with lParam 1 (to the notification area).
  void WMSysCommandMaximize();
  void WMSysCommandMinimizeToTray();
  // Session end: true when the session may end (the window then closes).
  bool WMQueryEndSession();

  // ---- Notification area, schedule and boss key
  QSystemTrayIcon* TrayIcon;
  QMenu* pmSelf;
  QAction* miOpen;
  QAction* miHelp;
  QAction* miAbout;
  QAction* miExit;
  QTimer* Timer2;
  bool BossHidden = false;
  std::uint32_t HotkeyAtom = 0;
  // Minimise to the notification area; `addIcon` false for the "/Auto" start, which added
  // the icon at creation. Where the desktop has no notification area the window minimises
  // as any window does and keeps its taskbar entry: hidden, nothing would bring it back.
  void WMSysCommandMinimize(bool addIcon);
  bool TrayAvailable() const;
  // Restore: WM_SHOWMAIN, "&Open" and a left click on the icon.
  void WMShowMain();
  void miOpenClick();
  void miExitClick();
  void TrayIconActivated(QSystemTrayIcon::ActivationReason reason);
  // Timer2 := AutoClean, its interval := ScheduleIntervalMs(CleanInterval). Assigning the
  // values it already has leaves a running count alone. Also called after the options
  // dialog is confirmed.
  void ArmSchedule();
  void Timer2Timer();
  // Registers the boss key from the settings, with the failure message; after the options
  // dialog is confirmed with a changed combination, UnregisterBossKey first.
  void RegisterBossKey();
  void UnregisterBossKey();
  void WMHotkey();
  // Close: the boss key is released and hidden browsers are shown again.
  void RevealHiddenWindows();
  TBossKey& BossKey() { return *bossKey_; }

  // ---- State
  TCleanerController& Cleaner() { return gbCleaner->Cleaner(); }
  TOptionsSetting& Options() { return options_; }
  TCleanCatalogue& Catalogue() { return catalogue_; }
  TScanController& Scanner() { return gbRegistry->Scanner(); }
  ICheckTree& RegistrySections() { return gbRegistry->Sections(); }
  const TCommandLine& CommandLine() const { return commandLine_; }
  std::uint8_t WindowsVersion = 0;
  bool SilentJob = false;
  // The program's exit status: 1 after a job failed in an unattended run, or when its repair
  // left the registry as it was.
  int ExitCode() const { return exitCode_; }
  // The placement the settings store would record now.
  TWindowPlacement CurrentPlacement() const;
  // The page shown now (its tag).
  int ActivePage() const { return activePage_; }

  // What ends the program after the close steps; by default the event loop's exit.
  std::function<void(int exitCode)> OnTerminate;
  // How a web page or file is opened; by default the desktop's browser, without waiting.
  std::function<void(const QString& url)> OnOpenUrl;
  // The manual the help opens; by default FindManual beside the program. Empty: none.
  QString ManualFile;
  // The registry editor runs of the restore dialog and the full backup, on this target.
  TRegeditRunner Regedit;
  // The full backup's save dialog; by default the desktop's. Empty: cancelled.
  std::function<QString()> OnSaveFullBackup;
  // What the options dialog's OK applies besides the settings: the boss key, the schedule,
  // the hot-key test. The settings' save is the window's own.
  TOptionsHooks OptionsHooks;
  // How long the session end waits for the clean it starts.
  std::chrono::milliseconds SessionEndCleanWait{std::chrono::seconds(20)};

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // A minimise from the title bar goes to the notification area.
  void changeEvent(QEvent* event) override;

 private:
  void CreateComponents();
  void CreateTray();
  // Writes the settings with the trees' states and the window's placement; throws
  // EIniFileError.
  void SaveSettings();
  // Help: the manual. The home page and the update check: there is no website, said so.
  void OpenManual();
  void SayNoWebsite(const char* text);
  void PostToSelf(std::function<void()> call);
  void CheckUnattendedEnd();
  void WaitForCleaning(std::chrono::milliseconds limit);
  void ApplyStoredGeometry();
  // Timer1 runs while either page wants it.
  void UpdateTimer1();
  // A clean failed, or its changes could not be saved.
  void CleanJobFailed(const std::string& message);
  // The "/Clear" flag, which both pages' controllers read.
  void SetSkipConfirm(bool skip);
  static TWindowShowState ShowState(const QWidget& window);

  TargetSystem* target_;
  std::function<bool()> trayAvailable_;
  std::string programFolder_;
  TCommandLine commandLine_;
  TOptionsSetting options_;
  TCleanCatalogue catalogue_;
  std::unique_ptr<TQtOwnerThread> owner_;
  std::unique_ptr<TQtPrompt> ownPrompt_;
  IPrompt* prompt_;
  std::unique_ptr<TQtDesktop> desktop_;
  std::unique_ptr<IRegeditProgress> regeditProgress_;
  QTimer* unattendedWatch_ = nullptr;
  int activePage_ = 0;
  int exitCode_ = 0;
  bool shownOnce_ = false;
  bool closed_ = false;
  bool unattended_ = false;
  // Timer1 is shared: the cleaner's job and the scan each want it while they run.
  bool cleanerTimer_ = false;
  bool scanTimer_ = false;
  TBossKey* bossKey_ = nullptr;
};

}  // namespace kestrove

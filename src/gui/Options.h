// The options dialog: every setting of the settings record on five pages, the cookie keep
// list, the registry ignore lists, the boss key's combination and the automatic start. It
// works on a copy of the record; only a completed OK copies it back, saves and applies it.
#pragma once

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/OptionsSetting.h"
#include "app/Prompt.h"
#include "platform/DesktopServices.h"

namespace kestrove {

class TargetSystem;

inline constexpr const char* kNoBackupFolderMessage = "can not find the backup folder.";
inline constexpr const char* kHotkeyBlank = "The hotkey setting cannot be blank.";
inline constexpr const char* kHotkeyAtomFailed = "Hotkey setting failed, please run application again!";
inline constexpr const char* kHotkeyTaken = "The hotkey for Boss Key failed, please try to use other key!";
inline constexpr const char* kBossKeyHidesNothing =
    "The Boss Key would hide nothing: tick at least one type of window to hide with it, or choose "
    "\"Do not use Boss Key\".";
inline constexpr const char* kWipeHint =
    "The more times a file is overwritten,the higher the security,and the longer the wash will take.";

// What OK asks of the main window, which owns the boss key, the schedule and the settings
// file. An unset call is skipped, except TestHotkey: without a hot-key service no
// combination can be registered, so the test fails.
struct TOptionsHooks {
  std::function<void()> UnregisterBossKey;
  std::function<void()> RegisterBossKey;  // from the settings record, already replaced
  std::function<void()> ArmSchedule;      // from the settings record, already replaced
  // Registers the combination as a system-wide hot key and releases it at once; false when
  // it cannot be registered (taken by another program, or no hot-key service).
  std::function<bool(const TShortcut&)> TestHotkey;
  // Writes the settings record (with the trees' states and the window's placement); raises
  // EIniFileError.
  std::function<void()> SaveSettings;
  // Starts the registry editor for browsing; a message for the user when it cannot.
  std::function<std::optional<std::string>(const TargetSystem&)> StartRegedit;
};

// The hot-key field: every key press becomes the combination's text; typed characters are
// swallowed. Tab and Shift+Tab alone move the focus on.
class THotkeyEdit : public QLineEdit {
  Q_OBJECT

 public:
  using QLineEdit::QLineEdit;
  // The Windows virtual-key code of a key event; 0 for a key without one.
  static std::uint16_t VirtualKeyOf(const QKeyEvent& event);

  std::function<void(QKeyEvent*)> OnKeyDown;

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // Text from elsewhere never reaches the field: neither an input method's nor the X
  // selection a middle click would paste.
  void inputMethodEvent(QInputMethodEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// One entry of an ignore list.
class TfrmRegAddRegistry : public QDialog {
  Q_OBJECT

 public:
  TfrmRegAddRegistry(const TargetSystem& target, IPrompt& prompt,
                     std::function<std::optional<std::string>(const TargetSystem&)> startRegedit, QWidget* parent);

  QLabel* lRegistryKey;
  QPushButton* bLaunchRegedit;
  QLineEdit* eRegistryKey;
  QLabel* lHint;
  QAction* aOK;
  QPushButton* bOK;
  QPushButton* bCancel;

  void bLaunchRegeditClick();

 private:
  void UpdateOK();

  const TargetSystem& target_;
  IPrompt& prompt_;
  std::function<std::optional<std::string>(const TargetSystem&)> startRegedit_;
};

class TfrmOptions : public QDialog {
  Q_OBJECT

 public:
  TfrmOptions(TOptionsSetting& options, TargetSystem& target, std::string programFolder, IPrompt& prompt,
              IDesktopServices& desktop, TOptionsHooks hooks, QWidget* parent);
  ~TfrmOptions() override;

  // ---- Components
  QTabWidget* suiPageControl1;
  QWidget* tsCommon;
  QWidget* tsCookies;
  QWidget* tsSchedule;
  QWidget* tsBossKey;
  QWidget* tsIgnore;
  // Common
  QCheckBox* cbFastScan;
  QCheckBox* cbShowLogTempInternetFiles;
  QCheckBox* cbShowLogRecycleBin;
  QCheckBox* cbAutoStart;
  QCheckBox* cbAskClear;
  QCheckBox* cbWipeFile;
  QComboBox* cbWipeNumber;
  QCheckBox* cbCreateRestore;
  QCheckBox* cbDeleteBackupFile;
  QCheckBox* cbIgnoreRemoveMedia;
  QCheckBox* cbIncludeCDdrive;
  QGroupBox* gbOutputFolder;
  QLineEdit* eOutputFolder;
  QPushButton* bBrowse;
  // Cookies
  QListWidget* ListBox1;  // Cookies to Delete
  QListWidget* ListBox2;  // Cookies to Keep
  QPushButton* bAddCookies;
  QPushButton* bRemoveCookies;
  QPushButton* bAddAll;
  QPushButton* bRemoveAll;
  QPushButton* bView;
  // Schedule
  QCheckBox* cbAutoWash;
  QGroupBox* rgWashInterval;
  QButtonGroup* washIntervals;
  QCheckBox* cbStartWash;
  QCheckBox* cbShutdownWash;
  // Boss Key
  QRadioButton* rbNoBossKey;
  QRadioButton* rbBossKey;
  THotkeyEdit* eHide;
  QGroupBox* gbHideWindows;
  QCheckBox* cbIE;
  QCheckBox* cbNetscape;
  QCheckBox* cbOpera;
  QCheckBox* cbFirefox;
  QCheckBox* cbChrome;
  // Ignore Lists
  QTabWidget* pcIgnore;
  QTreeWidget* lvValues;
  QTreeWidget* lvKeys;
  QPushButton* bAdd;
  QPushButton* bEdit;
  QPushButton* bRemove;
  QPushButton* bOK;
  QPushButton* bCancel;

  // ---- Handlers
  void bOKClick();
  void eHideKeyDown(QKeyEvent* event);
  void cbAutoWashClick();
  void cbWipeFileClick();
  void bBrowseClick();
  void bAddCookiesClick();
  void bRemoveCookiesClick();
  void bAddAllClick();
  void bRemoveAllClick();
  void bViewClick();
  void ListBox1DblClick();
  void ListBox2DblClick();
  void bAddClick();
  void bEditClick();
  void bRemoveClick();

  // The dialog's copy of the settings.
  const TOptionsSetting& Copy() const { return copy_; }
  // The cookie folder the lists were built from (host path, trailing separator); empty when
  // there was none.
  const std::string& CookieFolder() const { return cookieFolder_; }

  // The program file the automatic start runs; by default this process's executable.
  std::filesystem::path ProgramFile;
  // Where the desktop's automatic start looks; by default the XDG autostart folder.
  std::filesystem::path AutostartFolder;
  // The folder browser; by default the desktop's. Empty: cancelled.
  std::function<QString()> OnBrowseFolder;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateComponents();
  void FormCreate();
  void FillCookieLists();
  void ReadControls();
  // The hot-key test of OK; false keeps the dialog open.
  bool TestHotkey();
  void ShowError(const std::string& text);
  QTreeWidget* VisibleIgnoreList() const;
  static void AddIgnoreEntry(QTreeWidget* list, const QString& text);
  // Moves the selected entry of `from` to the end of `to`, as the single-move buttons do.
  void MoveSelected(QListWidget* from, QListWidget* to, bool selectLoneEntry);
  void MoveAll(QListWidget* from, QListWidget* to);

  TOptionsSetting& options_;
  TargetSystem& target_;
  std::string programFolder_;
  IPrompt& prompt_;
  IDesktopServices& desktop_;
  TOptionsHooks hooks_;

  TOptionsSetting copy_;
  bool initialEnabled_ = false;
  QString initialText_;
  std::string initialKeyName_;
  std::uint16_t initialKeyCode_ = 0;
  std::string cookieFolder_;
  std::uint16_t testAtom_ = 0;
};

}  // namespace kestrove

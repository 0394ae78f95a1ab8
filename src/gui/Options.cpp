#include "gui/Options.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <system_error>

#include "app/AutoStart.h"
#include "app/CookieKeepList.h"
#include "app/HotkeyText.h"
#include "app/IniFile.h"
#include "gui/x11/BossKey.h"
#include "platform/Env.h"
#include "platform/TargetSystem.h"
#include "regscan/ResultListOps.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxCookieFileBytes = std::size_t{1} << 20;
// The hot-key test's atom. There is no global atom table here; the identifier only has to
// differ from the boss key's own.
constexpr std::uint16_t kTestAtom = 0xC0DE;

const char* const kIntervalNames[] = {"Every 15 minutes", "Every 30 minutes", "Every hour", "Every 4 hours",
                                      "Every 8 hours"};

bool IsFolder(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

// Names in a folder, sorted as Windows lists an NTFS folder; folders flagged.
std::vector<std::pair<std::string, bool>> FolderEntries(const fs::path& folder) {
  std::vector<std::pair<std::string, bool>> entries;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeEc;
    entries.emplace_back(it->path().filename().string(), it->is_directory(typeEc));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// "*.txt" as Windows matches it: the extension without regard to case.
bool MatchesTxt(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".txt";
}

bool HoldsTxtFile(const fs::path& folder) {
  for (const auto& [name, dir] : FolderEntries(folder))
    if (!dir && MatchesTxt(name)) return true;
  return false;
}

}  // namespace


// ---------------------------------------------------------------------------------------
// The hot-key field

std::uint16_t THotkeyEdit::VirtualKeyOf(const QKeyEvent& e) {
  const int key = e.key();
  const bool keypad = e.modifiers() & Qt::KeypadModifier;
  if (keypad) {
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<std::uint16_t>(96 + key - Qt::Key_0);
    switch (key) {
      case Qt::Key_Asterisk: return 106;
      case Qt::Key_Plus: return 107;
      case Qt::Key_Comma: return 108;
      case Qt::Key_Minus: return 109;
      case Qt::Key_Period: return 110;
      case Qt::Key_Slash: return 111;
      default: break;  // with Num Lock off the keypad gives the cursor keys below
    }
  }
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<std::uint16_t>(key);
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<std::uint16_t>(key);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return static_cast<std::uint16_t>(112 + key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 9;
    case Qt::Key_Clear: return 12;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt:
    case Qt::Key_AltGr: return 18;
    case Qt::Key_Pause: return 19;
    case Qt::Key_CapsLock: return 20;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Space: return 32;
    case Qt::Key_PageUp: return 33;
    case Qt::Key_PageDown: return 34;
    case Qt::Key_End: return 35;
    case Qt::Key_Home: return 36;
    case Qt::Key_Left: return 37;
    case Qt::Key_Up: return 38;
    case Qt::Key_Right: return 39;
    case Qt::Key_Down: return 40;
    case Qt::Key_Print:
    case Qt::Key_SysReq: return 44;  // X11 names the key Sys_Req while Alt is held
    case Qt::Key_Insert: return 45;
    case Qt::Key_Delete: return 46;
    case Qt::Key_Help: return 47;
    case Qt::Key_NumLock: return 144;
    case Qt::Key_ScrollLock: return 145;
    default: return 0;
  }
}

bool THotkeyEdit::event(QEvent* e) {
  // Every combination belongs to the field: the dialog's accelerators ("&OK" is Alt+O) and
  // shortcuts must not take it first.
  if (e->type() == QEvent::ShortcutOverride) {
    e->accept();
    return true;
  }
  // Tab and Shift+Tab alone leave the field, as in any dialog: taking them too would keep
  // the keyboard in here. With Ctrl or Alt, Tab is a combination like any other.
  if (e->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(e);
    const bool withCtrlOrAlt = key->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
    if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && withCtrlOrAlt) {
      keyPressEvent(key);
      return true;
    }
  }
  return QLineEdit::event(e);
}

void THotkeyEdit::keyPressEvent(QKeyEvent* e) {
  if (OnKeyDown) OnKeyDown(e);
  e->accept();  // the typed character itself never reaches the text
}

void THotkeyEdit::inputMethodEvent(QInputMethodEvent* e) { e->accept(); }

void THotkeyEdit::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::MiddleButton) {
    e->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(e);
}

// ---------------------------------------------------------------------------------------
// The ignore-list entry dialog

TfrmRegAddRegistry::TfrmRegAddRegistry(const TargetSystem& target, IPrompt& prompt,
                                       std::function<std::optional<std::string>(const TargetSystem&)> startRegedit,
                                       QWidget* parent)
    : QDialog(parent), target_(target), prompt_(prompt), startRegedit_(std::move(startRegedit)) {
  setWindowTitle("Add to Ignore List");
  lRegistryKey = new QLabel("Registry Key", this);
  bLaunchRegedit = new QPushButton("&Launch Registry Editor", this);
  eRegistryKey = new QLineEdit(this);
  lHint = new QLabel("Enter the value or key like: HKEY_CURRENT_USER\\Software\\Microsoft", this);
  aOK = new QAction("&OK", this);
  bOK = new QPushButton(aOK->text(), this);
  bOK->setDefault(true);
  bCancel = new QPushButton("&Cancel", this);

  auto* top = new QHBoxLayout;
  top->addWidget(lRegistryKey);
  top->addStretch();
  top->addWidget(bLaunchRegedit);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(bOK);
  buttons->addWidget(bCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(eRegistryKey);
  layout->addWidget(lHint);
  layout->addLayout(buttons);
  setMinimumWidth(460);
  setFixedHeight(sizeHint().height());

  connect(aOK, &QAction::changed, this, [this] { bOK->setEnabled(aOK->isEnabled()); });
  connect(bOK, &QPushButton::clicked, aOK, &QAction::trigger);
  connect(aOK, &QAction::triggered, this, &QDialog::accept);
  connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(bLaunchRegedit, &QPushButton::clicked, this, [this] { bLaunchRegeditClick(); });
  connect(eRegistryKey, &QLineEdit::textChanged, this, [this] { UpdateOK(); });
  UpdateOK();
}

void TfrmRegAddRegistry::UpdateOK() {
  const bool ok = eRegistryKey->text().toUpper().contains("HKEY_");
  aOK->setEnabled(ok);
  bOK->setEnabled(ok);
}

void TfrmRegAddRegistry::bLaunchRegeditClick() {
  const auto message = startRegedit_ ? startRegedit_(target_) : StartWineRegedit(target_);
  if (message) prompt_.Ask({kProductName, *message, TMsgButtons::Ok, TMsgIcon::Information});
}

// ---------------------------------------------------------------------------------------
// The options dialog

TfrmOptions::TfrmOptions(TOptionsSetting& options, TargetSystem& target, std::string programFolder, IPrompt& prompt,
                         IDesktopServices& desktop, TOptionsHooks hooks, QWidget* parent)
    : QDialog(parent),
      options_(options),
      target_(target),
      programFolder_(std::move(programFolder)),
      prompt_(prompt),
      desktop_(desktop),
      hooks_(std::move(hooks)) {
  ProgramFile = QCoreApplication::applicationFilePath().toStdString();
  AutostartFolder = XdgAutostartFolder();
  OnBrowseFolder = [this] {
    QFileDialog dialog(nullptr, "Please select the directory", eOutputFolder->text());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                    : QString();
  };
  CreateComponents();
  FormCreate();
}

TfrmOptions::~TfrmOptions() = default;

void TfrmOptions::CreateComponents() {
  setWindowTitle("Options");
  suiPageControl1 = new QTabWidget(this);

  // Common
  tsCommon = new QWidget;
  cbFastScan = new QCheckBox("Fast mode, not show detailed log of all cleaner settings", tsCommon);
  cbShowLogTempInternetFiles = new QCheckBox("Show detailed log of Temporary Internet Files", tsCommon);
  cbShowLogRecycleBin = new QCheckBox("Show detailed log of Empty Recycle Bin", tsCommon);
  cbAutoStart = new QCheckBox("Auto run when the computer starts", tsCommon);
  cbAskClear = new QCheckBox("Ask before clearing the item", tsCommon);
  cbWipeFile = new QCheckBox("Overwrite the cleared file,Number of times", tsCommon);
  cbWipeNumber = new QComboBox(tsCommon);
  for (int i = 1; i <= 10; ++i) cbWipeNumber->addItem(QString::number(i));
  cbCreateRestore = new QCheckBox("Create a system restore point before repair (XP, Vista, Seven)", tsCommon);
  cbDeleteBackupFile = new QCheckBox("Delete backup file after restoring the registry on restore dialog", tsCommon);
  cbIgnoreRemoveMedia = new QCheckBox("Ignore missing files on removable drives", tsCommon);
  cbIncludeCDdrive = new QCheckBox("Include all references to CD drive", tsCommon);
  gbOutputFolder = new QGroupBox("Select a destination folder to backup deleted registry entries by repairing", tsCommon);
  eOutputFolder = new QLineEdit(gbOutputFolder);
  bBrowse = new QPushButton("...", gbOutputFolder);
  bBrowse->setFixedWidth(30);
  auto* folderRow = new QHBoxLayout(gbOutputFolder);
  folderRow->addWidget(eOutputFolder);
  folderRow->addWidget(bBrowse);
  auto* wipeRow = new QHBoxLayout;
  wipeRow->addWidget(cbWipeFile);
  wipeRow->addWidget(cbWipeNumber);
  wipeRow->addStretch();
  auto* common = new QVBoxLayout(tsCommon);
  common->setSpacing(4);
  for (QCheckBox* c : {cbFastScan, cbShowLogTempInternetFiles, cbShowLogRecycleBin, cbAutoStart, cbAskClear})
    common->addWidget(c);
  common->addLayout(wipeRow);
  for (QCheckBox* c : {cbCreateRestore, cbDeleteBackupFile, cbIgnoreRemoveMedia, cbIncludeCDdrive}) common->addWidget(c);
  common->addStretch();
  common->addWidget(gbOutputFolder);
  suiPageControl1->addTab(tsCommon, "Common");

  // Cookies
  tsCookies = new QWidget;
  ListBox1 = new QListWidget(tsCookies);
  ListBox2 = new QListWidget(tsCookies);
  for (QListWidget* l : {ListBox1, ListBox2}) l->setSelectionMode(QAbstractItemView::SingleSelection);
  bAddCookies = new QPushButton("Add         =>", tsCookies);
  bRemoveCookies = new QPushButton("Remove <=", tsCookies);
  bAddAll = new QPushButton("Add All    =>", tsCookies);
  bRemoveAll = new QPushButton("Remove All <=", tsCookies);
  bView = new QPushButton("&View", tsCookies);
  auto* cookieButtons = new QVBoxLayout;
  cookieButtons->addStretch();
  for (QPushButton* b : {bAddCookies, bRemoveCookies, bAddAll, bRemoveAll}) {
    b->setMinimumWidth(100);
    cookieButtons->addWidget(b);
  }
  cookieButtons->addSpacing(16);
  cookieButtons->addWidget(bView);
  cookieButtons->addStretch();
  auto* cookies = new QGridLayout(tsCookies);
  cookies->addWidget(new QLabel("Cookies to Delete", tsCookies), 0, 0);
  cookies->addWidget(new QLabel("Cookies to Keep", tsCookies), 0, 2);
  cookies->addWidget(ListBox1, 1, 0);
  cookies->addLayout(cookieButtons, 1, 1);
  cookies->addWidget(ListBox2, 1, 2);
  suiPageControl1->addTab(tsCookies, "Cookies");
  // Left to right as the page reads: the list, the buttons between the lists, the other list.
  QWidget* previous = ListBox1;
  for (QWidget* w : std::initializer_list<QWidget*>{bAddCookies, bRemoveCookies, bAddAll, bRemoveAll, bView, ListBox2}) {
    setTabOrder(previous, w);
    previous = w;
  }

  // Schedule
  tsSchedule = new QWidget;
  cbAutoWash = new QCheckBox("Automatic clean enabled", tsSchedule);
  rgWashInterval = new QGroupBox("Time Intervals", tsSchedule);
  washIntervals = new QButtonGroup(this);
  auto* intervals = new QGridLayout(rgWashInterval);
  // Two columns, filled down the first column first.
  for (int i = 0; i < 5; ++i) {
    auto* r = new QRadioButton(kIntervalNames[i], rgWashInterval);
    washIntervals->addButton(r, i);
    intervals->addWidget(r, i % 3, i / 3);
  }
  cbStartWash = new QCheckBox("Clean when Windows start", tsSchedule);
  cbShutdownWash = new QCheckBox("Clean when Windows shut down", tsSchedule);
  auto* schedule = new QVBoxLayout(tsSchedule);
  schedule->addWidget(cbAutoWash);
  schedule->addWidget(rgWashInterval);
  schedule->addWidget(cbStartWash);
  schedule->addWidget(cbShutdownWash);
  schedule->addStretch();
  suiPageControl1->addTab(tsSchedule, "Schedule");

  // Boss Key
  tsBossKey = new QWidget;
  rbNoBossKey = new QRadioButton("Do not use Boss Key", tsBossKey);
  rbBossKey = new QRadioButton("Assign Boss Key to this hotkey", tsBossKey);
  eHide = new THotkeyEdit(tsBossKey);
  eHide->setContextMenuPolicy(Qt::NoContextMenu);
  eHide->setAcceptDrops(false);
  gbHideWindows = new QGroupBox("Hide these types of windows with Boss Key", tsBossKey);
  cbIE = new QCheckBox("Internet Explorer", gbHideWindows);
  cbNetscape = new QCheckBox("Netscape", gbHideWindows);
  cbOpera = new QCheckBox("Opera", gbHideWindows);
  cbFirefox = new QCheckBox("Mozilla Firefox", gbHideWindows);
  cbChrome = new QCheckBox("Google Chrome", gbHideWindows);
  cbChrome->setToolTip("Google Chrome and Chromium");
  auto* browsers = new QGridLayout(gbHideWindows);
  browsers->addWidget(cbIE, 0, 0);
  browsers->addWidget(cbNetscape, 0, 1);
  browsers->addWidget(cbOpera, 1, 0);
  browsers->addWidget(cbFirefox, 1, 1);
  browsers->addWidget(cbChrome, 2, 0);
  auto* hotkeyRow = new QHBoxLayout;
  hotkeyRow->addSpacing(20);
  hotkeyRow->addWidget(eHide);
  hotkeyRow->addStretch();
  eHide->setMinimumWidth(220);
  auto* boss = new QVBoxLayout(tsBossKey);
  boss->addWidget(rbNoBossKey);
  boss->addWidget(rbBossKey);
  boss->addLayout(hotkeyRow);
  boss->addSpacing(8);
  boss->addWidget(gbHideWindows);
  boss->addStretch();
  suiPageControl1->addTab(tsBossKey, "Boss Key");

  // Ignore Lists
  tsIgnore = new QWidget;
  pcIgnore = new QTabWidget(tsIgnore);
  lvValues = new QTreeWidget;
  lvKeys = new QTreeWidget;
  for (QTreeWidget* l : {lvValues, lvKeys}) {
    l->setHeaderLabels({"Items"});
    l->setRootIsDecorated(false);
    l->setSelectionMode(QAbstractItemView::SingleSelection);
    l->setEditTriggers(QAbstractItemView::NoEditTriggers);
  }
  pcIgnore->addTab(lvValues, "Values");
  pcIgnore->addTab(lvKeys, "Keys");
  bAdd = new QPushButton("&Add", tsIgnore);
  bEdit = new QPushButton("&Edit", tsIgnore);
  bRemove = new QPushButton("&Remove", tsIgnore);
  auto* ignoreButtons = new QHBoxLayout;
  ignoreButtons->addStretch();
  for (QPushButton* b : {bAdd, bEdit, bRemove}) ignoreButtons->addWidget(b);
  auto* ignore = new QVBoxLayout(tsIgnore);
  ignore->addWidget(new QLabel("The following registry values and keys will be ignored:", tsIgnore));
  ignore->addWidget(pcIgnore);
  ignore->addLayout(ignoreButtons);
  suiPageControl1->addTab(tsIgnore, "Ignore Lists");

  bOK = new QPushButton("&OK", this);
  bOK->setDefault(true);
  bCancel = new QPushButton("&Cancel", this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(bOK);
  buttons->addWidget(bCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(suiPageControl1);
  layout->addLayout(buttons);
  // A fixed dialog border.
  setFixedSize(std::max(520, sizeHint().width()), std::max(440, sizeHint().height()));

  connect(bOK, &QPushButton::clicked, this, [this] { bOKClick(); });
  connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(bBrowse, &QPushButton::clicked, this, [this] { bBrowseClick(); });
  connect(cbAutoWash, &QCheckBox::clicked, this, [this] { cbAutoWashClick(); });
  connect(cbWipeFile, &QCheckBox::clicked, this, [this] { cbWipeFileClick(); });
  cbWipeFile->installEventFilter(this);
  eHide->OnKeyDown = [this](QKeyEvent* e) { eHideKeyDown(e); };
  connect(bAddCookies, &QPushButton::clicked, this, [this] { bAddCookiesClick(); });
  connect(bRemoveCookies, &QPushButton::clicked, this, [this] { bRemoveCookiesClick(); });
  connect(bAddAll, &QPushButton::clicked, this, [this] { bAddAllClick(); });
  connect(bRemoveAll, &QPushButton::clicked, this, [this] { bRemoveAllClick(); });
  connect(bView, &QPushButton::clicked, this, [this] { bViewClick(); });
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { ListBox1DblClick(); });
  connect(ListBox2, &QListWidget::itemDoubleClicked, this, [this] { ListBox2DblClick(); });
  connect(bAdd, &QPushButton::clicked, this, [this] { bAddClick(); });
  connect(bEdit, &QPushButton::clicked, this, [this] { bEditClick(); });
  connect(bRemove, &QPushButton::clicked, this, [this] { bRemoveClick(); });
}

void TfrmOptions::FormCreate() {
  // 1.
  copy_ = options_;
  // 2.
  cbFastScan->setChecked(copy_.FastScan);
  cbShowLogTempInternetFiles->setChecked(copy_.ShowLogTempInternetFiles);
  cbShowLogRecycleBin->setChecked(copy_.ShowLogRecycleBin);
  cbAskClear->setChecked(copy_.IsAskBeforeClear);
  cbWipeFile->setChecked(copy_.IsWipeFile);
  cbWipeNumber->setCurrentIndex(std::clamp(copy_.WipeNumber, 1, 10) - 1);
  cbCreateRestore->setChecked(copy_.RestorePoint);
  cbDeleteBackupFile->setChecked(copy_.DeleteBackupFile);
  cbIgnoreRemoveMedia->setChecked(copy_.IncludeRemoveMedia);
  cbIncludeCDdrive->setChecked(copy_.IncludeCDdrive);
  cbAutoWash->setChecked(copy_.AutoClean);
  // No item selected for an index outside 0 to 4.
  washIntervals->setExclusive(false);
  for (QAbstractButton* b : washIntervals->buttons()) b->setChecked(washIntervals->id(b) == copy_.CleanInterval);
  washIntervals->setExclusive(true);
  cbStartWash->setChecked(copy_.StartClean);
  cbShutdownWash->setChecked(copy_.ShutdownClean);
  rbBossKey->setChecked(copy_.EnableHotkey);
  rbNoBossKey->setChecked(!copy_.EnableHotkey);
  eHide->setText(QString::fromStdString(HotkeyDisplayText(copy_.Hotkey)));
  cbIE->setChecked(copy_.EnableIE);
  cbNetscape->setChecked(copy_.EnableNetscape);
  cbOpera->setChecked(copy_.EnableOpera);
  cbFirefox->setChecked(copy_.EnableFirefox);
  cbChrome->setChecked(copy_.EnableChrome);
  cbAutoWashClick();
  cbWipeFileClick();
  cbAutoStart->setChecked(AutoStartEnabled(target_, AutostartFolder));
  eOutputFolder->setText(QString::fromStdString(copy_.OutputDirectory));
  for (const std::string& v : copy_.IgnoreValues) AddIgnoreEntry(lvValues, QString::fromStdString(v));
  for (const std::string& k : copy_.IgnoreKeys) AddIgnoreEntry(lvKeys, QString::fromStdString(k));
  // 3.
  initialEnabled_ = copy_.EnableHotkey;
  initialText_ = eHide->text();
  initialKeyName_ = copy_.Hotkey.CharString;
  initialKeyCode_ = copy_.Hotkey.CharAscII;
  // 4.
  suiPageControl1->setCurrentWidget(tsCommon);
  // 5-8.
  FillCookieLists();
}

void TfrmOptions::FillCookieLists() {
  // 5.
  desktop_.EndBrowserSession();
  const fs::path keepFile = fs::path(programFolder_) / kCookieKeepListFile;
  std::error_code ec;
  if (fs::exists(keepFile, ec)) {
    try {
      for (const std::string& name : CookieKeepListNames(keepFile)) ListBox2->addItem(QString::fromStdString(name));
    } catch (const EIniFileError&) {
      // A keep list that cannot be read starts empty.
    }
  }
  std::optional<fs::path> folder;
  if (const auto cookies = target_.ShellFolder("Cookies")) folder = target_.HostPath(*cookies);
  // 6.
  if (!folder || !IsFolder(*folder)) {
    folder = target_.HostPath("c:\\windows\\cookies");
    if (!folder || !IsFolder(*folder)) return;
  }
  // 7. Protected mode keeps its cookies in "Low".
  const fs::path low = *folder / "Low";
  if (IsFolder(low) && !HoldsTxtFile(*folder) && HoldsTxtFile(low)) folder = low;
  cookieFolder_ = folder->string();
  if (cookieFolder_.back() != '/') cookieFolder_ += '/';
  // 8.
  std::vector<std::string> keep;
  for (int i = 0; i < ListBox2->count(); ++i) keep.push_back(ListBox2->item(i)->text().toStdString());
  for (const auto& [name, dir] : FolderEntries(*folder)) {
    if (dir || name.find(".txt") == std::string::npos) continue;
    if (std::find(keep.begin(), keep.end(), name) != keep.end()) continue;
    ListBox1->addItem(QString::fromStdString(name));
  }
}

void TfrmOptions::AddIgnoreEntry(QTreeWidget* list, const QString& text) {
  auto* item = new QTreeWidgetItem(list);
  item->setText(0, text);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(0, Qt::Unchecked);
}

// ---------------------------------------------------------------------------------------
// Common and Schedule

void TfrmOptions::cbAutoWashClick() {
  for (QAbstractButton* b : washIntervals->buttons()) b->setEnabled(cbAutoWash->isChecked());
}

void TfrmOptions::cbWipeFileClick() {
  if (cbWipeFile->isChecked()) {
    cbWipeFile->setToolTip(kWipeHint);
    if (cbWipeFile->underMouse()) QToolTip::showText(QCursor::pos(), kWipeHint, cbWipeFile);
  } else {
    cbWipeFile->setToolTip(QString());
    QToolTip::hideText();
  }
}

// While the box is checked its hint shows at once, without the usual delay.
bool TfrmOptions::eventFilter(QObject* watched, QEvent* event) {
  if (watched == cbWipeFile && event->type() == QEvent::Enter && cbWipeFile->isChecked())
    QToolTip::showText(QCursor::pos(), kWipeHint, cbWipeFile);
  return QDialog::eventFilter(watched, event);
}

void TfrmOptions::bBrowseClick() {
  const QString chosen = OnBrowseFolder ? OnBrowseFolder() : QString();
  if (!chosen.isEmpty()) eOutputFolder->setText(chosen);
}

// ---------------------------------------------------------------------------------------
// Boss Key

void TfrmOptions::eHideKeyDown(QKeyEvent* e) {
  const std::uint16_t vk = THotkeyEdit::VirtualKeyOf(*e);
  const Qt::KeyboardModifiers m = e->modifiers();
  // A modifier pressed alone is held, whatever the event's own modifier state says.
  const bool ctrl = (m & Qt::ControlModifier) || vk == 17;
  const bool shift = (m & Qt::ShiftModifier) || vk == 16;
  const bool alt = (m & Qt::AltModifier) || vk == 18;
  // 1.
  std::string text = HotkeyModifierText(ctrl, shift, alt);
  // 2.
  bool known = false;
  const std::string name = HotkeyKeyName(vk, &known);
  if (!known) text.clear();
  eHide->setText(QString::fromStdString(text + name));
  // 3.
  copy_.Hotkey.CharString = name;
  copy_.Hotkey.CharAscII = (vk >= 16 && vk <= 18) || !known ? 0 : vk;
}

bool TfrmOptions::TestHotkey() {
  // 1.
  if (eHide->text().isEmpty()) {
    ShowError(kHotkeyBlank);
    return false;
  }
  // 2. Adding the test atom cannot fail here (see kTestAtom).
  testAtom_ = kTestAtom;
  // 3.
  if (eHide->text() != initialText_) {
    const bool registered = hooks_.TestHotkey && hooks_.TestHotkey(copy_.Hotkey);
    if (!registered) {
      ShowError(kHotkeyTaken);
      eHide->setText(initialText_);
      ReadControls();
      copy_.Hotkey.CharString = initialKeyName_;
      copy_.Hotkey.CharAscII = initialKeyCode_;
      testAtom_ = 0;
      return false;
    }
    initialKeyName_ = copy_.Hotkey.CharString;
    initialKeyCode_ = copy_.Hotkey.CharAscII;
  }
  // 4.
  testAtom_ = 0;
  return true;
}

void TfrmOptions::ShowError(const std::string& text) {
  prompt_.Ask({kProductName, text, TMsgButtons::Ok, TMsgIcon::Error});
}

// ---------------------------------------------------------------------------------------
// Cookies

void TfrmOptions::MoveSelected(QListWidget* from, QListWidget* to, bool selectLoneEntry) {
  QListWidgetItem* item = from->currentItem();
  if (!item || !item->isSelected()) return;
  const int index = from->row(item);
  to->addItem(item->text());
  to->setCurrentRow(0);
  // The next entry, or the first when the moved one was the last.
  const int next = index + 1 < from->count() ? index + 1 : 0;
  if (next != index) from->setCurrentRow(next);
  delete from->takeItem(index);
  if (selectLoneEntry && to->count() == 1) to->setCurrentRow(0);
}

void TfrmOptions::MoveAll(QListWidget* from, QListWidget* to) {
  for (int i = 0; i < from->count(); ++i) to->addItem(from->item(i)->text());
  if (to->count() > 0) to->setCurrentRow(0);
  from->clear();
}

void TfrmOptions::bAddCookiesClick() { MoveSelected(ListBox1, ListBox2, false); }
void TfrmOptions::bRemoveCookiesClick() { MoveSelected(ListBox2, ListBox1, true); }
void TfrmOptions::bAddAllClick() { MoveAll(ListBox1, ListBox2); }
void TfrmOptions::bRemoveAllClick() { MoveAll(ListBox2, ListBox1); }
void TfrmOptions::ListBox1DblClick() { bAddCookiesClick(); }
void TfrmOptions::ListBox2DblClick() { bRemoveCookiesClick(); }

void TfrmOptions::bViewClick() {
  QListWidgetItem* item = ListBox1->currentItem();
  if (!item || !item->isSelected() || cookieFolder_.empty()) return;
  const std::string name = item->text().toStdString();
  std::string error;
  const auto contents = ReadInputFile(fs::path(cookieFolder_) / name, kMaxCookieFileBytes, error);
  if (!contents) return;
  std::string text;
  std::size_t start = 0;
  while (start < contents->size()) {
    std::size_t end = contents->find('\n', start);
    if (end == std::string::npos) end = contents->size();
    std::string line = contents->substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    text += "\n" + line;
    start = end + 1;
  }
  prompt_.Ask({name, text, TMsgButtons::Ok, TMsgIcon::Information});
}

// ---------------------------------------------------------------------------------------
// Ignore lists

QTreeWidget* TfrmOptions::VisibleIgnoreList() const {
  return pcIgnore->currentWidget() == lvKeys ? lvKeys : lvValues;
}

void TfrmOptions::bAddClick() {
  QTreeWidget* list = VisibleIgnoreList();
  TfrmRegAddRegistry add(target_, prompt_, hooks_.StartRegedit, this);
  if (add.exec() == QDialog::Accepted) AddIgnoreEntry(list, add.eRegistryKey->text());
}

void TfrmOptions::bEditClick() {
  QTreeWidget* list = VisibleIgnoreList();
  QTreeWidgetItem* item = list->currentItem();
  if (!item || !item->isSelected()) return;
  TfrmRegAddRegistry edit(target_, prompt_, hooks_.StartRegedit, this);
  edit.eRegistryKey->setText(item->text(0));
  if (edit.exec() == QDialog::Accepted) item->setText(0, edit.eRegistryKey->text());
}

void TfrmOptions::bRemoveClick() {
  QTreeWidget* list = VisibleIgnoreList();
  for (int i = list->topLevelItemCount() - 1; i >= 0; --i)
    if (list->topLevelItem(i)->checkState(0) == Qt::Checked) delete list->takeTopLevelItem(i);
}

// ---------------------------------------------------------------------------------------
// OK

void TfrmOptions::ReadControls() {
  copy_.FastScan = cbFastScan->isChecked();
  copy_.ShowLogTempInternetFiles = cbShowLogTempInternetFiles->isChecked();
  copy_.ShowLogRecycleBin = cbShowLogRecycleBin->isChecked();
  copy_.IsAskBeforeClear = cbAskClear->isChecked();
  copy_.IsWipeFile = cbWipeFile->isChecked();
  copy_.WipeNumber = cbWipeNumber->currentIndex() + 1;
  copy_.RestorePoint = cbCreateRestore->isChecked();
  copy_.DeleteBackupFile = cbDeleteBackupFile->isChecked();
  copy_.IncludeRemoveMedia = cbIgnoreRemoveMedia->isChecked();
  copy_.IncludeCDdrive = cbIncludeCDdrive->isChecked();
  copy_.AutoClean = cbAutoWash->isChecked();
  copy_.CleanInterval = washIntervals->checkedId();  // -1 with none chosen
  copy_.StartClean = cbStartWash->isChecked();
  copy_.ShutdownClean = cbShutdownWash->isChecked();
  copy_.EnableHotkey = !rbNoBossKey->isChecked();
  const QString hotkey = eHide->text();
  copy_.Hotkey.IsCtrl = hotkey.contains("Ctrl");
  copy_.Hotkey.IsShift = hotkey.contains("Shift");
  copy_.Hotkey.IsAlt = hotkey.contains("Alt");
  copy_.EnableIE = cbIE->isChecked();
  copy_.EnableNetscape = cbNetscape->isChecked();
  copy_.EnableOpera = cbOpera->isChecked();
  copy_.EnableFirefox = cbFirefox->isChecked();
  copy_.EnableChrome = cbChrome->isChecked();
  copy_.OutputDirectory = eOutputFolder->text().toStdString();
  copy_.IgnoreValues.clear();
  for (int i = 0; i < lvValues->topLevelItemCount(); ++i)
    copy_.IgnoreValues.push_back(lvValues->topLevelItem(i)->text(0).toStdString());
  copy_.IgnoreValueCount = static_cast<std::int32_t>(copy_.IgnoreValues.size());
  copy_.IgnoreKeys.clear();
  for (int i = 0; i < lvKeys->topLevelItemCount(); ++i)
    copy_.IgnoreKeys.push_back(lvKeys->topLevelItem(i)->text(0).toStdString());
  copy_.IgnoreKeyCount = static_cast<std::int32_t>(copy_.IgnoreKeys.size());
}

void TfrmOptions::bOKClick() {
  // 1. The program's own backup folder, the default, is made on first use, as an
  // installation would have it; a folder the user typed must exist.
  const QString folder = eOutputFolder->text();
  const auto normal = [](const fs::path& p) {
    const fs::path n = p.lexically_normal();
    return n.has_filename() ? n : n.parent_path();
  };
  const fs::path ownBackup = normal(fs::path(programFolder_) / "Backup");
  if (!programFolder_.empty() && normal(fs::path(folder.toStdString())) == ownBackup && !IsFolder(ownBackup)) {
    std::error_code ec;
    fs::create_directory(ownBackup, ec);
  }
  if (folder.isEmpty() || !IsFolder(fs::path(folder.toStdString()))) {
    ShowError(std::string(kNoBackupFolderMessage) + "," + folder.toStdString());
    suiPageControl1->setCurrentWidget(tsCommon);
    eOutputFolder->setFocus();
    return;
  }
  // 2.
  ReadControls();
  // 3.
  const bool useBossKey = !rbNoBossKey->isChecked();
  const bool changed = useBossKey != initialEnabled_ || (useBossKey && eHide->text() != initialText_);
  if (changed && useBossKey && !TestHotkey()) return;
  // A boss key with no type of window ticked would answer every press by doing nothing.
  if (copy_.EnableHotkey && BossKeyWindowClasses(copy_).empty()) {
    ShowError(kBossKeyHidesNothing);
    suiPageControl1->setCurrentWidget(tsBossKey);
    cbIE->setFocus();
    return;
  }
  // 4.
  options_ = copy_;
  // 5.
  if (changed) {
    if (hooks_.UnregisterBossKey) hooks_.UnregisterBossKey();
    if (options_.EnableHotkey && hooks_.RegisterBossKey) hooks_.RegisterBossKey();
  }
  // 6.
  if (hooks_.ArmSchedule) hooks_.ArmSchedule();
  // 7. Cleaning at start needs the automatic start.
  if (options_.StartClean) cbAutoStart->setChecked(true);
  try {
    // 8.
    SetAutoStart(target_, cbAutoStart->isChecked(), ProgramFile, AutostartFolder, programFolder_);
    // 9.
    if (hooks_.SaveSettings) hooks_.SaveSettings();
    // 10.
    std::vector<std::string> keep;
    for (int i = 0; i < ListBox2->count(); ++i) keep.push_back(ListBox2->item(i)->text().toStdString());
    WriteCookieKeepList(fs::path(programFolder_) / kCookieKeepListFile, keep);
  } catch (const std::exception& e) {
    // The settings record has been replaced already; the dialog stays open.
    ShowError(e.what());
    return;
  }
  // 11.
  accept();
}

}  // namespace kestrove

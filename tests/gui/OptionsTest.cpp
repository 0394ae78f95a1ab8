// The options dialog: every field from options.ini into the controls and back, Cancel and a
// refused OK that leave everything as it was, the hot-key field's texts, the cookie keep
// list, the ignore lists as the next scan sees them, and the automatic start.
#include <QComboBox>
#include <QInputMethodEvent>

#include "app/AutoStart.h"
#include "app/CookieKeepList.h"
#include "app/IniFile.h"
#include "gui/GuiTestSupport.h"
#include "gui/Options.h"
#include "gui/x11/BossKey.h"
#include "platform/TRegistry.h"

namespace kestrove::testing {

namespace {

namespace fs = std::filesystem;

// Opens the dialog from the main window's Options button and runs `act` in it; a dialog
// still open afterwards is cancelled.
void WithOptionsDialog(TfrmMain& form, const std::function<void(TfrmOptions*)>& act) {
  bool ran = false;
  auto watch = WhenModalOpens<TfrmOptions>([&](TfrmOptions* d) {
    ran = true;
    act(d);
    if (d->isVisible()) d->reject();
  });
  QTest::mouseClick(form.bOptions, Qt::LeftButton);
  QVERIFY(ran);
}

// The XDG autostart folder of a test: inside its own folder, never the user's.
class TAutostartHome {
 public:
  explicit TAutostartHome(const fs::path& dir) : dir_(dir / "xdg") { qputenv("XDG_CONFIG_HOME", QByteArray(dir_.c_str())); }
  ~TAutostartHome() { qunsetenv("XDG_CONFIG_HOME"); }
  fs::path Entry(TargetSystem& target) const { return dir_ / "autostart" / AutostartEntryName(target); }

 private:
  fs::path dir_;
};

std::vector<std::string> Items(const QListWidget* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->count(); ++i) out.push_back(list->item(i)->text().toStdString());
  return out;
}

QTreeWidgetItem* Entry(QTreeWidget* list, int i) { return list->topLevelItem(i); }

}  // namespace

class TOptionsTest : public QObject {
  Q_OBJECT

 private slots:
  void testEveryFieldLoadsFromAndSavesToOptionsIni() {
    TGuiWorld world;
    TAutostartHome xdg(world.home.path());
    const fs::path folderA = world.home.path() / "backup A";
    const fs::path folderB = world.home.path() / "backup B";
    fs::create_directories(folderA);
    fs::create_directories(folderB);
    WriteText(world.home.path() / "options.ini",
              "[Options]\nIsAskBeforeClear=0\nIsWipeFile=1\nWipeNumber=7\nOutputDirectory=" + folderA.string() +
                  "\nDeleteBackupFile=0\nIncludeRemoveMedia=0\nIncludeCDdrive=1\nRestorePoint=1\n"
                  "[Hotkey]\nEnableHotkey=1\nIsCtrl=1\nIsShift=0\nIsAlt=1\nCharString=F12\nCharAscII=123\n"
                  "EnableIE=1\nEnableNetscape=0\nEnableFirefox=1\nEnableOpera=0\n"
                  "[SChedule]\nAutoClean=1\nCleanInterval=3\nStartClean=0\nShutdownClean=1\n"
                  "[Settings]\nShowLogTempInternetFiles=1\nShowLogRecycleBin=0\nFastScan=0\n"
                  "[IgnoreValue]\nCount=2\nValue1=HKEY_CURRENT_USER\\A\\v\nValue2=HKEY_LOCAL_MACHINE\\B\\w\n"
                  "[IgnoreKey]\nCount=1\nKey1=HKEY_CURRENT_USER\\Software\\K\n");
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    std::vector<std::string> calls;
    form->OptionsHooks.UnregisterBossKey = [&] { calls.push_back("unregister"); };
    form->OptionsHooks.RegisterBossKey = [&] { calls.push_back("register " + form->Options().Hotkey.CharString); };
    form->OptionsHooks.ArmSchedule = [&] { calls.push_back("arm " + std::to_string(form->Options().CleanInterval)); };
    form->OptionsHooks.TestHotkey = [&](const TShortcut& s) {
      calls.push_back("test " + s.CharString);
      return true;
    };

    WithOptionsDialog(*form, [&](TfrmOptions* d) {
      QCOMPARE(d->windowTitle(), QString("Options"));
      QVERIFY(d->suiPageControl1->currentWidget() == d->tsCommon);
      // Loaded: every control shows the file's value.
      QVERIFY(!d->cbFastScan->isChecked() && d->cbShowLogTempInternetFiles->isChecked());
      QVERIFY(!d->cbShowLogRecycleBin->isChecked() && !d->cbAskClear->isChecked() && d->cbWipeFile->isChecked());
      QCOMPARE(d->cbWipeNumber->currentText(), QString("7"));
      QVERIFY(d->cbCreateRestore->isChecked() && !d->cbDeleteBackupFile->isChecked());
      QVERIFY(!d->cbIgnoreRemoveMedia->isChecked() && d->cbIncludeCDdrive->isChecked());
      QCOMPARE(d->eOutputFolder->text().toStdString(), folderA.string());
      QVERIFY(d->cbAutoWash->isChecked() && d->washIntervals->checkedId() == 3);
      QVERIFY(d->washIntervals->button(0)->isEnabled());
      QVERIFY(!d->cbStartWash->isChecked() && d->cbShutdownWash->isChecked());
      QVERIFY(d->rbBossKey->isChecked() && !d->rbNoBossKey->isChecked());
      QCOMPARE(d->eHide->text(), QString("Ctrl  Alt  F12"));
      QVERIFY(d->cbIE->isChecked() && !d->cbNetscape->isChecked() && d->cbFirefox->isChecked() && !d->cbOpera->isChecked());
      QCOMPARE(d->lvValues->topLevelItemCount(), 2);
      QCOMPARE(Entry(d->lvValues, 1)->text(0), QString("HKEY_LOCAL_MACHINE\\B\\w"));
      QCOMPARE(Entry(d->lvKeys, 0)->text(0), QString("HKEY_CURRENT_USER\\Software\\K"));
      QVERIFY(!d->cbAutoStart->isChecked());

      // Every control changed; a wipe count and an interval by the user's clicks.
      for (QCheckBox* c : {d->cbFastScan, d->cbShowLogTempInternetFiles, d->cbShowLogRecycleBin, d->cbAskClear,
                           d->cbWipeFile, d->cbCreateRestore, d->cbDeleteBackupFile, d->cbIgnoreRemoveMedia,
                           d->cbIncludeCDdrive, d->cbAutoWash, d->cbShutdownWash, d->cbIE, d->cbNetscape,
                           d->cbFirefox, d->cbOpera})
        QTest::mouseClick(c, Qt::LeftButton, Qt::NoModifier, QPoint(8, c->height() / 2));
      QVERIFY(!d->washIntervals->button(0)->isEnabled());  // the schedule is off now
      QTest::mouseClick(d->cbAutoWash, Qt::LeftButton, Qt::NoModifier, QPoint(8, d->cbAutoWash->height() / 2));
      d->washIntervals->button(4)->click();
      d->cbWipeNumber->setCurrentIndex(1);
      d->eOutputFolder->setText(QString::fromStdString(folderB.string()));
      // Alt+O is a combination here, not the OK button's accelerator.
      d->eHide->setFocus();
      QTest::keyClick(d->eHide, Qt::Key_O, Qt::AltModifier);
      QCOMPARE(d->eHide->text(), QString("Alt  O"));
      QVERIFY(d->isVisible());
      QTest::keyClick(d->eHide, Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier);
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(!d->isVisible());
    });

    // Saved: every key of the file holds the new value.
    const TIniFile ini(world.home.path() / "options.ini");
    auto b = [&](const char* s, const char* k) { return ini.ReadInteger(s, k, -1); };
    QCOMPARE(b("Settings", "FastScan"), 1);
    QCOMPARE(b("Settings", "ShowLogTempInternetFiles"), 0);
    QCOMPARE(b("Settings", "ShowLogRecycleBin"), 1);
    QCOMPARE(b("Options", "IsAskBeforeClear"), 1);
    QCOMPARE(b("Options", "IsWipeFile"), 0);
    QCOMPARE(b("Options", "WipeNumber"), 2);
    QCOMPARE(b("Options", "RestorePoint"), 0);
    QCOMPARE(b("Options", "DeleteBackupFile"), 1);
    QCOMPARE(b("Options", "IncludeRemoveMedia"), 1);
    QCOMPARE(b("Options", "IncludeCDdrive"), 0);
    QCOMPARE(ini.ReadString("Options", "OutputDirectory", ""), folderB.string());
    QCOMPARE(b("SChedule", "AutoClean"), 1);
    QCOMPARE(b("SChedule", "CleanInterval"), 4);
    QCOMPARE(b("SChedule", "StartClean"), 0);
    QCOMPARE(b("SChedule", "ShutdownClean"), 0);
    QCOMPARE(b("Hotkey", "EnableHotkey"), 1);
    QCOMPARE(b("Hotkey", "IsCtrl"), 1);
    QCOMPARE(b("Hotkey", "IsShift"), 1);
    QCOMPARE(b("Hotkey", "IsAlt"), 0);
    QCOMPARE(ini.ReadString("Hotkey", "CharString", ""), std::string("F5"));
    QCOMPARE(b("Hotkey", "CharAscII"), 116);
    QCOMPARE(b("Hotkey", "EnableIE"), 0);
    QCOMPARE(b("Hotkey", "EnableNetscape"), 1);
    QCOMPARE(b("Hotkey", "EnableFirefox"), 0);
    QCOMPARE(b("Hotkey", "EnableOpera"), 1);
    QCOMPARE(b("IgnoreValue", "Count"), 2);
    QCOMPARE(ini.ReadString("IgnoreValue", "Value2", ""), std::string("HKEY_LOCAL_MACHINE\\B\\w"));
    QCOMPARE(b("IgnoreKey", "Count"), 1);
    // The window's Fast Mode box follows; the boss key and the schedule are applied in order.
    QVERIFY(form->gbCleaner->cbFastMode->isChecked());
    QCOMPARE(calls, (std::vector<std::string>{"test F5", "unregister", "register F5", "arm 4"}));
    QCOMPARE(form->Options().IgnoreValueCount, 2);
    form->close();
  }

  void testCancelAndARefusedOkChangeNothing() {
    TGuiWorld world;
    TAutostartHome xdg(world.home.path());
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->close();  // writes options.ini
    const std::string before = ReadText(world.home.path() / "options.ini");
    QVERIFY(!before.empty());
    auto again = world.MakeForm();
    again->show();
    QVERIFY(QTest::qWaitForWindowExposed(again.get()));
    const TOptionsSetting record = again->Options();
    int tests = 0;
    again->OptionsHooks.TestHotkey = [&](const TShortcut&) {
      ++tests;
      return false;  // the combination is taken
    };

    WithOptionsDialog(*again, [&](TfrmOptions* d) {
      d->cbFastScan->click();
      d->cbStartWash->click();
      QTest::mouseClick(d->bCancel, Qt::LeftButton);
      QVERIFY(!d->isVisible());
    });
    WithOptionsDialog(*again, [&](TfrmOptions* d) {
      // A backup folder that is not there: said, page Common, the dialog stays.
      const QString missing = QString::fromStdString((world.home.path() / "no such folder").string());
      d->eOutputFolder->setText(missing);
      d->cbFastScan->click();
      d->suiPageControl1->setCurrentWidget(d->tsSchedule);
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(d->isVisible());
      QVERIFY(d->suiPageControl1->currentWidget() == d->tsCommon);
      QCOMPARE(world.prompt.asked.back().Text, "can not find the backup folder.," + missing.toStdString());
      QVERIFY(world.prompt.asked.back().Icon == TMsgIcon::Error && world.prompt.asked.back().Caption == "Kestrove");

      // A combination the test cannot register: said, the field shows the old one again.
      d->eOutputFolder->setText(QString::fromStdString(record.OutputDirectory));
      fs::create_directories(record.OutputDirectory);
      d->rbBossKey->click();
      QTest::keyClick(d->eHide, Qt::Key_F9, Qt::AltModifier);
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(d->isVisible());
      QCOMPARE(tests, 1);
      QCOMPARE(world.prompt.asked.back().Text, std::string(kHotkeyTaken));
      QCOMPARE(d->eHide->text(), QString("Ctrl  F5"));
      QCOMPARE(d->Copy().Hotkey.CharAscII, std::uint16_t(116));

      // An empty field is refused before any test.
      QTest::keyClick(d->eHide, Qt::Key_Semicolon);
      QCOMPARE(d->eHide->text(), QString());
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(d->isVisible());
      QCOMPARE(tests, 1);
      QCOMPARE(world.prompt.asked.back().Text, std::string(kHotkeyBlank));
    });
    QCOMPARE(ReadText(world.home.path() / "options.ini"), before);
    QVERIFY(!fs::exists(world.home.path() / "Cookies.ini"));
    QVERIFY(!fs::exists(xdg.Entry(world.target)));
    QVERIFY(!AutoStartRegistered(world.target));
    QCOMPARE(again->Options().FastScan, record.FastScan);
    QCOMPARE(again->Options().StartClean, record.StartClean);
    QCOMPARE(again->Options().EnableHotkey, record.EnableHotkey);
  }

  void testHotkeyFieldTexts() {
    TGuiWorld world;
    TOptionsSetting options;
    options.Hotkey = {true, false, false, "F5", 116};
    TNoDesktop desktop;
    TfrmOptions d(options, world.target, world.home.folder(), world.prompt, desktop, {}, nullptr);
    QCOMPARE(d.eHide->text(), QString("Ctrl  F5"));
    struct Case {
      Qt::Key key;
      Qt::KeyboardModifiers mods;
      QString text;
      std::uint16_t code;
    };
    const Case cases[] = {
        {Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, "Ctrl  Shift  F5", 116},
        {Qt::Key_F12, Qt::ControlModifier | Qt::AltModifier, "Ctrl  Alt  F12", 123},
        {Qt::Key_Delete, Qt::NoModifier, "Del", 46},
        {Qt::Key_Shift, Qt::NoModifier, "Shift  ", 0},
        {Qt::Key_Control, Qt::ControlModifier, "Ctrl  ", 0},
        {Qt::Key_Alt, Qt::NoModifier, "Alt  ", 0},
        {Qt::Key_5, Qt::KeypadModifier, "Num 5", 101},
        {Qt::Key_0, Qt::KeypadModifier | Qt::ControlModifier, "Ctrl  Num 0", 96},
        {Qt::Key_Asterisk, Qt::KeypadModifier, "*", 106},
        {Qt::Key_5, Qt::NoModifier, "5", 53},
        {Qt::Key_A, Qt::ShiftModifier, "Shift  A", 65},
        {Qt::Key_Tab, Qt::ControlModifier, "Ctrl  Tab", 9},
        {Qt::Key_Left, Qt::NoModifier, "LeftArrow", 37},
        {Qt::Key_NumLock, Qt::NoModifier, "Numlock", 144},
        {Qt::Key_SysReq, Qt::AltModifier, "Alt  PrintScreen", 44},  // Alt+Print on X11
        {Qt::Key_F24, Qt::NoModifier, "F24", 135},
        {Qt::Key_Semicolon, Qt::ControlModifier, "", 0},  // a key the field does not take
    };
    for (const Case& c : cases) {
      QTest::keyClick(d.eHide, c.key, c.mods);
      QCOMPARE(d.eHide->text(), c.text);
      QCOMPARE(d.Copy().Hotkey.CharAscII, c.code);
      QCOMPARE(QString::fromStdString(d.Copy().Hotkey.CharString), c.text.mid(c.text.lastIndexOf("  ") + 1).trimmed());
    }
    // Typed characters never reach the text, nor does an input method's.
    QTest::keyClicks(d.eHide, "xy");
    QCOMPARE(d.eHide->text(), QString("Y"));
    QInputMethodEvent composed;
    composed.setCommitString("Ctrl  Alt  Q");
    QApplication::sendEvent(d.eHide, &composed);
    QCOMPARE(d.eHide->text(), QString("Y"));
    // Tab alone leaves the field for the next control, as in any dialog.
    d.show();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    d.suiPageControl1->setCurrentWidget(d.tsBossKey);
    d.eHide->setFocus();
    QVERIFY(d.eHide->hasFocus());
    QTest::keyClick(d.eHide, Qt::Key_Tab);
    QVERIFY(!d.eHide->hasFocus());
    QCOMPARE(d.eHide->text(), QString("Y"));
  }

  void testCookieLists() {
    TGuiWorld world;
    const std::string cookies = *world.target.ShellFolder("Cookies");
    for (const char* name : {"user@c.txt", "user@a.txt", "user@b.txt", "notes.dat", "Upper.TXT"})
      world.target.WriteFile(cookies + "\\" + name, "line one\r\nline two\r\n");
    world.target.MakeFolder(cookies + "\\folder.txt");
    WriteText(world.home.path() / "Cookies.ini", "[Cookies to Keep]\nCount=3\n0=user@b.txt\n1=\n2=gone.txt\n3=extra.txt\n");
    TOptionsSetting options;
    TNoDesktop desktop;
    TfrmOptions d(options, world.target, world.home.folder(), world.prompt, desktop, {}, nullptr);
    // Folders, names without ".txt" (case counts) and kept names are not offered; empty kept names are dropped.
    QCOMPARE(Items(d.ListBox1), (std::vector<std::string>{"user@a.txt", "user@c.txt"}));
    QCOMPARE(Items(d.ListBox2), (std::vector<std::string>{"user@b.txt", "gone.txt"}));

    // View: the lines, each after a line break, the file name as caption.
    d.ListBox1->setCurrentRow(0);
    QTest::mouseClick(d.bView, Qt::LeftButton);
    QCOMPARE(world.prompt.asked.back().Caption, std::string("user@a.txt"));
    QCOMPARE(world.prompt.asked.back().Text, std::string("\nline one\nline two"));
    QVERIFY(world.prompt.asked.back().Icon == TMsgIcon::Information);

    // One across: appended, the first kept selected, the next one offered selected.
    QTest::mouseClick(d.bAddCookies, Qt::LeftButton);
    QCOMPARE(Items(d.ListBox2), (std::vector<std::string>{"user@b.txt", "gone.txt", "user@a.txt"}));
    QCOMPARE(d.ListBox2->currentRow(), 0);
    QCOMPARE(Items(d.ListBox1), (std::vector<std::string>{"user@c.txt"}));
    QCOMPARE(d.ListBox1->currentItem()->text(), QString("user@c.txt"));
    // Back by a double click: the lone entry left is selected.
    QTest::mouseClick(d.bAddCookies, Qt::LeftButton);
    QVERIFY(Items(d.ListBox1).empty());
    d.ListBox2->setCurrentRow(3);
    d.ListBox2DblClick();
    QCOMPARE(Items(d.ListBox1), (std::vector<std::string>{"user@c.txt"}));
    QVERIFY(d.ListBox1->currentItem() && d.ListBox1->currentItem()->isSelected());
    QTest::mouseClick(d.bRemoveAll, Qt::LeftButton);
    QCOMPARE(Items(d.ListBox1), (std::vector<std::string>{"user@c.txt", "user@b.txt", "gone.txt", "user@a.txt"}));
    QVERIFY(Items(d.ListBox2).empty());
    QTest::mouseClick(d.bAddAll, Qt::LeftButton);
    QVERIFY(Items(d.ListBox1).empty());
    d.ListBox2->setCurrentRow(1);
    QTest::mouseClick(d.bRemoveCookies, Qt::LeftButton);
    d.ListBox2->setCurrentRow(1);
    QTest::mouseClick(d.bRemoveCookies, Qt::LeftButton);

    // OK writes the keep list in list order; the keys of the longer list before go, so the
    // cleaner reads the new list. The program's own backup folder, not made yet, is made.
    options.OutputDirectory = world.home.folder() + "Backup";
    QVERIFY(!fs::exists(options.OutputDirectory));
    d.eOutputFolder->setText(QString::fromStdString(options.OutputDirectory));
    d.AutostartFolder.clear();
    QTest::mouseClick(d.bOK, Qt::LeftButton);
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QVERIFY(fs::is_directory(options.OutputDirectory));
    const TIniFile ini(world.home.path() / "Cookies.ini");
    QCOMPARE(ini.ReadInteger("Cookies to Keep", "Count", -1), 2);
    QCOMPARE(ini.ReadString("Cookies to Keep", "0", ""), std::string("user@c.txt"));
    QCOMPARE(ini.ReadString("Cookies to Keep", "1", ""), std::string("user@a.txt"));
    QVERIFY(!ini.ValueExists("Cookies to Keep", "2") && !ini.ValueExists("Cookies to Keep", "3"));
    const TCookieKeepList cleanerList = ReadCookieKeepList(world.home.path() / "Cookies.ini", Env::Default());
    QVERIFY2(cleanerList.Ok, cleanerList.Error.c_str());
    QCOMPARE(cleanerList.Names, (std::vector<std::string>{"user@c.txt", "user@a.txt"}));

    // Protected mode: with no cookie in the folder itself, "Low" is listed.
    for (const char* name : {"user@c.txt", "user@a.txt", "user@b.txt", "Upper.TXT"}) fs::remove(*world.target.HostPath(cookies + "\\" + name));
    world.target.WriteFile(cookies + "\\Low\\low@x.txt", "x");
    TfrmOptions low(options, world.target, world.home.folder(), world.prompt, desktop, {}, nullptr);
    QVERIFY(QString::fromStdString(low.CookieFolder()).endsWith("/Low/"));
    QCOMPARE(Items(low.ListBox1), (std::vector<std::string>{"low@x.txt"}));
  }

  void testIgnoreListsReachTheNextScan() {
    TGuiWorld world;
    TAutostartHome xdg(world.home.path());
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    fs::create_directories(form->Options().OutputDirectory);
    form->Options().IgnoreKeys = {"HKEY_CURRENT_USER\\Software\\Old"};
    form->Options().IgnoreKeyCount = 1;

    // Runs `act` in the entry dialog the next click opens.
    auto inEntryDialog = [](QPushButton* button, const std::function<void(TfrmRegAddRegistry*)>& act) {
      bool ran = false;
      auto watch = WhenModalOpens<TfrmRegAddRegistry>([&](TfrmRegAddRegistry* e) {
        ran = true;
        act(e);
        if (e->isVisible()) e->reject();
      });
      QTest::mouseClick(button, Qt::LeftButton);
      QVERIFY(ran);
    };
    WithOptionsDialog(*form, [&](TfrmOptions* d) {
      d->suiPageControl1->setCurrentWidget(d->tsIgnore);
      inEntryDialog(d->bAdd, [](TfrmRegAddRegistry* e) {
        QCOMPARE(e->windowTitle(), QString("Add to Ignore List"));
        QVERIFY(!e->bOK->isEnabled());
        QTest::keyClicks(e->eRegistryKey, "Software\\Microsoft");
        QVERIFY(!e->bOK->isEnabled());
        e->eRegistryKey->setText("hkey_current_user\\Software");
        QVERIFY(e->bOK->isEnabled());
        e->eRegistryKey->setText("HKEY_CURRENT_USER\\Software\\Gone\\Path");
        QTest::mouseClick(e->bOK, Qt::LeftButton);
      });
      inEntryDialog(d->bAdd, [](TfrmRegAddRegistry* e) {
        e->eRegistryKey->setText("HKEY_CURRENT_USER\\Software\\Cancelled\\x");
        QTest::mouseClick(e->bCancel, Qt::LeftButton);
      });
      QCOMPARE(d->lvValues->topLevelItemCount(), 1);
      // Edit: the selected entry's text, replaced on OK.
      d->lvValues->setCurrentItem(Entry(d->lvValues, 0));
      inEntryDialog(d->bEdit, [](TfrmRegAddRegistry* e) {
        QCOMPARE(e->eRegistryKey->text(), QString("HKEY_CURRENT_USER\\Software\\Gone\\Path"));
        e->eRegistryKey->setText("HKEY_CURRENT_USER\\Software\\Gone\\Ignored");
        QTest::mouseClick(e->bOK, Qt::LeftButton);
      });
      QCOMPARE(Entry(d->lvValues, 0)->text(0), QString("HKEY_CURRENT_USER\\Software\\Gone\\Ignored"));
      // The Keys page: an entry added; Remove takes only ticked entries, not the selected one.
      d->pcIgnore->setCurrentWidget(d->lvKeys);
      inEntryDialog(d->bAdd, [](TfrmRegAddRegistry* e) {
        e->eRegistryKey->setText("HKEY_CURRENT_USER\\Software\\Skip Me");
        QTest::mouseClick(e->bOK, Qt::LeftButton);
      });
      QCOMPARE(d->lvKeys->topLevelItemCount(), 2);
      d->lvKeys->setCurrentItem(Entry(d->lvKeys, 1));
      QTest::mouseClick(d->bRemove, Qt::LeftButton);
      QCOMPARE(d->lvKeys->topLevelItemCount(), 2);
      Entry(d->lvKeys, 0)->setCheckState(0, Qt::Checked);
      QTest::mouseClick(d->bRemove, Qt::LeftButton);
      QCOMPARE(d->lvKeys->topLevelItemCount(), 1);
      QCOMPARE(d->lvValues->topLevelItemCount(), 1);
      QTest::mouseClick(d->bOK, Qt::LeftButton);
    });
    QCOMPARE(form->Options().IgnoreValueCount, 1);
    QCOMPARE(form->Options().IgnoreKeys, (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Skip Me"}));

    // The next scan's end leaves out the rows the lists name.
    form->gbRegistry->SetRegistryRows({
        {"problem", "", "HKEY_CURRENT_USER\\Software\\Gone\\Ignored", TLocationKind::lkPathValue, true},
        {"problem", "", "HKEY_CURRENT_USER\\Software\\Gone\\Kept", TLocationKind::lkPathValue, true},
        {"problem", "", "HKEY_CURRENT_USER\\Software\\Skip Me\\Sub", TLocationKind::lkKey, true},
        {"problem", "", "HKEY_CURRENT_USER\\Software\\Old", TLocationKind::lkKey, true},
    });
    form->Scanner().ApplyIgnoreLists();
    const auto rows = form->gbRegistry->RegistryRows();
    QCOMPARE(rows.size(), std::size_t(2));
    QCOMPARE(rows[0].Location, std::string("HKEY_CURRENT_USER\\Software\\Gone\\Kept"));
    QCOMPARE(rows[1].Location, std::string("HKEY_CURRENT_USER\\Software\\Old"));
    form->close();
  }

  // A boss key that would hide nothing is refused at OK, on its page, with nothing applied;
  // Google Chrome (with Chromium) is a type of window of its own, kept as EnableChrome.
  void testBossKeyMustHideSomething() {
    const struct {
      const char* what;
      bool bossKey;
      bool chrome;
      bool opera;
      bool accepted;
    } cases[] = {
        {"boss key, nothing ticked", true, false, false, false},
        {"boss key, Chrome only", true, true, false, true},
        {"boss key, Opera only", true, false, true, true},
        {"no boss key, nothing ticked", false, false, false, true},
    };
    for (const auto& c : cases) {
      TGuiWorld world;
      TAutostartHome xdg(world.home.path());
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      fs::create_directories(form->Options().OutputDirectory);
      int registered = 0;
      form->OptionsHooks.TestHotkey = [](const TShortcut&) { return true; };
      form->OptionsHooks.RegisterBossKey = [&] { ++registered; };
      WithOptionsDialog(*form, [&](TfrmOptions* d) {
        // The defaults tick no type of window.
        for (QCheckBox* b : {d->cbIE, d->cbNetscape, d->cbOpera, d->cbFirefox, d->cbChrome}) QVERIFY(!b->isChecked());
        (c.bossKey ? d->rbBossKey : d->rbNoBossKey)->click();
        if (c.chrome) d->cbChrome->click();
        if (c.opera) d->cbOpera->click();
        QTest::mouseClick(d->bOK, Qt::LeftButton);
        QCOMPARE(d->isVisible(), !c.accepted);
        if (!c.accepted) {
          QCOMPARE(world.prompt.asked.back().Text, std::string(kBossKeyHidesNothing));
          QVERIFY(d->suiPageControl1->currentWidget() == d->tsBossKey);
        }
      });
      QCOMPARE(form->Options().EnableHotkey, c.bossKey && c.accepted);
      QCOMPARE(registered, c.bossKey && c.accepted ? 1 : 0);
      const TIniFile ini(world.home.path() / "options.ini");
      QCOMPARE(ini.ReadInteger("Hotkey", "EnableChrome", -1), c.accepted ? int(c.chrome) : -1);
      const auto classes = BossKeyWindowClasses(form->Options());
      for (const char* chrome : {"chrome.exe", "google-chrome", "chromium"})
        QCOMPARE(int(std::count(classes.begin(), classes.end(), std::string(chrome))), c.chrome && c.accepted ? 1 : 0);
      form->close();
    }
  }

  // The box says whether this target starts with the session: its Run value alone (its entry
  // gone, or replaced by another prefix's in an earlier version) leaves the box unticked.
  void testAutoStartBoxNeedsTheTargetsEntry() {
    TGuiWorld world;
    TAutostartHome xdg(world.home.path());
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    fs::create_directories(form->Options().OutputDirectory);
    SetAutoStart(world.target, true, "/opt/kestrove/kestrove", {});
    QVERIFY(AutoStartRegistered(world.target));
    WithOptionsDialog(*form, [&](TfrmOptions* d) {
      QVERIFY(!d->cbAutoStart->isChecked());
      d->cbAutoStart->click();
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(!d->isVisible());
    });
    QVERIFY(fs::exists(xdg.Entry(world.target)));
    WithOptionsDialog(*form, [&](TfrmOptions* d) { QVERIFY(d->cbAutoStart->isChecked()); });
    form->close();
  }

  // The cookie page is read left to right: the list, the buttons between, the other list.
  void testCookiePageTabOrder() {
    TGuiWorld world;
    TOptionsSetting options;
    TNoDesktop desktop;
    TfrmOptions d(options, world.target, world.home.folder(), world.prompt, desktop, {}, nullptr);
    d.suiPageControl1->setCurrentWidget(d.tsCookies);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    const std::vector<QWidget*> order{d.ListBox1, d.bAddCookies, d.bRemoveCookies, d.bAddAll,
                                      d.bRemoveAll, d.bView,       d.ListBox2};
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
      QVERIFY2(NextTabStop(order[i]) == order[i + 1], qPrintable(QString::number(i)));
  }

  void testAutoStartFollowsTheBoxAndCleanAtStart() {
    TGuiWorld world;
    TAutostartHome xdg(world.home.path());
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    fs::create_directories(form->Options().OutputDirectory);
    // "Clean when Windows start" needs the automatic start: OK turns it on.
    WithOptionsDialog(*form, [&](TfrmOptions* d) {
      QVERIFY(!d->cbAutoStart->isChecked());
      d->suiPageControl1->setCurrentWidget(d->tsSchedule);
      d->cbStartWash->click();
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(!d->isVisible());
    });
    TRegistry reg(world.target.Registry());
    reg.SetRootKey(HKEY_CURRENT_USER);
    QVERIFY(reg.OpenKeyReadOnly(kRunKey));
    const std::string run = reg.ReadString("Kestrove");
    QVERIFY2(run.size() > 6 && run.substr(run.size() - 6) == " /Auto", run.c_str());
    QVERIFY(ReadText(xdg.Entry(world.target)).find(" /Auto\n") != std::string::npos);
    // With the settings that asked for it, wherever they are kept.
    QVERIFY(ReadText(xdg.Entry(world.target)).find("\"KESTROVE_HOME=" + world.home.path().string() + "\"") != std::string::npos);
    // The box reads the value; unchecked, the value and the entry go.
    WithOptionsDialog(*form, [&](TfrmOptions* d) {
      QVERIFY(d->cbAutoStart->isChecked());
      d->cbStartWash->click();
      d->cbAutoStart->click();
      QTest::mouseClick(d->bOK, Qt::LeftButton);
      QVERIFY(!d->isVisible());
    });
    QVERIFY(!reg.ValueExists("Kestrove"));
    QVERIFY(!fs::exists(xdg.Entry(world.target)));
    form->close();
  }
};

KESTROVE_GUI_TEST(TOptionsTest);

}  // namespace kestrove::testing

#include "OptionsTest.moc"

// The custom list editor opened from the clean tree: adding, editing and removing entries,
// Custom.dat written only on OK, the entry dialogs' enabling rules and refusals, and a Test
// run of the saved list.
#include <QLayout>
#include <QRegularExpression>

#include "gui/CustomListEditor.h"
#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

namespace {

const char kNewList[] = "<New List>";

std::filesystem::path CustomDat(TGuiWorld& world) { return world.home.path() / "Custom.dat"; }

QStringList RowsOf(TfrmNewCustomItem* editor) {
  QStringList rows;
  for (const std::string& r : editor->Rows()) rows << QString::fromStdString(r);
  return rows;
}

// On its circle: a radio button stretched by the layout takes clicks only on its circle and text.
void ClickRadio(QRadioButton* button) {
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(8, button->height() / 2));
}

void Type(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}

bool SelectFile(TfrmAddFolder* d, const QString& name) {
  const auto found = d->lbFile->findItems(name, Qt::MatchExactly);
  if (found.size() != 1) return false;
  d->lbFile->scrollToItem(found.first());
  QTest::mouseClick(d->lbFile->viewport(), Qt::LeftButton, Qt::NoModifier,
                    d->lbFile->visualItemRect(found.first()).center());
  return found.first()->isSelected();
}

// One entry added through the file dialog: `file` picks a listed file, else `mask` empty
// takes the whole folder and a mask takes matching files.
void AddFileEntry(TfrmNewCustomItem* editor, const QString& folder, const QString& file, const QString& mask,
                  bool* accepted) {
  auto watch = WhenModalOpens<TfrmAddFolder>([&](TfrmAddFolder* d) {
    Type(d->eFolder, folder);
    if (!file.isEmpty()) {
      ClickRadio(d->rbSingleFile);
      if (!SelectFile(d, file)) return d->reject();
    } else {
      ClickRadio(d->rbFolderFiles);
      ClickRadio(mask.isEmpty() ? d->rbDeleteFolder : d->rbDeleteFiles);
      if (!mask.isEmpty()) Type(d->eFileMatch, mask);
    }
    *accepted = d->bOK->isEnabled();
    if (*accepted)
      QTest::mouseClick(d->bOK, Qt::LeftButton);
    else
      d->reject();
  });
  QTest::mouseClick(editor->bAddFolder, Qt::LeftButton);
}

void FillRegistry(TfrmAddRegistry* d, const QString& key, TRegistryEntryMode mode, const QString& value) {
  Type(d->eRegistryKey, key);
  QRadioButton* modes[] = {d->rbWashKey, d->rbWashAllValues, d->rbWashValue};
  ClickRadio(modes[static_cast<int>(mode)]);
  if (!value.isEmpty()) Type(d->eRegistryValue, value);
}

void AddRegistryEntry(TfrmNewCustomItem* editor, const QString& key, TRegistryEntryMode mode, const QString& value,
                      bool* accepted) {
  auto watch = WhenModalOpens<TfrmAddRegistry>([&](TfrmAddRegistry* d) {
    FillRegistry(d, key, mode, value);
    *accepted = d->bOK->isEnabled();
    if (*accepted)
      QTest::mouseClick(d->bOK, Qt::LeftButton);
    else
      d->reject();
  });
  QTest::mouseClick(editor->bAddRegistry, Qt::LeftButton);
}

void ClickRow(TfrmNewCustomItem* editor, int row, bool twice = false) {
  QTreeWidgetItem* item = editor->lvContent->topLevelItem(row);
  const QPoint at = editor->lvContent->visualItemRect(item).center();
  if (twice)
    QTest::mouseDClick(editor->lvContent->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  else
    QTest::mouseClick(editor->lvContent->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

// Opens the editor from the tree's "<New List>" label and runs `act` on it.
bool WithEditor(TfrmMain& form, const std::function<void(TfrmNewCustomItem*)>& act) {
  bool opened = false;
  auto watch = WhenModalOpens<TfrmNewCustomItem>([&](TfrmNewCustomItem* editor) {
    opened = true;
    act(editor);
    if (editor->isVisible()) editor->reject();
  });
  ClickLabel(form, FindNode(form.Catalogue(), "Custom Lists", kNewList));
  return opened;
}

}  // namespace

class TCustomListTest : public QObject {
  Q_OBJECT

 private slots:
  // Every kind of entry added from the tree, saved on OK, and a Test of the list finding
  // exactly the planted traces and nothing beside them.
  void newListFindsExactlyThePlantedTraces() {
    TGuiWorld world(0);
    auto& t = world.target;
    t.WriteFile("C:\\Traces\\report.txt", "12345");
    t.WriteFile("C:\\Traces\\keep.txt", "keep");
    t.WriteFile("C:\\Traces\\Logs\\a.tmp", "aa");
    t.WriteFile("C:\\Traces\\Logs\\b.tmp", "bbb");
    t.WriteFile("C:\\Traces\\Logs\\c.txt", "keep");
    t.WriteFile("C:\\Traces\\Logs\\Sub\\d.tmp", "keep");  // the mask takes no subfolder
    t.WriteFile("C:\\Traces\\Old\\x.dat", "x");
    t.WriteFile("C:\\Traces\\Old\\Deep\\y.dat", "y");
    t.SetString(HKEY_CURRENT_USER, "Software\\Trace\\Key", "K1", "1");
    t.SetString(HKEY_CURRENT_USER, "Software\\Trace\\Key", "K2", "2");
    t.SetString(HKEY_CURRENT_USER, "Software\\Trace\\Values", "V1", "1");
    t.SetString(HKEY_CURRENT_USER, "Software\\Trace\\Values\\Sub", "V2", "2");
    t.SetString(HKEY_CURRENT_USER, "Software\\Trace\\One", "Bar", "1");
    t.SetString(HKEY_CURRENT_USER, "Software\\Trace\\One", "Keep", "1");
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));

    bool accepted[6] = {};
    QStringList rows;
    QString caption;
    QVERIFY(WithEditor(*form, [&](TfrmNewCustomItem* editor) {
      caption = editor->windowTitle();
      AddFileEntry(editor, "C:\\Traces", "report.txt", "", &accepted[0]);
      AddRegistryEntry(editor, "HKEY_CURRENT_USER\\Software\\Trace\\Key", TRegistryEntryMode::Key, "", &accepted[1]);
      AddFileEntry(editor, "C:\\Traces\\Logs", "", "*.tmp", &accepted[2]);
      AddRegistryEntry(editor, "HKEY_CURRENT_USER\\Software\\Trace\\Values", TRegistryEntryMode::AllValues, "",
                       &accepted[3]);
      AddFileEntry(editor, "C:\\Traces\\Old", "", "", &accepted[4]);
      AddRegistryEntry(editor, "HKEY_CURRENT_USER\\Software\\Trace\\One", TRegistryEntryMode::Value, "Bar",
                       &accepted[5]);
      rows = RowsOf(editor);
      QTest::mouseClick(editor->bOK, Qt::LeftButton);
    }));
    QCOMPARE(caption, QString("Edit Custom Item"));
    for (bool a : accepted) QVERIFY(a);
    QCOMPARE(rows, QStringList({"C:\\Traces,report.txt", "HKEY_CURRENT_USER\\Software\\Trace\\Key",
                                "C:\\Traces\\Logs,*.tmp", "HKEY_CURRENT_USER\\Software\\Trace\\Values,",
                                "C:\\Traces\\Old", "HKEY_CURRENT_USER\\Software\\Trace\\One,Bar"}));
    QCOMPARE(ReadText(CustomDat(world)),
             std::string("[<New List>]\nDelFile1=C:\\Traces,report.txt\n"
                         "DelRegValue1=HKEY_CURRENT_USER\\Software\\Trace\\Key\n"
                         "DelFile2=C:\\Traces\\Logs,*.tmp\n"
                         "DelRegValue2=HKEY_CURRENT_USER\\Software\\Trace\\Values,\n"
                         "DelFile3=C:\\Traces\\Old\n"
                         "DelRegValue3=HKEY_CURRENT_USER\\Software\\Trace\\One,Bar\n"));

    // The same run reads the list just saved.
    ClickStateImage(*form, FindNode(form->Catalogue(), "Custom Lists", kNewList));
    QCOMPARE(form->gbCleaner->CollectSelection(), std::vector<std::string>{"Custom Lists - <New List>"});
    if (form->gbCleaner->cbFastMode->isChecked()) QTest::mouseClick(form->gbCleaner->cbFastMode, Qt::LeftButton);
    form->gbCleaner->bTestClick();
    QVERIFY(WaitIdle(*form));
    const QStringList log = LogOf(*form);
    QStringList found = log.filter(QRegularExpression("^Test: deleting"));
    found.sort();
    QStringList expected = {
        "Test: deleting C:\\Traces\\report.txt",
        "Test: deleting registry key HKEY_CURRENT_USER\\Software\\Trace\\Key",
        "Test: deleting C:\\Traces\\Logs\\a.tmp",
        "Test: deleting C:\\Traces\\Logs\\b.tmp",
        "Test: deleting registry value HKEY_CURRENT_USER\\Software\\Trace\\Values\\V1",
        "Test: deleting registry key HKEY_CURRENT_USER\\Software\\Trace\\Values\\Sub",
        "Test: deleting C:\\Traces\\Old\\x.dat",
        "Test: deleting C:\\Traces\\Old\\Deep\\y.dat",
        "Test: deleting registry value HKEY_CURRENT_USER\\Software\\Trace\\One\\Bar",
    };
    // The folder itself and its subfolder are removed with their files.
    for (const QString& line : log.filter(QRegularExpression("^Test: deleting C:.Traces.Old(.Deep)?.?$")))
      expected << line;
    expected.sort();
    QCOMPARE(found, expected);
    // report 1, Key's values 2, two .tmp, V1 and V2, the folder's two files and Bar.
    QVERIFY2(log.filter("Total items will be removed = 10 ; ").size() == 1, qPrintable(log.join("\n")));
    // A test changes nothing.
    QVERIFY(t.Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Trace\\Key"));
    QVERIFY(std::filesystem::exists(t.DriveC() / "Traces" / "report.txt"));
  }

  // Rows come back in file order; edits keep their place; a file row cannot be edited;
  // removal moves the selection on; keys are numbered per kind in row order.
  void editRemoveAndNumbering() {
    TGuiWorld world(0);
    world.target.WriteFile("C:\\Temp\\a.txt", "a");
    WriteText(CustomDat(world), "[Other]\nX=1\n[<New List>]\nDelFile1=C:\\Temp,a.txt\n"
                                "DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\nDelFile2=C:\\Temp\\Old\n");
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QStringList loaded, afterEdit, afterFileDoubleClick, afterRemove;
    bool editOnFile = true, editOnKey = false, okAfterEmptying = true, removeSelectsNext = false;
    int dialogsOnFileRow = 0;
    QVERIFY(WithEditor(*form, [&](TfrmNewCustomItem* editor) {
      loaded = RowsOf(editor);
      QVERIFY(!editor->bEdit->isEnabled() && !editor->bRemove->isEnabled() && editor->bOK->isEnabled());
      ClickRow(editor, 0);
      editOnFile = editor->bEdit->isEnabled();
      {
        auto watch = WhenModalOpens<TfrmAddRegistry>([&](TfrmAddRegistry* d) {
          ++dialogsOnFileRow;
          d->reject();
        });
        ClickRow(editor, 0, true);
        QTest::qWait(100);
      }
      afterFileDoubleClick = RowsOf(editor);
      ClickRow(editor, 1);
      editOnKey = editor->bEdit->isEnabled();
      bool filled = false;
      auto watch = WhenModalOpens<TfrmAddRegistry>([&](TfrmAddRegistry* d) {
        filled = d->eRegistryKey->text() == "HKEY_CURRENT_USER\\Software\\Foo" && d->rbWashKey->isChecked() &&
                 !d->eRegistryValue->isEnabled();
        ClickRadio(d->rbWashValue);
        Type(d->eRegistryValue, "Bar");
        QTest::mouseClick(d->bOK, Qt::LeftButton);
      });
      ClickRow(editor, 1, true);
      QVERIFY(filled);
      afterEdit = RowsOf(editor);
      ClickRow(editor, 1);
      QTest::mouseClick(editor->bRemove, Qt::LeftButton);
      afterRemove = RowsOf(editor);
      removeSelectsNext = editor->lvContent->currentItem() == editor->lvContent->topLevelItem(1) &&
                          editor->lvContent->topLevelItem(1)->isSelected();
      QTest::mouseClick(editor->bRemove, Qt::LeftButton);  // the last row: the new last is selected
      QVERIFY(editor->lvContent->topLevelItem(0)->isSelected());
      QTest::mouseClick(editor->bRemove, Qt::LeftButton);
      okAfterEmptying = editor->bOK->isEnabled();
      // Back to file, registry, file for the numbering.
      bool ok = false;
      AddFileEntry(editor, "C:\\Temp", "a.txt", "", &ok);
      AddRegistryEntry(editor, "hkey_current_user\\Software\\Foo", TRegistryEntryMode::AllValues, "", &ok);
      AddRegistryEntry(editor, "Software\\HKEY_X", TRegistryEntryMode::Key, "", &ok);
      QTest::mouseClick(editor->bOK, Qt::LeftButton);
    }));
    QCOMPARE(loaded, QStringList({"C:\\Temp,a.txt", "HKEY_CURRENT_USER\\Software\\Foo", "C:\\Temp\\Old"}));
    QVERIFY(!editOnFile);
    QCOMPARE(dialogsOnFileRow, 0);
    QCOMPARE(afterFileDoubleClick, loaded);
    QVERIFY(editOnKey);
    QCOMPARE(afterEdit, QStringList({"C:\\Temp,a.txt", "HKEY_CURRENT_USER\\Software\\Foo,Bar", "C:\\Temp\\Old"}));
    QCOMPARE(afterRemove, QStringList({"C:\\Temp,a.txt", "C:\\Temp\\Old"}));
    QVERIFY(removeSelectsNext);
    QVERIFY(!okAfterEmptying);
    // "Software\HKEY_X" passes the registry dialog but, not beginning with "HKEY_", is a file line.
    QCOMPARE(ReadText(CustomDat(world)),
             std::string("[Other]\nX=1\n[<New List>]\nDelFile1=C:\\Temp,a.txt\n"
                         "DelRegValue1=hkey_current_user\\Software\\Foo,\nDelFile2=Software\\HKEY_X\n"));
  }

  // Cancel, after any change, leaves the file as it was, byte for byte; so does a missing file.
  void cancelLeavesTheFileAlone() {
    const std::string original = "\xEF\xBB\xBF; mine\r\n[<New List>]\r\nDelFile1=C:\\Temp\\Old\r\n[Z]\r\nq=1";
    for (bool present : {true, false}) {
      TGuiWorld world(0);
      world.target.WriteFile("C:\\Temp\\a.txt", "a");
      if (present) WriteText(CustomDat(world), original);
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      int rows = -1;
      QVERIFY(WithEditor(*form, [&](TfrmNewCustomItem* editor) {
        bool ok = false;
        AddFileEntry(editor, "C:\\Temp", "a.txt", "", &ok);
        ClickRow(editor, 0);
        QTest::mouseClick(editor->bRemove, Qt::LeftButton);
        rows = editor->lvContent->topLevelItemCount();
        QTest::mouseClick(editor->bCancel, Qt::LeftButton);
      }));
      QCOMPARE(rows, present ? 1 : 0);
      if (present)
        QCOMPARE(ReadText(CustomDat(world)), original);
      else
        QVERIFY(!std::filesystem::exists(CustomDat(world)));
    }
  }

  // What the removal would refuse is refused here, with the reason its log line gives.
  void refusedEntriesShowTheCleanersReason() {
    TGuiWorld world(0);
    const std::string sid = world.target.Registry()->UserSid();
    world.target.WriteFile("C:\\windows\\win.ini", "[windows]");
    world.target.WriteFile("C:\\users\\user\\notes.txt", "mine");
    world.target.WriteFile("C:\\Temp\\a.txt", "a");
    auto form = world.MakeForm();
    struct FolderCase {
      QString folder;
      int option;  // 0 file, 1 folder, 2 mask
      QString mask;
      QString why;  // empty: accepted
    };
    const FolderCase folders[] = {
        {"C:\\windows", 1, "", "it is the Windows folder"},
        {"C:\\windows", 2, "*.*", "it is the Windows folder"},
        {"C:\\windows", 2, "*.log", ""},
        {"C:\\users", 1, "", "it holds the user profile folder"},
        {"C:\\Temp", 1, "", ""},
    };
    for (const FolderCase& c : folders) {
      TfrmAddFolder d(world.target, {}, form.get());
      d.eFolder->setText(c.folder);
      d.SetOptionIndex(c.option == 0 ? 0 : 1);
      if (c.option == 2) d.rbDeleteFiles->setChecked(true);
      if (!c.mask.isEmpty()) d.eFileMatch->setText(c.mask);
      QCOMPARE(d.bOK->isEnabled(), c.why.isEmpty());
      QCOMPARE(d.lRefusal->isVisibleTo(&d), !c.why.isEmpty());
      if (!c.why.isEmpty()) QVERIFY2(d.lRefusal->text().contains(c.why), qPrintable(d.lRefusal->text()));
    }
    const QString users = QString::fromStdString("HKEY_USERS\\" + sid);
    struct KeyCase {
      QString key;
      TRegistryEntryMode mode;
      QString value;
      bool refused;
    };
    const KeyCase keys[] = {
        {users, TRegistryEntryMode::Key, "", true},
        {users, TRegistryEntryMode::AllValues, "", true},
        {"HKEY_CURRENT_USER\\", TRegistryEntryMode::Key, "", true},
        {users, TRegistryEntryMode::Value, "X", false},
        {"HKEY_CURRENT_USER\\Software", TRegistryEntryMode::AllValues, "", false},
    };
    for (const KeyCase& c : keys) {
      TfrmAddRegistry d(world.target, {}, form.get());
      d.SetEntry({c.key.toStdString(), c.mode, c.value.toStdString()});
      QCOMPARE(d.bOK->isEnabled(), !c.refused);
      QCOMPARE(d.lRefusal->text().contains("it is a root key of the registry"), c.refused);
    }
  }

  void addFolderEnablingRules() {
    TGuiWorld world(0);
    world.target.WriteFile("C:\\A\\one.txt", "1");
    world.target.WriteFile("C:\\A\\.hidden", "h");
    world.target.WriteFile("C:\\A\\Sub\\inner.txt", "i");
    world.target.WriteFile("C:\\B\\two.txt", "2");
    auto form = world.MakeForm();
    TfrmAddFolder d(world.target, {}, form.get());
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QCOMPARE(d.windowTitle(), QString("Add File and Folder"));
    QVERIFY(d.rbSingleFile->isChecked() && d.gbSelectFile->isVisibleTo(&d) && !d.gbWashMode->isVisibleTo(&d));
    QCOMPARE(d.eFileMatch->text(), QString("*."));
    d.eFolder->setText("C:\\A");
    d.SetOptionIndex(0);
    QStringList listed;
    for (int i = 0; i < d.lbFile->count(); ++i) listed << d.lbFile->item(i)->text();
    listed.sort();
    QCOMPARE(listed, QStringList({".hidden", "one.txt"}));  // files only, hidden ones too
    QVERIFY(!d.bOK->isEnabled());                           // no file chosen
    QVERIFY(SelectFile(&d, "one.txt"));
    QVERIFY(d.bOK->isEnabled());
    QCOMPARE(d.EntryText(), std::string("C:\\A,one.txt"));
    // Another folder lists only its own files.
    d.eFolder->setText("C:\\B");
    d.SetOptionIndex(0);
    QCOMPARE(d.lbFile->count(), 1);
    QCOMPARE(d.lbFile->item(0)->text(), QString("two.txt"));

    struct Case {
      QString folder;
      bool files;
      QString mask;
      bool enabled;
      std::string entry;
    };
    const Case cases[] = {
        {"C:\\A", false, "", true, "C:\\A"},
        {"C:\\A\\", false, "", true, "C:\\A\\"},  // stored as typed
        {"C:\\Nowhere", false, "", false, ""},
        {"C:\\A", true, "*.", false, ""},  // the initial text alone
        {"C:\\A", true, "*.t", true, "C:\\A,*.t"},
        {"C:\\A", true, "ab", false, ""},
    };
    for (const Case& c : cases) {
      d.eFolder->setText(c.folder);
      d.SetOptionIndex(1);
      QVERIFY(!d.gbSelectFile->isVisibleTo(&d) && d.gbWashMode->isVisibleTo(&d));
      d.layout()->activate();
      QCOMPARE(d.gbWashMode->geometry(), d.gbSelectFile->geometry());
      (c.files ? d.rbDeleteFiles : d.rbDeleteFolder)->setChecked(true);
      if (c.files) d.eFileMatch->setText(c.mask);
      QCOMPARE(d.bOK->isEnabled(), c.enabled);
      if (c.enabled) QCOMPARE(d.EntryText(), c.entry);
    }
  }

  void addRegistryEnablingRules() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    TfrmAddRegistry d(world.target, {}, form.get());
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    int launched = 0;
    TfrmAddRegistry withHook(world.target, {{}, [&] { ++launched; }}, form.get());
    QTest::mouseClick(withHook.bLaunchRegedit, Qt::LeftButton);
    QCOMPARE(launched, 1);
    QCOMPARE(d.windowTitle(), QString("Add Registry"));
    QVERIFY(d.rbWashKey->isChecked() && !d.eRegistryValue->isEnabled());
    struct Case {
      QString key;
      TRegistryEntryMode mode;
      QString value;
      bool enabled;
      std::string entry;
    };
    const Case cases[] = {
        {"", TRegistryEntryMode::Key, "", false, ""},
        {"Software\\Foo", TRegistryEntryMode::Key, "", false, ""},
        {"hkey_current_user\\Software\\Foo", TRegistryEntryMode::Key, "", true, "hkey_current_user\\Software\\Foo"},
        {"Software\\HKEY_X", TRegistryEntryMode::Key, "", true, "Software\\HKEY_X"},
        {"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::AllValues, "", true, "HKEY_CURRENT_USER\\Software\\Foo,"},
        {"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::Value, "", false, ""},
        {"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::Value, "Bar", true,
         "HKEY_CURRENT_USER\\Software\\Foo,Bar"},
    };
    for (const Case& c : cases) {
      d.eRegistryValue->clear();
      FillRegistry(&d, c.key, c.mode, c.value);
      QCOMPARE(d.eRegistryValue->isEnabled(), c.mode == TRegistryEntryMode::Value);
      QCOMPARE(d.bOK->isEnabled(), c.enabled);
      if (c.enabled) QCOMPARE(d.EntryText(), c.entry);
    }
  }
};

KESTROVE_GUI_TEST(TCustomListTest);

}  // namespace kestrove::testing

#include "CustomListTest.moc"

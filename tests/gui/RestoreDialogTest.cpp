// The restore dialog over a backup folder, with a stand-in registry editor: order, enabling,
// Restore then the setting's deletion, Delete's next selection, another folder, Open
// Directory; and Stop in the progress dialog of a full backup.
#include <signal.h>

#include "gui/BackupHint.h"
#include "gui/GuiTestSupport.h"
#include "gui/RestoreDialog.h"
#include "platform/wine/WinePrefixTarget.h"
#include "platform/wine/WineSample.h"
#include "regscan/BackupOrigin.h"

namespace kestrove::testing {

namespace {

namespace fs = std::filesystem;

class TRecordingDesktop : public TNoDesktop {
 public:
  std::vector<std::string> opened;
  void ShellOpen(const std::string& path) override { opened.push_back(path); }
};

QStringList Names(QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
  return names;
}

// An editor that records its arguments and its process id, then runs `tail`.
fs::path WriteEditor(const fs::path& folder, const std::string& tail) {
  const fs::path program = folder / "editor" / "regedit";
  WriteText(program, "#!/bin/sh\nd=$(dirname \"$0\")\necho $$ > \"$d/pid\"\nprintf '%s\\n' \"$@\" > \"$d/args\"\n" + tail);
  fs::permissions(program, fs::perms::owner_all);
  return program;
}

}  // namespace

class RestoreDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void listsRestoresAndDeletes() {
    TGuiTempFolder dir;
    const fs::path backups = dir.path() / "Backup";
    WriteText(backups / "a.reg", "");
    WriteText(backups / "B.REG", std::string(1048577, 'x'));
    WriteText(backups / "c.txt", "");
    WriteText(backups / "d.reg", "REGEDIT4\n");
    TOptionsSetting options;
    options.OutputDirectory = backups.string();
    options.DeleteBackupFile = true;
    TGuiScriptedPrompt prompt;
    TRecordingDesktop desktop;
    TRegeditRunner regedit;
    regedit.Program = WriteEditor(dir.path(), "exit 0\n");
    regedit.Prompt = &prompt;
    TQtRegeditProgress progress(nullptr);
    regedit.Progress = &progress;

    TfrmRestore dialog(options, regedit, prompt, desktop, nullptr);
    dialog.show();
    QCOMPARE(dialog.windowTitle(), QString("Kestrove"));
    QCOMPARE(dialog.eFolder->text(), QString::fromStdString(backups.string()));
    QVERIFY(dialog.eFolder->isReadOnly());
    QCOMPARE(Names(dialog.ListView1), QStringList({"d.reg", "B.REG", "a.reg"}));
    QCOMPARE(dialog.ListView1->topLevelItem(1)->text(2), QString("1,025 KB"));
    QCOMPARE(dialog.ListView1->topLevelItem(2)->text(2), QString("0 KB"));
    QVERIFY(!dialog.bRestore->isEnabled());
    QVERIFY(!dialog.bDelete->isEnabled());

    // Restore of the first row: the editor imports it, the setting deletes it, the row that
    // takes its place is selected.
    dialog.ListView1->setCurrentItem(dialog.ListView1->topLevelItem(0));
    QVERIFY(dialog.bRestore->isEnabled() && dialog.bDelete->isEnabled());
    QTest::mouseClick(dialog.bRestore, Qt::LeftButton);
    QCOMPARE(QString::fromStdString(ReadText(dir.path() / "editor" / "args")),
             QString::fromStdString("/s\n" + backups.string() + "/d.reg\n"));
    QVERIFY(!fs::exists(backups / "d.reg"));
    QCOMPARE(Names(dialog.ListView1), QStringList({"B.REG", "a.reg"}));
    QCOMPARE(dialog.ListView1->selectedItems().value(0)->text(0), QString("B.REG"));

    // With the setting off the file and its row stay.
    options.DeleteBackupFile = false;
    QTest::mouseClick(dialog.bRestore, Qt::LeftButton);
    QVERIFY(fs::exists(backups / "B.REG"));
    QCOMPARE(Names(dialog.ListView1).size(), 2);

    // Delete of the last row selects the new last row.
    dialog.ListView1->setCurrentItem(dialog.ListView1->topLevelItem(1));
    QTest::mouseClick(dialog.bDelete, Qt::LeftButton);
    QVERIFY(!fs::exists(backups / "a.reg"));
    QCOMPARE(Names(dialog.ListView1), QStringList({"B.REG"}));
    QVERIFY(dialog.ListView1->topLevelItem(0)->isSelected());

    QTest::mouseClick(dialog.bOpenDirectory, Qt::LeftButton);
    QCOMPARE(desktop.opened, std::vector<std::string>({backups.string()}));

    // Another folder, missing: the message and an empty list; the setting is unchanged.
    dialog.OnBrowseFolder = [&] { return QString::fromStdString((dir.path() / "gone").string()); };
    QTest::mouseClick(dialog.bBrowseFolder, Qt::LeftButton);
    QCOMPARE(prompt.asked.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(prompt.asked[0].Text), QString("can not find the backup folder."));
    QCOMPARE(dialog.ListView1->topLevelItemCount(), 0);
    QVERIFY(!dialog.bRestore->isEnabled());
    QCOMPARE(options.OutputDirectory, backups.string());
  }

  // The window on a Wine prefix with the real editor: what a Restore put back is what the
  // next Scan of the same window reads; a restore that did not happen says why; another
  // system's backup goes in only after a Yes; the list says whose each file is.
  void aRestoreIsReadByTheNextScanAndOtherSystemsAreAskedFor() {
    TGuiTempFolder dir;
    const fs::path prefix = dir.path() / "prefix";
    wine::WriteSamplePrefix(prefix, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    wine::WinePrefixTarget target(prefix);
    TGuiTempFolder home;
    TGuiScriptedPrompt prompt;
    TfrmMain form(TMainFormSetup{&target, home.folder(), {}, &prompt});
    form.Regedit.Program = KESTROVE_REGEDIT_PATH;
    const fs::path backups = form.Options().OutputDirectory;
    fs::create_directories(backups);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.FlatButtonClick(form.bRegistry);
    // Every section ticked.
    QTreeWidgetItem* all = form.gbRegistry->tvRegistry->topLevelItem(0);
    for (int i = 0; i < 2 && !TStateImageTree::StateImageChecked(all); ++i)
      QTest::mouseClick(form.gbRegistry->tvRegistry->viewport(), Qt::LeftButton, Qt::NoModifier,
                        form.gbRegistry->tvRegistry->StateImageRect(all).center());
    QVERIFY(TStateImageTree::StateImageChecked(all));
    auto scan = [&] {
      form.gbRegistry->bScanClick();
      QVERIFY(QTest::qWaitFor([&] { return !form.gbRegistry->Scanning(); }, 60000));
    };
    scan();
    // Shortcut files have no backup: they do not come back.
    auto registryRows = [&] {
      std::size_t n = 0;
      for (const TScanResult& row : form.gbRegistry->RegistryRows()) n += row.LocationKind != TLocationKind::lkShortcutFile;
      return n;
    };
    const std::size_t found = registryRows();
    QVERIFY(found > 0);
    form.gbRegistry->bFixErrorsClick();
    QCOMPARE(form.gbRegistry->lStatusBar->text(), QString("Fix errors finished!"));
    const auto files = ListBackupFiles(backups);
    QVERIFY(files && files->size() == 1);
    const std::string fixBackup = (*files)[0].FileName;

    // Another system's backup (its origin line says so) and a malformed one beside ours.
    TTargetIdentity other = target.Identity();
    other.Folder = (dir.path() / "elsewhere").string();
    other.MachineId = "0123456789abcdef";
    WriteText(backups / "1999_01_01_000000.reg",
              "REGEDIT4\r\n;" + OriginLine(other) + "\r\n\r\n[HKEY_CURRENT_USER\\Software\\Theirs]\r\n");
    WriteText(backups / "1998_01_01_000000.reg", "REGEDIT4\r\n\r\n[HKEY_NOWHERE\\Bad]\r\n");
    QStringList listed, systems;
    auto restoreRow = [&](const QString& name) {
      auto watch = WhenModalOpens<TfrmRestore>([&](TfrmRestore* d) {
        listed.clear();
        systems.clear();
        for (int i = 0; i < d->ListView1->topLevelItemCount(); ++i) {
          listed << d->ListView1->topLevelItem(i)->text(0);
          systems << d->ListView1->topLevelItem(i)->text(3);
        }
        const int row = static_cast<int>(listed.indexOf(name));
        d->ListView1->setCurrentItem(d->ListView1->topLevelItem(row));
        d->aRestore->trigger();
        d->bClose->click();
      });
      form.bRestoreRegistryClick();
    };
    // This system's own file first, then the one of unknown origin, then the other system's.
    prompt.answers = {TMsgResult::No};
    restoreRow("1999_01_01_000000.reg");
    QCOMPARE(listed, QStringList({QString::fromStdString(fixBackup), "1998_01_01_000000.reg", "1999_01_01_000000.reg"}));
    QCOMPARE(systems[0], QString("this system"));
    QCOMPARE(systems[1], QString("origin unknown"));
    QVERIFY(systems[2].startsWith("Wine prefix " + QString::fromStdString(other.Folder)));
    QVERIFY(prompt.asked.back().Text.find(other.Folder) != std::string::npos);
    QVERIFY(prompt.asked.back().Text.find(prefix.string()) != std::string::npos);
    QVERIFY(!target.Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Theirs"));

    const std::size_t asked = prompt.asked.size();
    restoreRow("1998_01_01_000000.reg");
    QCOMPARE(prompt.asked.size(), asked + 1);
    QVERIFY(prompt.asked.back().Text.find("1998_01_01_000000.reg:") != std::string::npos);
    QVERIFY(fs::exists(backups / "1998_01_01_000000.reg"));

    restoreRow(QString::fromStdString(fixBackup));
    QVERIFY(!fs::exists(backups / fixBackup));  // deleted after the import, as the setting says
    scan();
    QCOMPARE(registryRows(), found);
  }

  void restoreButtonOpensTheDialog() {
    TGuiWorld world;
    auto form = world.MakeForm();
    QVERIFY(form->gbRegistry->bRestoreRegistry->isEnabled());
    QString shown;
    auto watch = WhenModalOpens<TfrmRestore>([&](TfrmRestore* d) {
      shown = d->eFolder->text();
      d->bClose->click();
    });
    form->gbRegistry->bRestoreRegistry->click();
    QCOMPARE(shown, QString::fromStdString(form->Options().OutputDirectory));
  }

  void stopEndsAFullBackupAtOnce() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->Regedit.Program = WriteEditor(world.home.path(), "exec sleep 60\n");
    const fs::path chosen = world.home.path() / "full";
    form->OnSaveFullBackup = [&] { return QString::fromStdString(chosen.string()); };
    bool stopped = false;
    auto watch = WhenModalOpens<TfrmBackupHint>([&](TfrmBackupHint* d) {
      QCOMPARE(d->lHint->text(), QString("Backup registry..."));
      QVERIFY(QTest::qWaitFor([&] { return fs::exists(world.home.path() / "editor" / "args"); }));
      QTest::mouseClick(d->bStop, Qt::LeftButton);
      stopped = true;
    });
    form->gbTools->bBackupFullRegistry->click();
    QVERIFY(stopped);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    const pid_t pid = std::stoi(ReadText(world.home.path() / "editor" / "pid"));
    QVERIFY(::kill(pid, 0) != 0);  // killed and reaped
    QVERIFY(ReadText(world.home.path() / "editor" / "args").find("/e\n" + chosen.string() + ".reg\n") !=
            std::string::npos);
  }
};

KESTROVE_GUI_TEST(RestoreDialogTest);

}  // namespace kestrove::testing

#include "RestoreDialogTest.moc"

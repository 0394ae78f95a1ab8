// The restore-point dialog in Fix Errors: a refused restore point answered No stops Fix before
// any change; a restore point made lets it go on, and holds the hives as they were.
#include <QLabel>

#include "gui/GuiTestSupport.h"
#include "gui/SystemPoint.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"
#include "platform/wine/WineServer.h"
#include "regscan/RestorePoint.h"

namespace kestrove::testing {

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

class TSystemPointTest : public QObject {
  Q_OBJECT

 private slots:
  void testRefusedAndNoStopsFixThenAPointLetsItGoOn() {
    TGuiTempFolder dir, home;
    const fs::path prefix = dir.path() / "prefix";
    wine::WriteSamplePrefix(prefix, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    auto target = OpenTarget(TargetChoice{prefix, "--root"});
    QVERIFY(target->WindowsVersion() >= 9 && target->WindowsVersion() <= 12);
    QVERIFY(target->Registry()->CreateKey(HKEY_CURRENT_USER, "Software\\Gone App"));
    target->Registry()->Commit();
    auto hives = [&] { return ReadAll(prefix / "system.reg") + ReadAll(prefix / "userdef.reg") + ReadAll(prefix / "user.reg"); };
    const std::string before = hives();

    TGuiScriptedPrompt prompt;
    TfrmMain form(TMainFormSetup{target.get(), home.folder(), {}, &prompt});
    form.OnTerminate = [](int) {};
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.Options().RestorePoint = true;
    const fs::path backup = form.Options().OutputDirectory;
    fs::create_directories(backup);
    std::ofstream(backup / kRestorePointsFolder) << "a file where the folder goes";  // the point is refused
    form.gbRegistry->SetRegistryRows(
        {{"problem", "", "HKEY_CURRENT_USER\\Software\\Gone App", TLocationKind::lkKey, true}});

    prompt.answers = {TMsgResult::No};
    QTest::mouseClick(form.gbRegistry->bFixErrors, Qt::LeftButton);
    QCOMPARE(prompt.asked.size(), std::size_t(1));
    QCOMPARE(prompt.asked[0].Text, std::string("Restore Point creation Failed! Contiue to fix?"));
    QVERIFY(prompt.asked[0].Buttons == TMsgButtons::YesNo && prompt.asked[0].Icon == TMsgIcon::Information);
    QCOMPARE(prompt.asked[0].DefaultButton, 1);
    QCOMPARE(form.gbRegistry->RegistryRows().size(), std::size_t(1));
    QVERIFY(target->Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Gone App"));
    QVERIFY(hives() == before);
    QCOMPARE(std::distance(fs::directory_iterator(backup), fs::directory_iterator()), 1);  // no .reg backup

    // With room for it, the point is made, the dialog closes by itself and Fix goes on.
    fs::remove(backup / kRestorePointsFolder);
    QTest::mouseClick(form.gbRegistry->bFixErrors, Qt::LeftButton);
    QCOMPARE(form.gbRegistry->lStatusBar->text(), QString("Fix errors finished!"));
    QCOMPARE(prompt.asked.size(), std::size_t(1));
    QVERIFY(!target->Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Gone App"));
    const auto points = TRestorePoints(backup).List();
    QCOMPARE(points.size(), std::size_t(1));
    const fs::path point = backup / kRestorePointsFolder / points[0].Name;
    QVERIFY(ReadAll(point / "system.reg") + ReadAll(point / "userdef.reg") + ReadAll(point / "user.reg") == before);
  }

  // Closed before the worker reports (here it waits for the registry's lock): Cancel, and the
  // late report asks nothing. Shown again, it works afresh.
  void testClosedBeforeTheReportIsCancel() {
    TGuiTempFolder dir;
    const fs::path prefix = dir.path() / "prefix";
    wine::WriteSamplePrefix(prefix, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    auto target = OpenTarget(TargetChoice{prefix, "--root"});
    TOptionsSetting options;
    options.OutputDirectory = (dir.path() / "Backup").string();
    TQtOwnerThread owner;
    TGuiScriptedPrompt prompt;
    TfrmSystemPoint dialog(*target, owner, options, &prompt, nullptr);

    wine::AdvisoryLock other;  // another Kestrove process writing the registry
    std::string error;
    QVERIFY(other.Acquire(prefix / ".kestrove-registry.lock", std::chrono::seconds(1), error));
    QStringList seen;
    auto watch = WhenModalOpens<TfrmSystemPoint>([&](TfrmSystemPoint* d) {
      seen << d->windowTitle() << d->Label1->text() << d->Label2->text() << d->Label3->text() << d->Label4->text()
           << QString::number(d->Timer1->isActive() ? d->Timer1->interval() : 0);
      other.Release();
      d->reject();
    });
    QVERIFY(!dialog.Run());
    QCOMPARE(seen, QStringList({"Create System Point", "Creating Restore Point",
                                "Kestrove is creating a restore point which will enable",
                                "you to safely return your system back to its former state.", "Please wait...", "1000"}));
    QTest::qWait(200);
    QVERIFY(prompt.asked.empty());
    QVERIFY(!dialog.isVisible());

    QVERIFY(dialog.Run());
    QVERIFY(!dialog.Timer1->isActive());
    QVERIFY(prompt.asked.empty());
  }
};

KESTROVE_GUI_TEST(TSystemPointTest);

}  // namespace kestrove::testing

#include "SystemPointTest.moc"

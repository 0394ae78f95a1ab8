// The Defrag page on the sample prefix, through its buttons and its unattended job: the list
// and totals after Analyze, the swap after Defrag, the result file of /Regscan, and no copy
// left once the window has closed.
#include "defrag/DefragApply.h"
#include "defrag/HiveAnalysis.h"
#include "gui/DefragProgress.h"
#include "gui/GuiTestSupport.h"
#include "platform/wine/WineSample.h"

namespace kestrove::testing {

namespace {

namespace fs = std::filesystem;

class TDefragWorld {
 public:
  TDefragWorld() {
    wine::WriteSamplePrefix(dir.path() / "prefix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    target = OpenTarget(TargetChoice{dir.path() / "prefix", "--root"});
  }
  std::unique_ptr<TfrmMain> MakeForm(std::vector<std::string> args = {}) {
    auto form = std::make_unique<TfrmMain>(TMainFormSetup{target.get(), home.folder(), std::move(args), &prompt});
    form->OnTerminate = [this](int code) {
      ++terminated;
      exitCode = code;
    };
    return form;
  }
  fs::path Prefix() const { return dir.path() / "prefix"; }

  TGuiTempFolder dir;
  TGuiTempFolder home;
  std::unique_ptr<TargetSystem> target;
  TGuiScriptedPrompt prompt;
  int terminated = 0;
  int exitCode = -1;
};

QStringList Row(QTableWidget* list, int row) {
  QStringList texts;
  for (int c = 0; c < list->columnCount(); ++c) texts << (list->item(row, c) ? list->item(row, c)->text() : "");
  return texts;
}

}  // namespace

class DefragPageTest : public QObject {
  Q_OBJECT

 private slots:
  void analyzeThenDefragThroughTheButtons() {
    TDefragWorld world;
    auto form = world.MakeForm();
    form->show();
    TDefragPage* page = form->gbDefrag;
    QCOMPARE(page->lvMain->rowCount(), 3);
    QCOMPARE(Row(page->lvMain, 0), QStringList({"\\REGISTRY\\MACHINE", "", "", ""}));
    QVERIFY(!page->bDefragRegistry->isEnabled());

    bool sawDialog = false;
    page->RunProgress = [&](TfrmGetNewHiveProgess& d) {
      sawDialog = d.windowTitle() == "Defrag Registry" && d.bStop->text() == "Stop";
      d.exec();
    };
    QTest::mouseClick(page->bAnalyzeRegistry, Qt::LeftButton);
    QVERIFY(sawDialog);
    QVERIFY(page->bDefragRegistry->isEnabled());
    const qint64 systemSize = static_cast<qint64>(fs::file_size(world.Prefix() / "system.reg"));
    QCOMPARE(page->lvMain->item(0, 1)->text(), QString::fromStdString(FormatSizeKB(systemSize)));
    QCOMPARE(page->lvMain->item(0, 3)->text(), QString("0%"));
    QCOMPARE(page->lCompactPercent->text(), QString("0.0%"));
    QCOMPARE(page->lSizeReduction->text(), QString("0 KB"));
    // Nothing to gain: the page says so, and still lets the user go on.
    QCOMPARE(world.prompt.asked.size(), std::size_t{1});
    QVERIFY(QString::fromStdString(world.prompt.asked[0].Text).startsWith("The fragment rate of your registry is only 0.0%. "));
    QVERIFY(fs::exists(world.Prefix() / "user.reg.fdc"));

    // With restore points asked for, a cancelled restore point replaces nothing.
    form->Options().RestorePoint = true;
    int pointsAsked = 0;
    page->RunRestorePoint = [&] { return ++pointsAsked > 1; };
    QTest::mouseClick(page->bDefragRegistry, Qt::LeftButton);
    QCOMPARE(pointsAsked, 1);
    QVERIFY(!fs::exists(world.Prefix() / "system.reg.bak"));
    QCOMPARE(world.prompt.asked.size(), std::size_t{1});
    QTest::mouseClick(page->bDefragRegistry, Qt::LeftButton);
    QCOMPARE(pointsAsked, 2);
    QCOMPARE(world.prompt.asked.size(), std::size_t{2});
    QCOMPARE(world.prompt.asked[1].Text, std::string(kDefragDone));
    for (const char* hive : {"system.reg", "user.reg", "userdef.reg"}) {
      QVERIFY(fs::exists(world.Prefix() / (std::string(hive) + ".bak")));
      QVERIFY(!fs::exists(world.Prefix() / (std::string(hive) + ".fdc")));
    }
    // A second analysis leaves copies, which the window's close removes.
    QTest::mouseClick(page->bAnalyzeRegistry, Qt::LeftButton);
    QVERIFY(fs::exists(world.Prefix() / "system.reg.fdc"));
    form->close();
    for (const char* hive : {"system.reg", "user.reg", "userdef.reg"})
      QVERIFY(!fs::exists(world.Prefix() / (std::string(hive) + ".fdc")));
  }

  void regscanWritesTheResultAndCloses() {
    TDefragWorld world;
    const fs::path result = world.dir.path() / "result.ini";
    WriteText(result, "[Scan Result]\nOld=1\n[Other]\nKeep=1\n");
    auto form = world.MakeForm({"/Regscan", result.string()});
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return world.terminated > 0; }, 60000));
    QCOMPARE(world.exitCode, 0);
    const std::string text = ReadText(result);
    QVERIFY2(text.find("Old=") == std::string::npos, text.c_str());
    QVERIFY2(text.find("Keep=1") != std::string::npos, text.c_str());
    for (const char* key : {"Current Size=", "New Size=", "Size Reduction=0 KB", "Compact Percent=0.0%", "Time="})
      QVERIFY2(text.find(key) != std::string::npos, text.c_str());
    // Silent: no advice, and the copies went with the window.
    QVERIFY(world.prompt.asked.empty());
    QVERIFY(!fs::exists(world.Prefix() / "system.reg.fdc"));
  }

  void regdefragCompactsUnattended() {
    TDefragWorld world;
    const std::string user = ReadText(world.Prefix() / "user.reg");
    auto form = world.MakeForm({"/Regdefrag"});
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return world.terminated > 0; }, 60000));
    QVERIFY(world.prompt.asked.empty());
    QCOMPARE(ReadText(world.Prefix() / "user.reg.bak"), user);
    QVERIFY(!fs::exists(world.Prefix() / "user.reg.fdc"));
  }
};

KESTROVE_GUI_TEST(DefragPageTest);

}  // namespace kestrove::testing

#include "DefragPageTest.moc"

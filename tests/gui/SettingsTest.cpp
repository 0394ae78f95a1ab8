// What survives a restart (selection, open categories, window placement), the session end,
// and the command-line starts "/Clear" and "/Auto".
#include "gui/AskDelete.h"
#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

namespace {

// options.ini selecting the log item, as a saved selection reads.
void StoreLogItemSelection(TGuiWorld& world, bool askBeforeClear) {
  WriteText(world.home.path() / "options.ini",
            std::string("[Options]\nIsAskBeforeClear=") + (askBeforeClear ? "1" : "0") +
                "\n[NodeSelected]\n1=Windows\n2=Windows - Windows Log Files\nSelectedCount=2\n");
}

}  // namespace

class TSettingsTest : public QObject {
  Q_OBJECT

 private slots:
  void selectionOpenCategoriesAndMaximisedSurviveARestart() {
    TGuiWorld world;
    {
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      // Nothing stored: nothing checked, every category with a slot open.
      QVERIFY(form->gbCleaner->CollectSelection().empty());
      QVERIFY(FindNode(form->Catalogue(), "Opera")->Expanded);
      ClickStateImage(*form, FindNode(form->Catalogue(), "Opera", "Cookies"));
      ClickStateImage(*form, FindNode(form->Catalogue(), "Windows", "Clipboard"));
      form->gbCleaner->tvCleanItems->collapseItem(form->gbCleaner->tvCleanItems->ItemOf(FindNode(form->Catalogue(), "Internet Explorer")));
      form->gbCleaner->tvCleanItems->collapseItem(form->gbCleaner->tvCleanItems->ItemOf(FindNode(form->Catalogue(), "Opera")));
      form->showMaximized();
      QVERIFY(QTest::qWaitFor([&] { return form->isMaximized(); }));
      form->close();
      QCOMPARE(world.terminated, 1);
    }
    const std::string ini = ReadText(world.home.path() / "options.ini");
    QVERIFY(ini.find("Windows - Clipboard") != std::string::npos);
    QVERIFY(ini.find("State=3") != std::string::npos);
    {
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      QVERIFY(QTest::qWaitFor([&] { return form->isMaximized(); }));
      QCOMPARE(form->gbCleaner->CollectSelection(), (std::vector<std::string>{"Windows - Clipboard", "Opera - Cookies"}));
      QVERIFY(TStateImageTree::StateImageChecked(form->gbCleaner->tvCleanItems->ItemOf(FindNode(form->Catalogue(), "Opera"))));
      for (const auto& [name, open] : std::vector<std::pair<std::string, bool>>{
               {"Internet Explorer", false}, {"Opera", false}, {"Windows", true}, {"Netscape", true}}) {
        TCatalogueNode* node = FindNode(form->Catalogue(), name);
        QCOMPARE(node->Expanded, open);
        QCOMPARE(form->gbCleaner->tvCleanItems->ItemOf(node)->isExpanded(), open);
      }
      // Un-maximised now: the next start opens normal.
      form->showNormal();
      QVERIFY(QTest::qWaitFor([&] { return !form->isMaximized(); }));
      form->close();
    }
    {
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      QTest::qWait(50);
      QVERIFY(!form->isMaximized());
    }
  }

  void normalPlacementSurvivesARestart() {
    TGuiWorld world;
    const QRect wanted(40, 60, 760, 520);
    {
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      form->setGeometry(wanted);
      QVERIFY(QTest::qWaitFor([&] { return form->geometry() == wanted; }));
      const TWindowPlacement p = form->CurrentPlacement();
      QCOMPARE(p.State, TWindowShowState::Normal);
      QCOMPARE(QRect(p.Left, p.Top, p.Width, p.Height), wanted);
      form->close();
    }
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QVERIFY(QTest::qWaitFor([&] { return form->geometry() == wanted; }));
  }

  void fastModeAndTheQuestionAreKept() {
    TGuiWorld world;
    {
      auto form = world.MakeForm();
      form->show();
      QVERIFY(form->gbCleaner->cbFastMode->isChecked());  // on by default
      QTest::mouseClick(form->gbCleaner->cbFastMode, Qt::LeftButton);
      form->Options().IsAskBeforeClear = false;
      form->close();
    }
    auto form = world.MakeForm();
    form->show();
    QVERIFY(!form->gbCleaner->cbFastMode->isChecked());
    QVERIFY(!form->Cleaner().FastModeFlag().load());
    QVERIFY(!form->Options().IsAskBeforeClear);
  }

  void sessionEndSavesAndCloses() {
    TGuiWorld world(3);
    StoreLogItemSelection(world, false);
    WriteText(world.home.path() / "options.ini",
              ReadText(world.home.path() / "options.ini") + "[SChedule]\nShutdownClean=1\n");
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    ClickStateImage(*form, FindNode(form->Catalogue(), "Opera", "Cookies"));
    form->SessionEndCleanWait = std::chrono::seconds(20);
    QVERIFY(form->WMQueryEndSession());
    // The clean it started was given the time to finish; the settings and the close follow.
    QCOMPARE(world.LogFilesLeft(), 0);
    QCOMPARE(world.terminated, 1);
    QVERIFY(ReadText(world.home.path() / "options.ini").find("Opera - Cookies") != std::string::npos);
  }

  void clearRunsTheCleanWithoutQuestionsAndEnds() {
    TGuiWorld world(3);
    StoreLogItemSelection(world, true);
    int dialogs = 0;
    auto watch1 = WhenModalOpens<TfrmAskDelete>([&](TfrmAskDelete* d) {
      ++dialogs;
      d->reject();
    });
    auto form = world.MakeForm({"/CLEAR"});
    form->show();
    QVERIFY(form->Cleaner().SkipConfirm);
    // The jobs begin once the window has been shown: hidden, cleaning, then closed.
    QVERIFY(QTest::qWaitFor([&] { return world.terminated == 1; }, 20000));
    QVERIFY(form->isHidden());
    QCOMPARE(dialogs, 0);
    QCOMPARE(world.LogFilesLeft(), 0);
    QCOMPARE(form->gbRegistry->ProgressBar2->format(), QString("Finished!"));  // the registry scan ran to its end
    QCOMPARE(world.exitCode, 0);
    // The only question: the backup folder of the repair that ends the run (answered Yes).
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QVERIFY(world.prompt.asked[0].Text.find("can not find the backup folder.") != std::string::npos);
    QVERIFY(std::filesystem::is_directory(form->Options().OutputDirectory));
  }

  void clearWithNothingSelectedEndsAtOnce() {
    TGuiWorld world(3);
    auto form = world.MakeForm({"/clear"});
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return world.terminated == 1; }, 5000));
    QCOMPARE(world.exitCode, 0);
    QCOMPARE(world.LogFilesLeft(), 3);
    // A direct clean with nothing selected says nothing; the repair after the scan asks for its
    // backup folder.
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
  }

  void autoStartsHiddenAndRunsNothingWithoutStartClean() {
    TGuiWorld world(3);
    StoreLogItemSelection(world, false);
    {
      auto form = world.MakeForm({"/Auto"});
      form->show();
      QVERIFY(QTest::qWaitFor([&] { return form->isHidden(); }, 5000));
      QTest::qWait(300);
      QVERIFY(!form->Cleaner().Busy);
      QCOMPARE(world.LogFilesLeft(), 3);
      QCOMPARE(world.terminated, 0);
    }
    // The switch is exact: "/auto" starts as usual.
    auto form = world.MakeForm({"/auto"});
    form->show();
    QTest::qWait(300);
    QVERIFY(form->isVisible());
  }

  void closingWhileATestRunsStopsItFirst() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    ClickStateImage(*form, FindNode(form->Catalogue(), "Windows"));
    form->gbCleaner->bTestClick();
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Cancel"));
    form->close();
    QCOMPARE(world.terminated, 1);
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
    QVERIFY(!form->Cleaner().Busy);
    // The selection was saved although a job was running.
    QVERIFY(ReadText(world.home.path() / "options.ini").find("Windows - Clipboard") != std::string::npos);
    form.reset();  // waits for the job to end
    QCOMPARE(world.LogFilesLeft(), 3);
  }

  void regscanAndRegdefragAreSilentJobs() {
    for (const char* arg : {"/REGSCAN", "/regdefrag"}) {
      TGuiWorld world;
      auto form = world.MakeForm({arg, "result.ini"});
      QVERIFY(!form->SilentJob);
      form->show();
      QVERIFY(form->SilentJob);
    }
    TGuiWorld world;
    auto form = world.MakeForm({"result.ini", "/Regscan"});  // only the first argument counts
    form->show();
    QVERIFY(!form->SilentJob);
  }

  void autoWithStartCleanCleansHidden() {
    TGuiWorld world(3);
    StoreLogItemSelection(world, false);
    WriteText(world.home.path() / "options.ini",
              ReadText(world.home.path() / "options.ini") + "[SChedule]\nStartClean=1\n");
    auto form = world.MakeForm({"/Auto"});
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return world.LogFilesLeft() == 0; }, 20000));
    QVERIFY(QTest::qWaitFor([&] { return form->gbRegistry->ProgressBar2->format() == "Finished!"; }, 20000));  // and scans
    QVERIFY(form->isHidden());
    QCOMPARE(world.terminated, 0);  // resident
  }
};

KESTROVE_GUI_TEST(TSettingsTest);

}  // namespace kestrove::testing

#include "SettingsTest.moc"

// The Registry page: the sections tree's check rules, a scan of the sample prefix that fills
// the list and ends with the status text, and Cancel, after which no row arrives.
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidgetItemIterator>

#include "gui/GuiTestSupport.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"
#include "regscan/ScanTaskThread.h"

namespace kestrove::testing {

namespace {

namespace fs = std::filesystem;

QTreeWidgetItem* Section(TfrmMain& form, const QString& text) {
  for (QTreeWidgetItemIterator it(form.gbRegistry->tvRegistry); *it; ++it)
    if ((*it)->text(0) == text) return *it;
  return nullptr;
}

bool Ticked(TfrmMain& form, const QString& text) { return TStateImageTree::StateImageChecked(Section(form, text)); }

void ClickSection(TfrmMain& form, const QString& text) {
  QTreeWidgetItem* item = Section(form, text);
  form.gbRegistry->tvRegistry->scrollToItem(item);
  QTest::mouseClick(form.gbRegistry->tvRegistry->viewport(), Qt::LeftButton, Qt::NoModifier,
                    form.gbRegistry->tvRegistry->StateImageRect(item).center());
}

// Leaves every node unticked, whatever the stored marks were.
void UntickAll(TfrmMain& form) {
  ClickSection(form, "My Computers");
  if (Ticked(form, "My Computers")) ClickSection(form, "My Computers");
}

const QStringList kHives = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

// The sample prefix: an installed application whose references are sound and a removed
// one whose references are broken.
class TSampleWorld {
 public:
  TSampleWorld() {
    wine::WriteSamplePrefix(dir.path() / "prefix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    target = OpenTarget(TargetChoice{dir.path() / "prefix", "--root"});
  }
  std::unique_ptr<TfrmMain> MakeForm() {
    auto form = std::make_unique<TfrmMain>(TMainFormSetup{target.get(), home.folder(), {}, &prompt});
    form->OnTerminate = [](int) {};
    return form;
  }
  // The rows the engine finds for these codes, as the end of a scan leaves them.
  std::vector<TScanResult> EngineRows(const std::vector<std::string>& codes, const TOptionsSetting& options) {
    struct TRows : IScanEvents {
      std::vector<TScanResult> rows;
      void OnTitle(const std::string&) override {}
      void OnKeyMemo(const std::string&) override {}
      void OnRow(const TScanResult& row) override { rows.push_back(row); }
      void OnScanStep() override {}
      void OnScanDone() override {}
    } found;
    TScanTaskThread worker(*target, found, options.IncludeRemoveMedia);
    worker.SectionCodes = codes;
    worker.Execute();  // on this thread
    std::vector<TScanResult>& rows = found.rows;
    for (TScanResult& r : rows) r.Selected = true;
    if (!rows.empty()) ApplyIgnoreLists(rows, options.IgnoreValues, options.IgnoreKeys);
    return rows;
  }

  TGuiTempFolder dir;
  TGuiTempFolder home;
  std::unique_ptr<TargetSystem> target;
  TGuiScriptedPrompt prompt;
};

std::vector<std::string> AllCodes() {
  std::vector<std::string> codes;
  for (const TScanSection& s : ScanSections()) codes.push_back(std::to_string(s.Code));
  return codes;
}

}  // namespace

class TRegistryPageTest : public QObject {
  Q_OBJECT

 private slots:
  void testTreeCheckRules() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    UntickAll(*form);
    for (QTreeWidgetItemIterator it(form->gbRegistry->tvRegistry); *it; ++it) QVERIFY(!TStateImageTree::StateImageChecked(*it));

    // The root carries every node with it.
    ClickSection(*form, "My Computers");
    for (QTreeWidgetItemIterator it(form->gbRegistry->tvRegistry); *it; ++it) QVERIFY(TStateImageTree::StateImageChecked(*it));
    ClickSection(*form, "My Computers");
    QVERIFY(!Ticked(*form, "HKEY_USERS"));

    // A group carries its children and ticks the root.
    ClickSection(*form, "Files and Folders");
    for (const QString& h : kHives) QVERIFY(Ticked(*form, h));
    QVERIFY(Ticked(*form, "My Computers"));
    QVERIFY(!Ticked(*form, "Fonts Section"));

    // A hive: the group stays ticked while any hive is; the root follows the groups.
    for (int i = 0; i < 3; ++i) {
      ClickSection(*form, kHives[i]);
      QVERIFY(Ticked(*form, "Files and Folders"));
      QVERIFY(Ticked(*form, "My Computers"));
    }
    ClickSection(*form, kHives[3]);
    QVERIFY(!Ticked(*form, "Files and Folders"));
    QVERIFY(!Ticked(*form, "My Computers"));
    ClickSection(*form, "HKEY_USERS");
    QVERIFY(Ticked(*form, "Files and Folders"));
    QVERIFY(Ticked(*form, "My Computers"));

    // A section without children: the root is ticked while any section is.
    ClickSection(*form, "Fonts Section");
    ClickSection(*form, "HKEY_USERS");
    QVERIFY(!Ticked(*form, "Files and Folders"));
    QVERIFY(Ticked(*form, "My Computers"));
    ClickSection(*form, "Fonts Section");
    QVERIFY(!Ticked(*form, "My Computers"));

    // A click on the text changes nothing.
    QTreeWidgetItem* fonts = Section(*form, "Fonts Section");
    QTest::mouseClick(form->gbRegistry->tvRegistry->viewport(), Qt::LeftButton, Qt::NoModifier,
                      form->gbRegistry->tvRegistry->LabelRect(fonts).center());
    QVERIFY(!Ticked(*form, "Fonts Section"));

    // The tree cannot be folded.
    QTreeWidgetItem* files = Section(*form, "Files and Folders");
    form->gbRegistry->tvRegistry->collapseItem(files);
    QVERIFY(files->isExpanded());
    QTest::mouseDClick(form->gbRegistry->tvRegistry->viewport(), Qt::LeftButton, Qt::NoModifier,
                       form->gbRegistry->tvRegistry->LabelRect(files).center());
    QVERIFY(files->isExpanded());
  }

  void testNothingTickedAsksForSections() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    UntickAll(*form);
    QTest::mouseClick(form->gbRegistry->bScan, Qt::LeftButton);
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QCOMPARE(world.prompt.asked[0].Text, std::string("Please select the sections which you want to scan from the left list."));
    QCOMPARE(form->gbRegistry->bScan->text(), QString("Scan"));
    QVERIFY(!form->gbRegistry->Scanning());
  }

  void testScanFillsTheListAndEndsWithTheStatus() {
    TSampleWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    UntickAll(*form);
    ClickSection(*form, "My Computers");
    const std::vector<TScanResult> expected = world.EngineRows(AllCodes(), form->Options());
    QVERIFY(!expected.empty());

    QTest::mouseClick(form->gbRegistry->bScan, Qt::LeftButton);
    QCOMPARE(form->gbRegistry->bScan->text(), QString("Cancel"));
    QVERIFY(form->gbRegistry->Memo1->isVisible());
    QVERIFY(!form->gbRegistry->bRestoreRegistry->isVisible());
    QCOMPARE(form->Scanner().ScanStep, 1);  // all five whole-tree walks
    // Rows come in unticked while the scan runs.
    QVERIFY(QTest::qWaitFor([&] { return form->gbRegistry->lvRegistryData->topLevelItemCount() > 0 || !form->gbRegistry->Scanning(); }, 60000));
    if (form->gbRegistry->Scanning()) QCOMPARE(form->gbRegistry->lvRegistryData->topLevelItem(0)->checkState(0), Qt::Unchecked);
    QVERIFY(QTest::qWaitFor([&] { return !form->gbRegistry->Scanning(); }, 60000));

    QCOMPARE(form->gbRegistry->bScan->text(), QString("Scan"));
    QCOMPARE(form->gbRegistry->ProgressBar2->value(), 1000);
    QVERIFY(form->gbRegistry->ProgressBar2->isTextVisible());
    QCOMPARE(form->gbRegistry->ProgressBar2->format(), QString("Finished!"));
    QCOMPARE(form->gbRegistry->lScanTitle->text(), QString("Select the sections to scan"));
    QVERIFY(!form->gbRegistry->Memo1->isVisible());
    QVERIFY(form->gbRegistry->bRestoreRegistry->isVisible());
    QVERIFY(!form->Timer1->isActive());
    const std::vector<TScanResult> rows = form->gbRegistry->RegistryRows();
    QCOMPARE(rows.size(), expected.size());
    QVERIFY(rows == expected);  // every row ticked, in the order found, the ignore lists applied
    const QString n = QString::number(rows.size());
    QCOMPARE(form->gbRegistry->lStatusBar->text(), " " + n + " Errors Found,  " + n + " Errors Selected.");
    QCOMPARE(form->gbRegistry->lvRegistryData->headerItem()->text(2), QString("Registry key"));

    // Unticking a row is what the status counts as selected.
    form->gbRegistry->lvRegistryData->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    form->gbRegistry->UpdateScanStatus();
    QCOMPARE(form->gbRegistry->lStatusBar->text(), " " + n + " Errors Found,  " + QString::number(rows.size() - 1) + " Errors Selected.");

    // A second scan empties the list first and finds the same.
    form->gbRegistry->bScanClick();
    QCOMPARE(form->gbRegistry->lvRegistryData->topLevelItemCount() <= static_cast<int>(rows.size()), true);
    QVERIFY(QTest::qWaitFor([&] { return !form->gbRegistry->Scanning(); }, 60000));
    QVERIFY(form->gbRegistry->RegistryRows() == expected);

    // Fix Errors takes every ticked row but the unticked first one, after the backup folder
    // question, and the status says so.
    form->gbRegistry->lvRegistryData->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    QTest::mouseClick(form->gbRegistry->bFixErrors, Qt::LeftButton);
    QCOMPARE(form->gbRegistry->lStatusBar->text(), QString("Fix errors finished!"));
    QCOMPARE(form->gbRegistry->RegistryRows().size(), std::size_t(1));
    QVERIFY(form->gbRegistry->RegistryRows()[0] == [&] {
      TScanResult first = expected[0];
      first.Selected = false;
      return first;
    }());
    QVERIFY(!world.prompt.asked.empty());
    QVERIFY(world.prompt.asked.back().Text.find("can not find the backup folder.") != std::string::npos);
    QVERIFY(!std::filesystem::is_empty(form->Options().OutputDirectory));
  }

  void testCancelStopsTheRows() {
    TSampleWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    UntickAll(*form);
    ClickSection(*form, "My Computers");
    const std::size_t all = world.EngineRows(AllCodes(), form->Options()).size();
    QVERIFY(all > 1);

    form->gbRegistry->bScanClick();
    QVERIFY(QTest::qWaitFor([&] { return form->gbRegistry->lvRegistryData->topLevelItemCount() > 0 || !form->gbRegistry->Scanning(); }, 60000));
    QVERIFY2(form->gbRegistry->Scanning(), "the scan ended before Cancel could be tried");
    const int shown = form->gbRegistry->lvRegistryData->topLevelItemCount();
    form->gbRegistry->bScanClick();  // Cancel
    QCOMPARE(form->gbRegistry->bScan->text(), QString("Scan"));
    QVERIFY(!form->gbRegistry->Scanning());
    // The last row goes; the rest are ticked.
    QCOMPARE(form->gbRegistry->lvRegistryData->topLevelItemCount(), shown - 1);
    QTest::qWait(500);
    QCOMPARE(form->gbRegistry->lvRegistryData->topLevelItemCount(), shown - 1);
    QVERIFY(static_cast<std::size_t>(shown - 1) < all);
    const QString n = QString::number(shown - 1);
    QCOMPARE(form->gbRegistry->lStatusBar->text(), " " + n + " Errors Found,  " + n + " Errors Selected.");
    QCOMPARE(form->gbRegistry->ProgressBar2->format(), QString("Finished!"));
    QVERIFY(form->gbRegistry->bRestoreRegistry->isVisible());
  }

  void testCancelRightAfterScan() {
    TSampleWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    UntickAll(*form);
    ClickSection(*form, "Files and Folders");
    form->gbRegistry->bScanClick();
    QCOMPARE(form->Scanner().ScanStep, 2);
    form->gbRegistry->bScanClick();
    QTest::qWait(300);
    QCOMPARE(form->gbRegistry->lvRegistryData->topLevelItemCount(), 0);
    QCOMPARE(form->gbRegistry->lStatusBar->text(), QString(" 0 Errors Found,  0 Errors Selected."));
    // The next scan runs as usual.
    form->gbRegistry->bScanClick();
    QVERIFY(QTest::qWaitFor([&] { return !form->gbRegistry->Scanning(); }, 60000));
    QCOMPARE(form->gbRegistry->ProgressBar2->format(), QString("Finished!"));
  }

  void testClosingDuringAScanStopsTheWorker() {
    TSampleWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    UntickAll(*form);
    ClickSection(*form, "My Computers");
    form->gbRegistry->bScanClick();
    QVERIFY(form->gbRegistry->Scanning());
    form->close();  // the close steps cancel the scan
    QVERIFY(!form->gbRegistry->Scanning());
    QCOMPARE(form->gbRegistry->bScan->text(), QString("Scan"));
    form->gbRegistry->bScanClick();
    form.reset();  // and a scan still running when the window goes is stopped and waited for
    QTest::qWait(100);  // a wake-up queued for the window must not reach it
  }

  // "/Clear" on a first run: the repair that ends the scan asks, in a real message box, whether
  // to create the backup folder, while the hidden window watches for its jobs to end. The run
  // ends only once the question is answered: Yes repairs what the scan found; No leaves the
  // registry as it was and the exit status says so.
  void testClearWaitsForTheBackupFolderQuestion() {
    for (const bool yes : {true, false}) {
      TSampleWorld world;
      auto form = std::make_unique<TfrmMain>(TMainFormSetup{world.target.get(), world.home.folder(), {"/Clear"}, nullptr});
      int terminated = 0, exitCode = -1;
      bool endedWhileAsking = false;
      form->OnTerminate = [&](int code) {
        ++terminated;
        exitCode = code;
        // As the end of the event loop does: a box still open goes away unanswered.
        if (QWidget* box = QApplication::activeModalWidget()) {
          endedWhileAsking = true;
          box->close();
        }
      };
      QString question;
      std::vector<TScanResult> found;  // what the scan found, for the repair to remove
      auto watch = WhenModalOpens<QMessageBox>([&](QMessageBox* box) {
        question = box->text();
        found = form->gbRegistry->RegistryRows();
        // The user takes a while to answer; the window's timers run meanwhile.
        QTimer::singleShot(1500, box, [box, yes] { box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click(); });
      });
      form->show();
      QVERIFY(QTest::qWaitFor([&] { return terminated > 0; }, 120000));
      QTest::qWait(300);
      QCOMPARE(terminated, 1);
      QVERIFY(!endedWhileAsking);
      QVERIFY2(question.contains("can not find the backup folder."), qPrintable(question));
      QVERIFY(!found.empty());
      // A scan now: what the repair removed is no longer found (a removal may bring a new finding).
      const std::vector<TScanResult> left = world.EngineRows(form->Scanner().Selection, form->Options());
      const fs::path folder = form->Options().OutputDirectory;
      if (yes) {
        QCOMPARE(exitCode, 0);
        QVERIFY(form->gbRegistry->RegistryRows().empty());
        QCOMPARE(form->gbRegistry->lStatusBar->text(), QString("Fix errors finished!"));
        for (const TScanResult& row : found) QVERIFY(std::find(left.begin(), left.end(), row) == left.end());
        QVERIFY(fs::is_directory(folder) && !fs::is_empty(folder));
      } else {
        QCOMPARE(exitCode, 1);
        QVERIFY(left == found);  // nothing was removed
        QVERIFY(form->gbRegistry->RegistryRows() == found);
        QVERIFY(!fs::exists(folder));
      }
    }
  }

  void testSectionMarksAreKept() {
    TGuiWorld world;
    {
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      form->FlatButtonClick(form->bRegistry);
      UntickAll(*form);
      ClickSection(*form, "Fonts Section");
      ClickSection(*form, "HKEY_USERS");
      form->close();
    }
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    for (QTreeWidgetItemIterator it(form->gbRegistry->tvRegistry); *it; ++it) {
      const QString t = (*it)->text(0);
      const bool want = t == "Fonts Section" || t == "HKEY_USERS" || t == "Files and Folders" || t == "My Computers";
      QCOMPARE(TStateImageTree::StateImageChecked(*it), want);
    }
  }

  // The status line keeps its width: a count too long for it ends visibly cut, its tip shows
  // the whole line, and its text stays whole for everything that reads it.
  void statusLineCutVisiblyAndShownWhole() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistry);
    TElidedLabel* status = form->gbRegistry->lStatusBar;
    QCOMPARE(status->width(), 200);
    const QString whole = " 85 Errors Found,  85 Errors Selected.";
    form->gbRegistry->SetStatusText(whole.toStdString());
    QCOMPARE(status->text(), whole);
    if (status->fontMetrics().horizontalAdvance(whole) <= status->contentsRect().width())
      QSKIP("the line fits at this font size");
    QVERIFY(status->Elided());
    QCOMPARE(ToolTipAt(status, status->rect().center()), whole);
    form->gbRegistry->SetStatusText("Fix errors finished!");
    QVERIFY(!status->Elided());
    QCOMPARE(ToolTipAt(status, status->rect().center()), QString());
  }
};

KESTROVE_GUI_TEST(TRegistryPageTest);

}  // namespace kestrove::testing

#include "RegistryPageTest.moc"

// Test and Clean from the window: the log, the bar, the counting pass, Cancel, the
// confirmation, saving the log, and a log of a hundred thousand lines.
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScrollBar>
#include <QThread>
#include <atomic>
#include <thread>

#include "cleaner/LogExport.h"
#include "gui/About.h"
#include "gui/AskDelete.h"
#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

namespace {

const QString kSeparator(107, '-');

void SelectLogItem(TfrmMain& form) {
  ClickStateImage(form, FindNode(form.Catalogue(), "Windows", "Windows Log Files"));
  QCOMPARE(form.gbCleaner->CollectSelection(), std::vector<std::string>{"Windows - Windows Log Files"});
}

}  // namespace

class TCleanerRunTest : public QObject {
  Q_OBJECT

 private slots:
  void testRunFillsTheLogAndFinishes() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    SelectLogItem(*form);
    QTest::mouseClick(form->gbCleaner->cbFastMode, Qt::LeftButton);  // detailed log
    QVERIFY(!form->Options().FastScan);
    QVERIFY(!form->gbCleaner->ProgressBar1->isVisible());

    form->gbCleaner->bTestClick();
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Cancel"));
    QVERIFY(form->gbCleaner->ProgressBar1->isVisible());
    QVERIFY(!form->gbCleaner->ProgressBar1->isTextVisible());
    QVERIFY(form->Timer1->isActive());
    // The bar moves by 50 a tick while a visible test runs.
    const int before = form->gbCleaner->ProgressBar1->value();
    form->Timer1Timer();
    QCOMPARE(form->gbCleaner->ProgressBar1->value(), before + 50);

    QVERIFY(WaitIdle(*form));
    const QStringList log = LogOf(*form);
    QCOMPARE(log.first(), QString("Test: Clearing Windows - Windows Log Files ..."));
    QCOMPARE(log.filter(QRegularExpression("C:.logs.file\\d\\.log")).size(), 3);  // one detail line per file
    QVERIFY(log.contains("3 items will be removed; 1 KB will be removed."));
    QCOMPARE(log.mid(log.size() - 3),
             QStringList({kSeparator, "Total items will be removed = 3 ; Total files will be removed = 1 KB", kSeparator}));
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
    QCOMPARE(form->gbCleaner->ProgressBar1->value(), 1000);
    QVERIFY(form->gbCleaner->ProgressBar1->isTextVisible());
    QCOMPARE(form->gbCleaner->ProgressBar1->text(), QString("Finished!"));
    QVERIFY(!form->Timer1->isActive());
    // The log can be scrolled sideways to its widest line.
    const QFontMetrics metrics(form->gbCleaner->lMain->font());
    int widest = 0;
    for (const QString& line : log) widest = std::max(widest, metrics.horizontalAdvance(line));
    QCOMPARE(form->gbCleaner->lMain->HorizontalExtent(), widest + 10);
    // A test removes nothing.
    QCOMPARE(world.LogFilesLeft(), 3);
  }

  void cleanCountsHiddenThenRemoves() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    SelectLogItem(*form);
    QTest::mouseClick(form->gbCleaner->cbFastMode, Qt::LeftButton);
    QVERIFY(form->Options().IsAskBeforeClear);
    bool asked = false;
    auto watch1 = WhenModalOpens<TfrmAskDelete>([&](TfrmAskDelete* d) {
      asked = true;
      QTest::mouseClick(d->bOK, Qt::LeftButton);
    });
    form->gbCleaner->bCleanClick();
    QVERIFY(asked);
    // The counting pass: its log cannot be seen, the bar says so, Fast Mode is forced on.
    QVERIFY(form->gbCleaner->LogHidden());
    QCOMPARE(form->gbCleaner->lMain->palette().color(QPalette::Text), form->gbCleaner->lMain->palette().color(QPalette::Base));
    QCOMPARE(form->gbCleaner->ProgressBar1->text(), QString("Prepare to clean..."));
    QVERIFY(form->Options().FastScan);
    QVERIFY(!form->Timer1->isActive());

    QVERIFY(WaitIdle(*form));
    QCOMPARE(form->Cleaner().CountedTotal, 3);
    QVERIFY(!form->gbCleaner->LogHidden());
    QVERIFY(!form->Options().FastScan);
    const QStringList log = LogOf(*form);
    QCOMPARE(log.first(), QString("Clean: Clearing Windows - Windows Log Files ..."));
    QCOMPARE(log.filter("Test:").size(), 0);  // the counting pass's lines are gone
    QVERIFY(log.contains("3 items to be removed; 1 KB to be removed."));
    QCOMPARE(log.at(log.size() - 2), QString("Total items to be removed = 3 ; Total files to be removed = 1 KB"));
    QCOMPARE(form->gbCleaner->ProgressBar1->text(), QString("Finished!"));
    QCOMPARE(form->gbCleaner->ProgressBar1->value(), 1000);
    QCOMPARE(world.LogFilesLeft(), 0);
  }

  void cancelStopsTheRun() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    ClickStateImage(*form, FindNode(form->Catalogue(), "Windows"));
    form->gbCleaner->bTestClick();
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Cancel"));
    form->gbCleaner->bTestClick();  // "Cancel"
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
    QVERIFY(!form->Cleaner().Busy);
    QVERIFY(!form->Timer1->isActive());
    QVERIFY(WaitIdle(*form));
    const QStringList log = LogOf(*form);
    QVERIFY(log.filter("Total items").isEmpty());
    QVERIFY(log.filter("Test: Clearing").size() <= 1);
    QVERIFY(form->gbCleaner->ProgressBar1->text() != QString("Finished!") || !form->gbCleaner->ProgressBar1->isTextVisible());

    // Cancel during a Clean's counting pass brings the log and Fast Mode back.
    form->Options().IsAskBeforeClear = false;
    QTest::mouseClick(form->gbCleaner->cbFastMode, Qt::LeftButton);
    QVERIFY(!form->Options().FastScan);
    form->gbCleaner->bCleanClick();
    QVERIFY(form->gbCleaner->LogHidden());
    form->gbCleaner->bTestClick();
    QVERIFY(!form->gbCleaner->LogHidden());
    QVERIFY(!form->Options().FastScan);
    QVERIFY(WaitIdle(*form));
    QCOMPARE(world.LogFilesLeft(), 3);
  }

  void confirmationAnsweredNoStartsNothing() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    SelectLogItem(*form);
    QString caption, line1, line5;
    auto watch2 = WhenModalOpens<TfrmAskDelete>([&](TfrmAskDelete* d) {
      caption = d->windowTitle();
      line1 = d->Label1->text();
      line5 = d->Label5->text();
      QVERIFY(!d->cbAsk->isChecked());
      QCOMPARE(d->cbAsk->text(), QString("Don't show me this message again"));
      QTest::mouseClick(d->bCancel, Qt::LeftButton);
    });
    form->gbCleaner->bCleanClick();
    QCOMPARE(caption, QString("Run Cleaner"));
    QCOMPARE(line1, QString("Are you sure you want to start to clean the selected item?"));
    QCOMPARE(line5, QString("Are you sure you wish to proceed?"));
    QVERIFY(!form->Cleaner().Busy);
    QVERIFY(!form->Cleaner().JobRunning());
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
    QVERIFY(!form->gbCleaner->ProgressBar1->isVisible());
    QVERIFY(form->Options().IsAskBeforeClear);
    QTest::qWait(200);
    QCOMPARE(world.LogFilesLeft(), 3);
  }

  // Cancel while the count of a single item is still inside the item, then a new Test at
  // once: nothing starts while the stopped count is on its way out. The count leads to no
  // removing pass, and its late lines and end do not reach the later Test's log.
  void cancelInTheOnlyItemThenANewTest() {
    TGuiWorld world(3);
    // Before the window, whose end waits for the jobs that use them; a failed check lets go.
    std::atomic<int> calls{0};
    std::atomic<bool> entered{false}, release{false}, firstDone{false};
    auto form = world.MakeForm();
    TLetGo letGo{release};
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    SelectLogItem(*form);
    form->Options().IsAskBeforeClear = false;
    form->Cleaner().Dispatcher = [&](const std::string& name) -> TItemOperation {
      TItemOperation real = DispatchItem(name);
      return [&, real](TClearTaskThread& job) {
        if (++calls == 1) {
          entered = true;
          while (!release) std::this_thread::yield();
          real(job);
          firstDone = true;
          return;
        }
        while (!firstDone) std::this_thread::yield();
        real(job);
      };
    };
    form->gbCleaner->bCleanClick();
    QCOMPARE(form->gbCleaner->ProgressBar1->text(), QString("Prepare to clean..."));
    QVERIFY(QTest::qWaitFor([&] { return entered.load(); }, 20000));
    form->gbCleaner->bTestClick();  // "Cancel"
    form->gbCleaner->bTestClick();  // "Test"
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
    QVERIFY(!form->Cleaner().Busy);
    release = true;
    QVERIFY(WaitIdle(*form));
    QCOMPARE(calls.load(), 1);
    form->gbCleaner->bTestClick();
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Cancel"));
    QVERIFY(WaitIdle(*form));
    const QStringList log = LogOf(*form);
    QCOMPARE(log.filter("Total items").size(), 1);
    QCOMPARE(log.filter("Clean:").size(), 0);
    QCOMPARE(log.first(), QString("Test: Clearing Windows - Windows Log Files ..."));
    QCOMPARE(form->gbCleaner->ProgressBar1->text(), QString("Finished!"));
    QCOMPARE(calls.load(), 2);
    QCOMPARE(world.LogFilesLeft(), 3);
  }

  void dontShowAgainTurnsTheQuestionOff() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    SelectLogItem(*form);
    auto watch3 = WhenModalOpens<TfrmAskDelete>([&](TfrmAskDelete* d) {
      QTest::mouseClick(d->cbAsk, Qt::LeftButton);
      QVERIFY(!form->Options().IsAskBeforeClear);
      QTest::mouseClick(d->cbAsk, Qt::LeftButton);
      QVERIFY(form->Options().IsAskBeforeClear);
      QTest::mouseClick(d->cbAsk, Qt::LeftButton);
      // Even a refused clean keeps the choice.
      QTest::mouseClick(d->bCancel, Qt::LeftButton);
    });
    form->gbCleaner->bCleanClick();
    QVERIFY(!form->Options().IsAskBeforeClear);
    QCOMPARE(world.LogFilesLeft(), 3);
    // The next clean asks nothing.
    int dialogs = 0;
    auto watch4 = WhenModalOpens<TfrmAskDelete>([&](TfrmAskDelete* d) {
      ++dialogs;
      d->reject();
    });
    form->gbCleaner->bCleanClick();
    QVERIFY(WaitIdle(*form));
    QCOMPARE(dialogs, 0);
    QCOMPARE(world.LogFilesLeft(), 0);
  }

  void nothingSelectedSaysSo() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->gbCleaner->bTestClick();
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QCOMPARE(world.prompt.asked[0].Text, std::string("Please select the sections which you want to scan from the left list."));
    QCOMPARE(world.prompt.asked[0].Caption, std::string("Kestrove"));
    QCOMPARE(world.prompt.asked[0].Icon, TMsgIcon::Information);
    QVERIFY(!form->Cleaner().Busy);
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
  }

  void savingTheLog() {
    TGuiWorld world(2);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(form->gbCleaner->aSaveText_ClearHistory->text(), QString("S&ave to text file"));
    // Without lines the entry is disabled.
    emit form->gbCleaner->lMain->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(!form->gbCleaner->aSaveText_ClearHistory->isEnabled());
    form->gbCleaner->PopupMenu_ClearHistory->hide();

    SelectLogItem(*form);
    form->gbCleaner->bTestClick();
    QVERIFY(WaitIdle(*form));
    emit form->gbCleaner->lMain->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(form->gbCleaner->aSaveText_ClearHistory->isEnabled());
    form->gbCleaner->PopupMenu_ClearHistory->hide();

    TGuiTempFolder dir;
    const QString base = QString::fromStdString(dir.path().string());
    QVERIFY(form->gbCleaner->SaveLogToFile(base + "/log"));
    const std::string saved = ReadText(dir.path() / "log.txt");
    QString expected = "This file was generated by Kestrove\nVisit " + QString(kProductHomePage) + " for the latest version\n\n";
    for (const QString& line : LogOf(*form)) expected += line + "\n";
    QCOMPARE(QString::fromStdString(saved), expected);
    // The extension must be exactly ".txt".
    QVERIFY(form->gbCleaner->SaveLogToFile(base + "/other.TXT"));
    QVERIFY(std::filesystem::exists(dir.path() / "other.TXT.txt"));
    QVERIFY(!std::filesystem::exists(dir.path() / "other.TXT"));
    QVERIFY(world.prompt.asked.empty());

    // An existing file: asked first; No keeps it.
    WriteText(dir.path() / "log.txt", "mine");
    world.prompt.answers = {TMsgResult::No};
    QVERIFY(!form->gbCleaner->SaveLogToFile(base + "/log.txt"));
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QCOMPARE(world.prompt.asked[0].Text, (base + "/log.txt has existed,overite it?").toStdString());
    QCOMPARE(world.prompt.asked[0].Buttons, TMsgButtons::YesNo);
    QCOMPARE(world.prompt.asked[0].Icon, TMsgIcon::Information);
    QCOMPARE(world.prompt.asked[0].DefaultButton, 1);
    QCOMPARE(ReadText(dir.path() / "log.txt"), std::string("mine"));
    world.prompt.answers = {TMsgResult::Yes};
    QVERIFY(form->gbCleaner->SaveLogToFile(base + "/log"));
    QCOMPARE(QString::fromStdString(ReadText(dir.path() / "log.txt")), expected);

    // A folder that cannot be written: said so, nothing half-written.
    world.prompt.asked.clear();
    QVERIFY(!form->gbCleaner->SaveLogToFile(base + "/missing/folder/log"));
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QVERIFY(world.prompt.asked[0].Text.find(base.toStdString() + "/missing/folder/log.txt") != std::string::npos);
    QCOMPARE(world.prompt.asked[0].Icon, TMsgIcon::Error);
    QVERIFY(!std::filesystem::exists(dir.path() / "missing"));
  }

  // A hundred thousand lines posted from a worker as fast as it can: every line arrives in
  // order and the width fit covers them all. (How long the window pauses meanwhile is
  // measured by bench/gui/LogWidthBench.cpp.)
  void logStaysResponsiveWithManyLines() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    constexpr int kLines = 100000;
    TCleanerPage* target = form->gbCleaner;
    TQtOwnerThread owner;  // the way a job's lines reach the window
    std::thread worker([target, &owner] {
      for (int i = 0; i < kLines; ++i) {
        owner.Post([target, i] { target->AddLogLine("Test: deleting C:\\files\\" + std::to_string(i) + ".tmp"); });
        if (i % 50 == 49) owner.Post([target] { target->ScrollLogToEnd(); });
      }
    });
    const bool all = QTest::qWaitFor([&] { return form->gbCleaner->lMain->Count() == kLines; }, 60000);
    worker.join();
    QVERIFY(all);
    QTest::qWait(100);
    const std::vector<QString> lines = form->gbCleaner->lMain->Lines();
    QCOMPARE(static_cast<int>(lines.size()), kLines);
    QCOMPARE(lines.front(), QString("Test: deleting C:\\files\\0.tmp"));
    QCOMPARE(lines.back(), QString("Test: deleting C:\\files\\99999.tmp"));
    QCOMPARE(form->gbCleaner->lMain->model()->rowCount(), kLines);
    // Scrolled to the end; the width is that of the widest line.
    TLogListView* list = form->gbCleaner->lMain;
    QVERIFY(list->verticalScrollBar()->value() == list->verticalScrollBar()->maximum());
    const auto widestOf = [](const QFont& font, const std::vector<QString>& texts) {
      const QFontMetrics metrics(font);
      int widest = 0;
      for (const QString& t : texts) widest = std::max(widest, metrics.horizontalAdvance(t));
      return widest + 10;
    };
    // Lines are measured while the window is idle; a fit takes what is known and the
    // extent follows once the last line is measured.
    form->gbCleaner->FitLogWidth();
    QTRY_VERIFY_WITH_TIMEOUT(list->WidthKnown(), 60000);
    QCOMPARE(list->HorizontalExtent(), widestOf(list->font(), lines));
    // Another font: measured again, and the fitted extent follows. A cleared log forgets
    // its widest line; a line still waiting for the view counts.
    QFont bigger = list->font();
    bigger.setPointSize(bigger.pointSize() * 2);
    list->setFont(bigger);
    QTRY_VERIFY_WITH_TIMEOUT(list->WidthKnown(), 60000);
    QCOMPARE(list->HorizontalExtent(), widestOf(bigger, lines));
    form->gbCleaner->ClearLog();
    QCOMPARE(list->Count(), 0);
    list->AddLine("short");
    form->gbCleaner->FitLogWidth();
    QCOMPARE(list->HorizontalExtent(), widestOf(bigger, {QString("short")}));
  }
};

KESTROVE_GUI_TEST(TCleanerRunTest);

}  // namespace kestrove::testing

#include "CleanerRunTest.moc"

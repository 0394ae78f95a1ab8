// The main window: caption, sizes, layout rules, page switching and the help menu.
#include <QEnterEvent>
#include <QMessageBox>
#include <QUrl>

#include "gui/About.h"
#include "gui/GuiPrompt.h"

#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

class TMainFormTest : public QObject {
  Q_OBJECT

 private:
  static QRect Bounds(QWidget* w) { return w->geometry(); }
  static int Right(QWidget* w) { return w->x() + w->width(); }
  static int Bottom(QWidget* w) { return w->y() + w->height(); }

 private slots:
  void messageBoxesKeepTheirOwnCaption() {
    for (const std::string& caption : {std::string(), std::string("Kestrove")}) {
      QString seen = "(none)";
      auto watch = WhenModalOpens<QMessageBox>([&](QMessageBox* box) {
        seen = box->windowTitle();
        box->accept();
      });
      TQtPrompt::ShowMessageBox(nullptr, {caption, "You must have administrators user.", TMsgButtons::Ok, TMsgIcon::None});
      QCOMPARE(seen, QString::fromStdString(caption));
    }
  }

  void captionSizesAndSideButtons() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(form->windowTitle(), QString("Kestrove 1.1"));
    QCOMPARE(form->size(), QSize(697, 456));
    QCOMPARE(form->minimumSize(), QSize(626, 455));
    QCOMPARE(form->lTitle->text(), QString("Kestrove"));
    QCOMPARE(form->lTitleHint->text(), QString("Optimize your computer performance"));
    QCOMPARE(Bounds(form->imgTitle), QRect(0, 0, 697, 50));
    // The page: from 2 × 8 + 75 to 6 pixels inside the client area, 5 below the title.
    for (QGroupBox* gb : std::initializer_list<QGroupBox*>{form->gbCleaner, form->gbRegistry, form->gbDefrag, form->gbTools})
      QCOMPARE(Bounds(gb), QRect(91, 55, 697 - 6 - 91, 456 - 6 - 55));
    int top = 60;
    for (TFlatButton* b : {form->bCleaner, form->bRegistry, form->bRegistryDefrag, form->bTools, form->bOptions,
                           form->bHelp}) {
      QCOMPARE(Bounds(b), QRect(8, top, 75, 53));
      top += 61;
    }
    QCOMPARE(Right(form->lUpdate), 697 - 8);
    QCOMPARE(form->lUpdate->palette().color(QPalette::WindowText), QColor(Qt::white));
    QVERIFY(form->iUpdate->isHidden());
    // Red under the mouse, white again when it leaves.
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), form->lUpdate->mapToGlobal(QPointF(2, 2)));
    QApplication::sendEvent(form->lUpdate, &enter);
    QCOMPARE(form->lUpdate->palette().color(QPalette::WindowText), QColor(Qt::red));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(form->lUpdate, &leave);
    QCOMPARE(form->lUpdate->palette().color(QPalette::WindowText), QColor(Qt::white));
    QVERIFY(form->lUpdate->font().underline());
  }

  void cleanerPageLayout() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    for (QSize size : {QSize(697, 456), QSize(1000, 700), QSize(626, 455)}) {
      form->resize(size);
      const int pageHeight = form->gbCleaner->height();
      QCOMPARE(Bottom(form->gbCleaner->tvCleanItems), pageHeight - 10);
      QCOMPARE(Bottom(form->gbCleaner->bClean), pageHeight - 10);
      QCOMPARE(Bottom(form->gbCleaner->lMain) + 10, form->gbCleaner->bClean->y());
      QCOMPARE(Right(form->gbCleaner->bClean), Right(form->gbCleaner->lMain));
      QCOMPARE(Right(form->gbCleaner->bTest) + 20, form->gbCleaner->bClean->x());
      QCOMPARE(form->gbCleaner->bTest->y(), form->gbCleaner->bClean->y());
      QCOMPARE(form->gbCleaner->cbFastMode->x(), form->gbCleaner->lMain->x());
      QCOMPARE(form->gbCleaner->cbFastMode->y(), form->gbCleaner->bClean->y() + 3);
      QCOMPARE(form->gbCleaner->ProgressBar1->x(), form->gbCleaner->lMain->x());
      QCOMPARE(form->gbCleaner->ProgressBar1->width(), form->gbCleaner->lMain->width());
      QCOMPARE(Right(form->lUpdate), size.width() - 8);
    }
  }

  void pageButtonsShowTheirPageAndColours() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    // The Cleaner page is selected at creation.
    QVERIFY(form->gbCleaner->isVisible());
    QCOMPARE(form->ActivePage(), kTagCleaner);
    const QColor face = form->palette().color(QPalette::Button);
    struct Case {
      TFlatButton* button;
      QGroupBox* page;
    };
    for (Case c : {Case{form->bRegistry, form->gbRegistry}, Case{form->bRegistryDefrag, form->gbDefrag},
                   Case{form->bTools, form->gbTools}, Case{form->bCleaner, form->gbCleaner}}) {
      QTest::mouseClick(c.button, Qt::LeftButton);
      for (QGroupBox* gb : std::initializer_list<QGroupBox*>{form->gbCleaner, form->gbRegistry, form->gbDefrag, form->gbTools})
        QCOMPARE(gb->isVisible(), gb == c.page);
      QCOMPARE(c.button->Color(), QColor(Qt::white));
      QCOMPARE(c.button->FocusedColor(), QColor(Qt::white));
      QCOMPARE(c.button->BorderColor(), QColor(122, 152, 175));
      for (TFlatButton* other : {form->bCleaner, form->bRegistry, form->bRegistryDefrag, form->bTools,
                                 form->bOptions, form->bHelp}) {
        if (other == c.button) continue;
        QCOMPARE(other->Color(), face);
        QCOMPARE(other->FocusedColor(), QColor(235, 234, 225));
        QCOMPARE(other->BorderColor(), face);
      }
    }
    QCOMPARE(form->gbCleaner->title(), QString("Progress"));
    QCOMPARE(form->gbRegistry->title(), QString("Progress"));
    QCOMPARE(form->gbDefrag->title(), QString("Registry Defrag"));
    QCOMPARE(form->gbTools->title(), QString("Tools"));
    // Options opens its dialog and shows no page of its own.
    bool opened = false;
    auto watch = WhenModalOpens<TfrmOptions>([&](TfrmOptions* d) {
      opened = true;
      d->reject();
    });
    QTest::mouseClick(form->bOptions, Qt::LeftButton);
    QVERIFY(opened);
    QVERIFY(form->gbCleaner->isVisible());
  }

  void defragLabelsHaveTwoLayouts() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->FlatButtonClick(form->bRegistryDefrag);
    QCOMPARE(Bottom(form->gbDefrag->lvMain), form->gbDefrag->height() - 50);
    QCOMPARE(form->gbDefrag->lCurrentRegistrySizeTitle->y(), Bottom(form->gbDefrag->lvMain) + 8);
    QCOMPARE(form->gbDefrag->lNewRegistrySizeTitle->y(), Bottom(form->gbDefrag->lCurrentRegistrySizeTitle) + 8);
    QCOMPARE(form->gbDefrag->lSizeReductionTitle->y(), form->gbDefrag->lCurrentRegistrySizeTitle->y());
    QCOMPARE(form->gbDefrag->lCompactPercentTitle->y(), form->gbDefrag->lNewRegistrySizeTitle->y());
    // Wider than 694: fixed columns.
    QCOMPARE(form->gbDefrag->lSizeReductionTitle->x(), 397);
    QCOMPARE(form->gbDefrag->lCompactPercentTitle->x(), 397);
    QCOMPARE(form->gbDefrag->lSizeReduction->x(), 492);
    QCOMPARE(form->gbDefrag->lCompactPercent->x(), 492);
    // Narrower: the second column follows the first one's values at 5 pixels.
    form->resize(680, 456);
    QCOMPARE(form->gbDefrag->lSizeReductionTitle->x(), Right(form->gbDefrag->lCurrentRegistrySize) + 5);
    QCOMPARE(form->gbDefrag->lSizeReduction->x(), Right(form->gbDefrag->lSizeReductionTitle) + 5);
    QVERIFY(Right(form->gbDefrag->lCompactPercent) <= form->gbDefrag->lvMain->x() + form->gbDefrag->lvMain->width());
  }

  void registryScanButtonCentredWhenNarrow() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(Right(form->gbRegistry->bFixErrors), Right(form->gbRegistry->lvRegistryData));
    QCOMPARE(Right(form->gbRegistry->bScan) + 20, form->gbRegistry->bFixErrors->x());
    QCOMPARE(form->gbRegistry->tvRegistry->height(), form->gbRegistry->lvRegistryData->height());
    form->resize(630, 456);
    const int gapLeft = form->gbRegistry->bScan->x() - Right(form->gbRegistry->bRestoreRegistry);
    const int gapRight = form->gbRegistry->bFixErrors->x() - Right(form->gbRegistry->bScan);
    QVERIFY2(std::abs(gapLeft - gapRight) <= 1, qPrintable(QString("%1 vs %2").arg(gapLeft).arg(gapRight)));
  }

  void toolsPageButtonRow() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    const int pageHeight = form->gbTools->height();
    QCOMPARE(Bottom(form->gbTools->bSelectNone), pageHeight - 8);
    QCOMPARE(Bottom(form->gbTools->lvStartup) + 8, form->gbTools->bSelectNone->y());
    QCOMPARE(Right(form->gbTools->bSelectNone), Right(form->gbTools->lvStartup));
    QCOMPARE(Right(form->gbTools->bSelectAll) + 12, form->gbTools->bSelectNone->x());
    QCOMPARE(Right(form->gbTools->bDeleteEntry) + 20, form->gbTools->bSelectAll->x());
    QCOMPARE(Right(form->gbTools->bStartup) + 20, form->gbTools->bDeleteEntry->x());
  }

  void registrySectionsTreeFromStoredChecks() {
    TGuiWorld world;
    // No settings file: sections 1 to 22 checked, 23 to 25 not.
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    int checked = 0, unchecked = 0;
    WalkCheckTree(form->RegistrySections(), [&](ICheckTree::Node node, ICheckTree::Node, int) {
      const int index = form->RegistrySections().ImageIndex(node);
      const bool isChecked = form->RegistrySections().Checked(node);
      QCOMPARE(isChecked, index <= 22);
      (isChecked ? checked : unchecked)++;
      QVERIFY(form->RegistrySections().ChildCount(node) == 0 || form->RegistrySections().Expanded(node));
    });
    QCOMPARE(checked, 22);
    QCOMPARE(unchecked, 3);
  }

  // There is no website: the help opens the manual that comes with the program, the home
  // page and the update check say so, and no address of a made-up site is ever opened.
  void helpMenuOpensTheManualAndSaysThereIsNoWebsite() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(form->aHelp->text(), QString("Online &Help"));
    QCOMPARE(form->aHomepage->text(), QString("H&omepage"));
    QCOMPARE(form->aCheckUpdate->text(), QString("&Check for Update"));
    QCOMPARE(form->aAbout->text(), QString("&About..."));
    const QString manual = QString::fromStdString((world.home.path() / "README.md").string());
    WriteText(manual.toStdString(), "# Kestrove\n");
    form->ManualFile = manual;
    form->aHelp->trigger();
    form->miHelp->trigger();
    form->aHomepage->trigger();
    form->aCheckUpdate->trigger();
    QTest::mouseClick(form->lUpdate, Qt::LeftButton);
    const QString url = QUrl::fromLocalFile(manual).toString();
    QCOMPARE(world.opened, (std::vector<QString>{url, url}));
    QCOMPARE(world.prompt.asked.size(), std::size_t(3));
    QCOMPARE(world.prompt.asked[0].Text, std::string(kNoWebsite));
    QCOMPARE(world.prompt.asked[1].Text, std::string(kNoUpdateService));
    QCOMPARE(world.prompt.asked[2].Text, std::string(kNoUpdateService));
    // Without a manual beside the program the help says so too.
    form->ManualFile.clear();
    form->aHelp->trigger();
    QCOMPARE(world.opened.size(), std::size_t(2));
    QCOMPARE(world.prompt.asked.back().Text, std::string(kNoManual));
    // The About box is modal and closes with OK.
    bool seen = false;
    auto watch1 = WhenModalOpens<QDialog>([&](QDialog* d) {
      seen = true;
      d->accept();
    });
    form->aAbout->trigger();
    QVERIFY(seen);
  }

  // The manual is found beside the program, one folder up (a build folder in the source
  // tree) or where an installation keeps documentation.
  void manualIsFoundWhereTheProgramComesWithIt() {
    const struct {
      const char* where;  // relative to the program's folder; nullptr: nowhere
    } cases[] = {{"README.md"}, {"../README.md"}, {"../share/doc/kestrove/README.md"}, {nullptr}};
    for (const auto& c : cases) {
      TGuiTempFolder folder;
      const std::filesystem::path program = folder.path() / "bin";
      std::filesystem::create_directories(program);
      std::filesystem::path expected;
      if (c.where) {
        expected = std::filesystem::weakly_canonical(program / c.where);
        WriteText(expected, "# Kestrove\n");
      }
      QCOMPARE(FindManual(QString::fromStdString(program.string())).toStdString(), expected.string());
    }
  }

  // Each side button shows a picture of its own, not one mark for all.
  void sideButtonsHavePicturesOfTheirOwn() {
    TGuiWorld world;
    auto form = world.MakeForm();
    std::vector<QImage> pictures;
    for (TFlatButton* b : {form->bCleaner, form->bRegistry, form->bRegistryDefrag, form->bTools, form->bOptions,
                           form->bHelp}) {
      QVERIFY(!b->icon().isNull());
      pictures.push_back(b->icon().pixmap(20, 20).toImage());
    }
    for (std::size_t i = 0; i < pictures.size(); ++i)
      for (std::size_t j = i + 1; j < pictures.size(); ++j) QVERIFY2(pictures[i] != pictures[j], qPrintable(QString("%1 %2").arg(i).arg(j)));
  }

  // The cleaner page is reached in the order it reads: the tree, the log, then the button
  // row from the left (Fast Mode, Test, Clean).
  void cleanerPageTabOrder() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCleanerPage* page = form->gbCleaner;
    const std::vector<QWidget*> order{page->tvCleanItems, page->lMain, page->cbFastMode, page->bTest, page->bClean};
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
      QVERIFY2(NextTabStop(order[i]) == order[i + 1], qPrintable(QString::number(i)));
  }
};

KESTROVE_GUI_TEST(TMainFormTest);

}  // namespace kestrove::testing

#include "MainFormTest.moc"

// The result list's pop-up menu on the Registry page: its items in order, the enabling rules,
// the commands on rows, Save as Text through the dialog, and RegEdit (Ctrl+R) writing
// LastKey before the editor is started; a click on a check box refreshes the counts.
#include <QFileDialog>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionViewItem>

#include "gui/GuiTestSupport.h"
#include "platform/TRegistry.h"
#include "regscan/ResultListOps.h"

namespace kestrove::testing {

namespace {

std::vector<TScanResult> Rows() {
  return {{problem::kFileOrFolder, "C:\\a.txt", "HKEY_CURRENT_USER\\Software\\App\\Path", TLocationKind::lkPathValue, false},
          {problem::kEmptyKeys, "Sub", "HKEY_CURRENT_USER\\Software\\B", TLocationKind::lkDataSubkey, false},
          {problem::kFileOrFolder, "C:\\b.txt", "HKEY_CURRENT_USER\\Software\\C", TLocationKind::lkDataValue, false}};
}

QStringList Marks(TRegistryPage& page) {
  QStringList marks;
  for (const TScanResult& r : page.RegistryRows()) marks << (r.Selected ? "x" : "-");
  return marks;
}

}  // namespace

class TResultMenuTest : public QObject {
  Q_OBJECT

 private slots:
  void testItemsAndEnablingRules() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    TRegistryPage& page = *form->gbRegistry;
    QStringList items;
    for (QAction* a : page.PopupMenu1->actions()) items << (a->isSeparator() ? "-" : a->text());
    QCOMPARE(items, QStringList({"Select &Item", "&Deselect Item", "-", "Select All of &Type", "Deselect A&ll of Type",
                                 "-", "Select &All", "De&select All", "-", "Save as Text...", "-", "&RegEdit..."}));
    QCOMPARE(page.aOpenRegedit->shortcut(), QKeySequence("Ctrl+R"));

    auto enabled = [&] {
      QStringList on;
      for (QAction* a : page.PopupMenu1->actions())
        if (!a->isSeparator() && a->isEnabled()) on << a->text();
      return on;
    };
    page.UpdateMenuActions();
    QCOMPARE(enabled(), QStringList({"Select &All", "De&select All"}));
    page.SetRegistryRows(Rows());
    page.lvRegistryData->setCurrentItem(nullptr);
    page.UpdateMenuActions();
    QCOMPARE(enabled(), QStringList({"Select &All", "De&select All", "Save as Text..."}));
    // Focusing a row enables the row commands at once.
    page.lvRegistryData->setCurrentItem(page.lvRegistryData->topLevelItem(1));
    QCOMPARE(enabled().size(), 8);
    page.ClearRows();
    QCOMPARE(enabled(), QStringList({"Select &All", "De&select All"}));
  }

  void testCommandsOnRows() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    TRegistryPage& page = *form->gbRegistry;
    page.SetRegistryRows(Rows());
    page.UpdateScanStatus();
    const QString none = " 3 Errors Found,  0 Errors Selected.";
    QCOMPARE(page.lStatusBar->text(), none);
    page.lvRegistryData->setCurrentItem(page.lvRegistryData->topLevelItem(1));
    // One row: the status is not refreshed.
    page.aSelectItem->trigger();
    QCOMPARE(Marks(page), QStringList({"-", "x", "-"}));
    QCOMPARE(page.lStatusBar->text(), none);
    page.aDeselectItem->trigger();
    QCOMPARE(Marks(page), QStringList({"-", "-", "-"}));
    // Every row of the focused one's type, and the status.
    page.lvRegistryData->setCurrentItem(page.lvRegistryData->topLevelItem(2));
    page.aSelectAllType->trigger();
    QCOMPARE(Marks(page), QStringList({"x", "-", "x"}));
    QCOMPARE(page.lStatusBar->text(), QString(" 3 Errors Found,  2 Errors Selected."));
    page.aSelectAll->trigger();
    QCOMPARE(Marks(page), QStringList({"x", "x", "x"}));
    page.aUnselectAllType->trigger();
    QCOMPARE(Marks(page), QStringList({"-", "x", "-"}));
    QCOMPARE(page.lStatusBar->text(), QString(" 3 Errors Found,  1 Errors Selected."));
    page.aSelectNone->trigger();
    QCOMPARE(Marks(page), QStringList({"-", "-", "-"}));
    QCOMPARE(page.lStatusBar->text(), none);
  }

  void testClickOnACheckBoxRefreshesTheStatus() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    form->resize(800, 600);
    form->show();
    QTest::mouseClick(form->bRegistry, Qt::LeftButton);
    TRegistryPage& page = *form->gbRegistry;
    page.SetRegistryRows(Rows());
    QTreeWidget* list = page.lvRegistryData;
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = list->visualItemRect(list->topLevelItem(1));
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    const QRect box = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
    QCOMPARE(Marks(page), QStringList({"-", "x", "-"}));
    QCOMPARE(page.lStatusBar->text(), QString(" 3 Errors Found,  1 Errors Selected."));
  }

  void testSaveAsTextThroughTheDialog() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    TRegistryPage& page = *form->gbRegistry;
    page.SetRegistryRows(Rows());
    const std::string chosen = (world.home.path() / "report.TXT").string();
    auto watch = WhenModalOpens<QFileDialog>([&](QFileDialog* dialog) {
      QCOMPARE(dialog->windowTitle(), QString("Save as Text"));
      dialog->setDirectory(QString::fromStdString(world.home.path().string()));
      // Typed as the user types it: selectFile() leaves the name field alone once that field
      // has the focus, which it gets at a moment the test does not control.
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      QVERIFY(name);
      name->setText("report.TXT");
      QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
    });
    page.aSaveText->trigger();
    const std::string written = ReadText(chosen + ".txt");
    QCOMPARE(QString::fromStdString(written), QString::fromStdString(ScanTextFileContents(Rows())));
    QCOMPARE(static_cast<int>(std::count(written.begin(), written.end(), '\n')), 3);
    // The file is there now: No to the question keeps it.
    world.prompt.answers = {TMsgResult::No};
    page.SetRegistryRows({Rows()[1]});
    QVERIFY(!page.SaveScanText(QString::fromStdString(chosen)));
    QCOMPARE(world.prompt.asked.back().Text, chosen + ".txt has existed,overite it?");
    QCOMPARE(QString::fromStdString(ReadText(chosen + ".txt")), QString::fromStdString(written));
  }

  void testRegEditWritesLastKeyThenStartsTheEditor() {
    TGuiWorld world(0);
    auto form = world.MakeForm();
    form->resize(800, 600);
    form->show();
    QTest::mouseClick(form->bRegistry, Qt::LeftButton);
    TRegistryPage& page = *form->gbRegistry;
    std::vector<std::string> startedAt;
    page.StartRegedit = [&](const TargetSystem& t) -> std::optional<std::string> {
      TRegistry reg(t.Registry());
      reg.OpenKeyReadOnly(kRegeditAppletKey);
      startedAt.push_back(reg.ReadString(kRegeditLastKey));
      return "Wine is not installed";
    };
    page.SetRegistryRows(Rows());
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    page.lvRegistryData->setFocus();
    page.lvRegistryData->setCurrentItem(page.lvRegistryData->topLevelItem(0));
    QTest::keyClick(page.lvRegistryData, Qt::Key_R, Qt::ControlModifier);
    QCOMPARE(startedAt, std::vector<std::string>({"HKEY_CURRENT_USER\\Software\\App"}));
    // What the starter says is shown.
    QCOMPARE(world.prompt.asked.back().Text, std::string("Wine is not installed"));
    page.lvRegistryData->setCurrentItem(page.lvRegistryData->topLevelItem(1));
    page.aOpenRegedit->trigger();
    QCOMPARE(startedAt.back(), std::string("HKEY_CURRENT_USER\\Software\\B\\Sub"));
  }
};

KESTROVE_GUI_TEST(TResultMenuTest);

}  // namespace kestrove::testing

#include "ResultMenuTest.moc"

// The Tools page's startup manager over an in-memory Windows system: Startup lists the Run
// keys' string values, Select All/None tick every row, Delete Entry removes exactly the ticked
// entries from the registry and their rows, the others staying in their order.
#include "gui/GuiTestSupport.h"
#include "gui/ToolsPage.h"
#include "platform/TRegistry.h"

namespace kestrove::testing {

namespace {

const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

QStringList Column(QTreeWidget* list, int column) {
  QStringList texts;
  for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(column);
  return texts;
}

}  // namespace

class ToolsPageTest : public QObject {
  Q_OBJECT

 private slots:
  void startupListsAndDeletesTheTickedEntries() {
    TGuiWorld world;
    {
      TRegistry reg(world.target.Registry());
      reg.SetRootKey(HKEY_CURRENT_USER);
      QVERIFY(reg.OpenKey(kRun, true));
      for (const char* name : {"One", "Two", "Three", "Four", "Five"})
        reg.WriteString(name, std::string("C:\\apps\\") + name + ".exe");
      reg.WriteInteger("NotAProgram", 1);
      world.target.Registry()->Commit();
    }
    // Rows come in the key's enumeration order, the number last as it is no program.
    const auto valueNames = [&] {
      TRegistry reg(world.target.Registry());
      reg.SetRootKey(HKEY_CURRENT_USER);
      std::vector<std::string> names;
      if (reg.OpenKeyReadOnly(kRun)) reg.GetValueNames(names);
      QStringList programs;
      for (const std::string& n : names)
        if (n != "NotAProgram") programs << QString::fromStdString(n);
      return programs;
    };
    const QStringList listed = valueNames();
    QCOMPARE(listed.size(), 5);
    auto form = world.MakeForm();
    TToolsPage* page = form->gbTools;
    QTest::mouseClick(page->bStartup, Qt::LeftButton);
    QCOMPARE(Column(page->lvStartup, 0), listed);
    QCOMPARE(page->lvStartup->topLevelItem(1)->text(1), "C:\\apps\\" + listed[1] + ".exe");
    QCOMPARE(page->lvStartup->topLevelItem(1)->text(2),
             QString("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"));

    QTest::mouseClick(page->bSelectAll, Qt::LeftButton);
    for (int i = 0; i < 5; ++i) QCOMPARE(page->lvStartup->topLevelItem(i)->checkState(0), Qt::Checked);
    QTest::mouseClick(page->bSelectNone, Qt::LeftButton);
    page->lvStartup->topLevelItem(1)->setCheckState(0, Qt::Checked);
    page->lvStartup->topLevelItem(3)->setCheckState(0, Qt::Checked);
    QTest::mouseClick(page->bDeleteEntry, Qt::LeftButton);
    const QStringList left = {listed[0], listed[2], listed[4]};
    QCOMPARE(Column(page->lvStartup, 0), left);
    QVERIFY(world.prompt.asked.empty());
    QCOMPARE(valueNames(), left);
    // A new list shows the registry as it is.
    QTest::mouseClick(page->bStartup, Qt::LeftButton);
    QCOMPARE(Column(page->lvStartup, 0), left);
  }
};

KESTROVE_GUI_TEST(ToolsPageTest);

}  // namespace kestrove::testing

#include "ToolsPageTest.moc"

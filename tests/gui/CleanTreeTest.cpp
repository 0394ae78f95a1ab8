// tvCleanItems by mouse: the check boxes follow the catalogue's rules, labels never toggle.
#include <QScrollBar>

#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

class TCleanTreeTest : public QObject {
  Q_OBJECT

  static bool Checked(TCatalogueNode* node) { return node->StateIndex == kStateChecked; }
  static bool Shown(TfrmMain& form, TCatalogueNode* node) {
    return TStateImageTree::StateImageChecked(form.gbCleaner->tvCleanItems->ItemOf(node));
  }

 private slots:
  void tickingAnItemChecksItsCategory() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCatalogueNode* opera = FindNode(form->Catalogue(), "Opera");
    TCatalogueNode* cookies = FindNode(form->Catalogue(), "Opera", "Cookies");
    TCatalogueNode* transfers = FindNode(form->Catalogue(), "Opera", "Transfers");
    ClickStateImage(*form, cookies);
    QVERIFY(Checked(cookies));
    QVERIFY(Checked(opera));
    QVERIFY(Shown(*form, cookies));
    QVERIFY(Shown(*form, opera));
    QCOMPARE(form->gbCleaner->CollectSelection(), std::vector<std::string>{"Opera - Cookies"});
    // A second item, then both off again: the category follows the last one.
    ClickStateImage(*form, transfers);
    ClickStateImage(*form, cookies);
    QVERIFY(Checked(opera));
    ClickStateImage(*form, transfers);
    QVERIFY(!Checked(opera));
    QVERIFY(!Shown(*form, opera));
    QVERIFY(form->gbCleaner->CollectSelection().empty());
  }

  void tickingACategoryTicksAllItsItems() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCatalogueNode* windows = FindNode(form->Catalogue(), "Windows");
    ClickStateImage(*form, windows);
    for (const auto& child : windows->Children) {
      QVERIFY(Checked(child.get()));
      QVERIFY(Shown(*form, child.get()));
    }
    QCOMPARE(form->gbCleaner->CollectSelection().size(), windows->Children.size());
    QCOMPARE(form->gbCleaner->CollectSelection().front(), std::string("Windows - Recent Documents"));
    ClickStateImage(*form, windows);
    QVERIFY(form->gbCleaner->CollectSelection().empty());
    // "Applications" has no items here: ticking it selects nothing.
    ClickStateImage(*form, FindNode(form->Catalogue(), "Applications"));
    QVERIFY(form->gbCleaner->CollectSelection().empty());
  }

  void labelsAndOtherButtonsDoNotToggle() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCatalogueNode* clipboard = FindNode(form->Catalogue(), "Windows", "Clipboard");
    ClickLabel(*form, clipboard);
    QVERIFY(!Checked(clipboard));
    // The label is selected, as a click on it does.
    QCOMPARE(form->gbCleaner->tvCleanItems->currentItem(), form->gbCleaner->tvCleanItems->ItemOf(clipboard));
    // The right button on the box changes nothing.
    QTreeWidgetItem* item = form->gbCleaner->tvCleanItems->ItemOf(clipboard);
    QTest::mouseClick(form->gbCleaner->tvCleanItems->viewport(), Qt::RightButton, Qt::NoModifier,
                      form->gbCleaner->tvCleanItems->StateImageRect(item).center());
    QVERIFY(!Checked(clipboard));
    // The custom list's label opens the list editor and toggles nothing.
    TCatalogueNode* newList = FindNode(form->Catalogue(), "Custom Lists", "<New List>");
    int editors = 0;
    auto watch = WhenModalOpens<TfrmNewCustomItem>([&](TfrmNewCustomItem* editor) {
      ++editors;
      editor->reject();
    });
    ClickLabel(*form, newList);
    QCOMPARE(editors, 1);
    QVERIFY(!Checked(newList));
    QVERIFY(world.prompt.asked.empty());
    // Labels cannot be edited.
    QCOMPARE(form->gbCleaner->tvCleanItems->editTriggers(), QAbstractItemView::NoEditTriggers);
  }

  void doubleClickOnTheBoxTogglesTwiceAndKeepsTheCategoryOpen() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCatalogueNode* ie = FindNode(form->Catalogue(), "Internet Explorer");
    QTreeWidgetItem* item = form->gbCleaner->tvCleanItems->ItemOf(ie);
    QVERIFY(item->isExpanded());
    const QPoint box = form->gbCleaner->tvCleanItems->StateImageRect(item).center();
    QTest::mouseDClick(form->gbCleaner->tvCleanItems->viewport(), Qt::LeftButton, Qt::NoModifier, box);
    QVERIFY(!Checked(ie));
    QVERIFY(item->isExpanded());
    // Closing a category by hand is what the catalogue keeps.
    form->gbCleaner->tvCleanItems->collapseItem(item);
    QVERIFY(!ie->Expanded);
    form->gbCleaner->tvCleanItems->expandItem(item);
    QVERIFY(ie->Expanded);
  }

  void hitTestSeparatesBoxLabelAndRow() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QTreeWidgetItem* item = form->gbCleaner->tvCleanItems->ItemOf(FindNode(form->Catalogue(), "Windows", "Start Run"));
    const QRect box = form->gbCleaner->tvCleanItems->StateImageRect(item);
    const QRect label = form->gbCleaner->tvCleanItems->LabelRect(item);
    QVERIFY(!box.isEmpty());
    QVERIFY(!label.isEmpty());
    QVERIFY(box.right() < label.left());
    QTreeWidgetItem* hit = nullptr;
    QCOMPARE(form->gbCleaner->tvCleanItems->HitTest(box.center(), &hit), TTreeHit::StateImage);
    QCOMPARE(hit, item);
    QCOMPARE(form->gbCleaner->tvCleanItems->HitTest(label.center()), TTreeHit::Label);
    // Past the end of the text, on the same row: neither.
    const QPoint past(label.right() + 30, label.center().y());
    if (past.x() < form->gbCleaner->tvCleanItems->viewport()->width())
      QCOMPARE(form->gbCleaner->tvCleanItems->HitTest(past), TTreeHit::Elsewhere);
    // Left of the box (the branch area).
    QVERIFY(form->gbCleaner->tvCleanItems->HitTest(QPoint(box.left() - 3, box.center().y())) != TTreeHit::StateImage);
  }

  // Resting the mouse on an item tells what it removes and where on this system, found from
  // its own operation or definition; finding that out removes and asks nothing.
  void itemTipsSayWhatAndWhere() {
    TGuiWorld world(3);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCleanTreeView* tree = form->gbCleaner->tvCleanItems;
    const struct {
      const char* category;
      const char* item;
      const char* says;
    } cases[] = {
        // A definition item: its DelFile line, the placeholder resolved.
        {"Windows", "Windows Log Files", "- the files *.log in\n      C:\\logs\\"},
        {"Windows", "Start Run",
         "- the registry key, with everything below it:\n"
         "      HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU"},
        {"Internet Explorer", "Last Download Location",
         "- the registry value \"Download Directory\" of\n      HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer"},
        {"Windows", "Clipboard", "- what the clipboard holds"},
        {"Mozilla Firefox", "Cookies", "Finds nothing to remove on this system"},  // no Firefox here
    };
    for (const auto& c : cases) {
      TCatalogueNode* node = FindNode(form->Catalogue(), c.category, c.item);
      QTreeWidgetItem* item = tree->ItemOf(node);
      tree->expandItem(item->parent());
      tree->scrollToItem(item);
      const QString tip = ToolTipAt(tree->viewport(), tree->visualItemRect(item).center());
      QVERIFY2(tip.startsWith(QString::fromStdString(TCleanCatalogue::ItemName(*node)) + "\n"), qPrintable(tip));
      QVERIFY2(tip.contains(c.says), qPrintable(tip));
    }
    // A category whose name fits has no tip.
    QTreeWidgetItem* windows = tree->ItemOf(FindNode(form->Catalogue(), "Windows"));
    tree->scrollToItem(windows);
    QCOMPARE(ToolTipAt(tree->viewport(), tree->visualItemRect(windows).center()), QString());
    // Every item's tip, found once: nothing removed, nothing asked.
    for (const auto& category : form->Catalogue().Categories())
      for (const auto& child : category->Children) QVERIFY(!form->gbCleaner->ItemTip(*child).isEmpty());
    QCOMPARE(world.LogFilesLeft(), 3);
    QVERIFY(world.prompt.asked.empty());
  }

  // A name longer than the tree is wide ends visibly cut ("...") and its tip shows it whole;
  // a name that fits has no tip.
  void longNamesAreCutVisiblyAndShownWhole() {
    TStateImageTree tree(nullptr);
    tree.resize(200, 120);
    const QString longName = "Internet Explorer - Last Download Location and a good deal more";
    auto* cut = new QTreeWidgetItem(&tree, QStringList(longName));
    auto* fits = new QTreeWidgetItem(&tree, QStringList("Paint"));
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    QVERIFY(tree.TextElided(cut));
    QVERIFY(!tree.TextElided(fits));
    QCOMPARE(ToolTipAt(tree.viewport(), tree.visualItemRect(cut).center()), longName);
    QCOMPARE(ToolTipAt(tree.viewport(), tree.visualItemRect(fits).center()), QString());
    // The tree keeps its width: no sideways scrolling to hide the cut.
    QVERIFY(!tree.horizontalScrollBar()->isVisible());
  }
};

KESTROVE_GUI_TEST(TCleanTreeTest);

}  // namespace kestrove::testing

#include "CleanTreeTest.moc"

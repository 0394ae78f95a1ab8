// tvCleanItems by mouse: the check boxes follow the catalogue's rules, labels never toggle.
#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

class TCleanTreeTest : public QObject {
  Q_OBJECT

  static bool Checked(TCatalogueNode* node) { return node->StateIndex == kStateChecked; }
  static bool Shown(TfrmMain& form, TCatalogueNode* node) {
    return TStateImageTree::StateImageChecked(form.tvCleanItems->ItemOf(node));
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
    QCOMPARE(form->CollectSelection(), std::vector<std::string>{"Opera - Cookies"});
    // A second item, then both off again: the category follows the last one.
    ClickStateImage(*form, transfers);
    ClickStateImage(*form, cookies);
    QVERIFY(Checked(opera));
    ClickStateImage(*form, transfers);
    QVERIFY(!Checked(opera));
    QVERIFY(!Shown(*form, opera));
    QVERIFY(form->CollectSelection().empty());
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
    QCOMPARE(form->CollectSelection().size(), windows->Children.size());
    QCOMPARE(form->CollectSelection().front(), std::string("Windows - Recent Documents"));
    ClickStateImage(*form, windows);
    QVERIFY(form->CollectSelection().empty());
    // "Applications" has no items here: ticking it selects nothing.
    ClickStateImage(*form, FindNode(form->Catalogue(), "Applications"));
    QVERIFY(form->CollectSelection().empty());
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
    QCOMPARE(form->tvCleanItems->currentItem(), form->tvCleanItems->ItemOf(clipboard));
    // The right button on the box changes nothing.
    QTreeWidgetItem* item = form->tvCleanItems->ItemOf(clipboard);
    QTest::mouseClick(form->tvCleanItems->viewport(), Qt::RightButton, Qt::NoModifier,
                      form->tvCleanItems->StateImageRect(item).center());
    QVERIFY(!Checked(clipboard));
    // The custom list's label opens no editor yet and toggles nothing.
    TCatalogueNode* newList = FindNode(form->Catalogue(), "Custom Lists", "<New List>");
    ClickLabel(*form, newList);
    QVERIFY(!Checked(newList));
    QVERIFY(world.prompt.asked.empty());
    // Labels cannot be edited.
    QCOMPARE(form->tvCleanItems->editTriggers(), QAbstractItemView::NoEditTriggers);
  }

  void doubleClickOnTheBoxTogglesTwiceAndKeepsTheCategoryOpen() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    TCatalogueNode* ie = FindNode(form->Catalogue(), "Internet Explorer");
    QTreeWidgetItem* item = form->tvCleanItems->ItemOf(ie);
    QVERIFY(item->isExpanded());
    const QPoint box = form->tvCleanItems->StateImageRect(item).center();
    QTest::mouseDClick(form->tvCleanItems->viewport(), Qt::LeftButton, Qt::NoModifier, box);
    QVERIFY(!Checked(ie));
    QVERIFY(item->isExpanded());
    // Closing a category by hand is what the catalogue keeps.
    form->tvCleanItems->collapseItem(item);
    QVERIFY(!ie->Expanded);
    form->tvCleanItems->expandItem(item);
    QVERIFY(ie->Expanded);
  }

  void hitTestSeparatesBoxLabelAndRow() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QTreeWidgetItem* item = form->tvCleanItems->ItemOf(FindNode(form->Catalogue(), "Windows", "Start Run"));
    const QRect box = form->tvCleanItems->StateImageRect(item);
    const QRect label = form->tvCleanItems->LabelRect(item);
    QVERIFY(!box.isEmpty());
    QVERIFY(!label.isEmpty());
    QVERIFY(box.right() < label.left());
    QTreeWidgetItem* hit = nullptr;
    QCOMPARE(form->tvCleanItems->HitTest(box.center(), &hit), TTreeHit::StateImage);
    QCOMPARE(hit, item);
    QCOMPARE(form->tvCleanItems->HitTest(label.center()), TTreeHit::Label);
    // Past the end of the text, on the same row: neither.
    const QPoint past(label.right() + 30, label.center().y());
    if (past.x() < form->tvCleanItems->viewport()->width())
      QCOMPARE(form->tvCleanItems->HitTest(past), TTreeHit::Elsewhere);
    // Left of the box (the branch area).
    QVERIFY(form->tvCleanItems->HitTest(QPoint(box.left() - 3, box.center().y())) != TTreeHit::StateImage);
  }
};

KESTROVE_GUI_TEST(TCleanTreeTest);

}  // namespace kestrove::testing

#include "CleanTreeTest.moc"

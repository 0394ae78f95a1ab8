// The index.dat viewer: the file-name check and its message, the rows of a file, the hidden
// Delete command and its wipe, double-click, and the Tools page button.
#include "../tools/IndexDatBuilder.h"
#include "gui/GuiTestSupport.h"
#include "gui/IndexDatViewer.h"
#include "tools/IndexDat.h"

namespace kestrove::testing {

namespace {

namespace fs = std::filesystem;

class TOpenedUrls : public TNoDesktop {
 public:
  std::vector<std::string> opened;
  std::vector<std::string> files;
  void OpenWebAddress(const std::string& url) override { opened.push_back(url); }
  void ShellOpen(const std::string& path) override { files.push_back(path); }
};

std::string SmallIndexDat(int urls) {
  TIndexDatBuilder b;
  const std::uint32_t t = b.Table(std::uint32_t((urls * 8 + 16 + 127) / 128));
  for (int i = 0; i < urls; ++i) b.Entry(t, std::uint32_t(i), b.Url("http://site" + std::to_string(i) + "/", 0));
  return b.Build();
}

}  // namespace

class IndexDatViewerTest : public QObject {
  Q_OBJECT

 private slots:
  void refusesWrongNamesAndShowsRows() {
    TGuiWorld world;
    world.target.WriteFile("C:\\cache\\index.dat", SmallIndexDat(3));
    world.target.WriteFile("C:\\cache\\INDEX.DAT2", SmallIndexDat(1));
    world.target.WriteFile("C:\\cache\\index.da_", SmallIndexDat(1));
    TOptionsSetting options;
    TOpenedUrls desktop;
    TfrmIndexDatViewer viewer(&world.target, options, world.prompt, desktop, nullptr);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    QVERIFY(viewer.eFileName->text().endsWith("\\Content.IE5\\index.dat"));
    QVERIFY(!viewer.ProgressBar->isVisible());
    for (const char* bad : {"C:\\cache\\index.da_", "C:\\cache\\missing.dat", "C:\\cache"}) {
      viewer.eFileName->setText(bad);
      world.prompt.asked.clear();
      QTest::mouseClick(viewer.bShow, Qt::LeftButton);
      QCOMPARE(world.prompt.asked.size(), std::size_t(1));
      QCOMPARE(world.prompt.asked[0].Text, std::string(kIndexDatBadFileName));
      QCOMPARE(world.prompt.asked[0].Caption, std::string("Index.dat file viewer"));
      QCOMPARE(viewer.Model->rowCount(), 0);
    }
    world.prompt.asked.clear();
    viewer.eFileName->setText("c:\\CACHE\\INDEX.DAT");  // letter case as Windows ignores it
    QTest::mouseClick(viewer.bShow, Qt::LeftButton);
    QVERIFY(world.prompt.asked.empty());
    QCOMPARE(viewer.Model->rowCount(), 3);
    QCOMPARE(viewer.pTotal->text(), QString("3"));
    QCOMPARE(viewer.ProgressBar->value(), 100);
    QCOMPARE(viewer.Model->index(2, 0).data().toString(), QString("http://site2/"));
    QCOMPARE(viewer.Model->index(2, 1).data().toString(), QString("Not Available"));

    // Double-click opens the selected row's URL.
    const QModelIndex second = viewer.Model->index(1, 0);
    viewer.lvIndexDat->setCurrentIndex(second);
    const QRect cell = viewer.lvIndexDat->visualRect(second);
    QTest::mouseClick(viewer.lvIndexDat->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(viewer.lvIndexDat->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(desktop.opened, std::vector<std::string>{"http://site1/"});
    QVERIFY(desktop.files.empty());
  }

  void hiddenCommandShowsDeleteWhichWipes() {
    TGuiWorld world;
    const std::string file = SmallIndexDat(2);
    world.target.WriteFile("C:\\cache\\index.dat", file);
    TOptionsSetting options;
    TOpenedUrls desktop;
    TfrmIndexDatViewer viewer(&world.target, options, world.prompt, desktop, nullptr);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.eFileName->setText("C:\\cache\\index.dat");
    QVERIFY(!viewer.bDelete->isVisible());
    QTest::keyClick(&viewer, Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(viewer.bDelete->isVisible());
    QTest::mouseClick(viewer.bDelete, Qt::LeftButton);
    QVERIFY(!viewer.isVisible());
    QCOMPARE(viewer.result(), int(QDialog::Rejected));
    const std::string after = ReadText(world.target.DriveC() / "cache" / "index.dat");
    QCOMPARE(after.size(), file.size());
    QVERIFY(ParseIndexDat(after).empty());
  }

  void toolsButtonOpensTheViewer() {
    TGuiWorld world;
    auto form = world.MakeForm();
    QCOMPARE(form->gbTools->bViewHistory->text(), QString("Index.dat Viewer..."));
    QCOMPARE(form->gbTools->bViewHistory->toolTip(), QString("Read the contents of your index.dat files"));
    QString caption;
    auto watch = WhenModalOpens<TfrmIndexDatViewer>([&](TfrmIndexDatViewer* d) {
      caption = d->windowTitle();
      d->bClose->click();
    });
    form->gbTools->bViewHistory->click();
    QCOMPARE(caption, QString("Index.dat file viewer"));
  }
};

KESTROVE_GUI_TEST(IndexDatViewerTest);

}  // namespace kestrove::testing

#include "IndexDatViewerTest.moc"

// Pictures of the window for looking at it: every page at the window's first size and
// maximised, the confirmation dialog and the About box, written as PNG files.
//
//   KESTROVE_ROOT=/tmp/sample xvfb-run kestrove_screenshots OUTDIR
#include <QApplication>
#include <QDir>
#include <QHelpEvent>
#include <QMessageBox>
#include <QScreen>
#include <QTemporaryDir>
#include <QToolTip>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iostream>
#include <tuple>

#include "app/ProgramFolder.h"
#include "gui/About.h"
#include "gui/AskDelete.h"
#include "gui/CustomListEditor.h"
#include "gui/DefragProgress.h"
#include "gui/IndexDatViewer.h"
#include "gui/MainForm.h"
#include "gui/Options.h"
#include "gui/RestoreDialog.h"
#include "gui/ToolsPage.h"
#include "platform/TargetSystem.h"
#include "../../tools/IndexDatBuilder.h"

using namespace kestrove;

namespace {

// Messages of the dialogs pictured are answered without a box.
class TQuietPrompt : public IPrompt {
 public:
  TMsgResult Ask(const TMessageRequest&) override { return TMsgResult::Ok; }
};

void Save(QWidget* w, const QString& dir, const QString& name, bool settle = true) {
  if (settle) QTest::qWait(150);
  const QString path = dir + "/" + name + ".png";
  if (!w->grab().save(path)) std::cerr << "could not write " << path.toStdString() << "\n";
  std::cout << path.toStdString() << " (" << w->width() << " x " << w->height() << ")\n";
}

struct TOkPrompt : IPrompt {
  TMsgResult Ask(const TMessageRequest&) override { return TMsgResult::Ok; }
};

// A generated index.dat of 100,000 URLs, to see the viewer's list full.
QString LargeIndexDat(const QString& dir) {
  testing::TIndexDatBuilder b;
  std::uint32_t table = 0;
  for (int i = 0; i < 100000; ++i) {
    if (i % 510 == 0) table = b.Table(32);
    b.Entry(table, std::uint32_t(i % 510),
            b.Url("http://www.example" + std::to_string(i % 97) + ".com/page" + std::to_string(i) + ".html",
                  130849743202620000ULL + std::uint64_t(i) * 600000000ULL));
  }
  const QString path = dir + "/index.dat";
  std::ofstream(path.toStdString(), std::ios::binary) << b.Build();
  return path;
}

void Pages(TfrmMain& form, const QString& dir, const QString& suffix) {
  form.FlatButtonClick(form.bCleaner);
  Save(&form, dir, "cleaner" + suffix);
  form.FlatButtonClick(form.bRegistry);
  Save(&form, dir, "registry" + suffix);
  form.FlatButtonClick(form.bRegistryDefrag);
  Save(&form, dir, "defrag" + suffix);
  form.FlatButtonClick(form.bTools);
  form.gbTools->bStartupClick();  // the startup manager's list of the target
  Save(&form, dir, "tools" + suffix);
  form.FlatButtonClick(form.bCleaner);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(".");
  QDir().mkpath(dir);
  auto target = OpenTarget(std::nullopt);
  TfrmMain form(TMainFormSetup{target.get(), ProgramFolder(), {}, nullptr});
  form.OnTerminate = [](int) {};
  form.show();
  QTest::qWait(300);
  form.setGeometry(QRect(form.pos(), QSize(kClientWidth, kClientHeight)));
  // The Defrag page after a real analysis of the target, its progress dialog pictured on the
  // way; the advice it may give is answered by a timer.
  {
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
    });
    answer.start(100);
    form.gbDefrag->RunProgress = [&](TfrmGetNewHiveProgess& d) {
      d.show();
      Save(&d, dir, "defrag-progress");
      d.exec();
    };
    form.FlatButtonClick(form.bRegistryDefrag);
    form.gbDefrag->bAnalyzeRegistryClick();
    form.gbDefrag->RunProgress = nullptr;
  }
  Pages(form, dir, "");

  // Clean items' tips, as the mouse resting on an item shows them. A tip is a window of its
  // own: the screen around the window is pictured.
  for (const auto& [category, item, name] :
       {std::tuple<const char*, const char*, const char*>{"Internet Explorer", "Last Download Location", "cleaner-tip"},
        {"Mozilla Firefox", "Visited URL History", "cleaner-tip-firefox"}}) {
    TCleanTreeView* tree = form.gbCleaner->tvCleanItems;
    QTreeWidgetItem* row = nullptr;
    for (const auto& c : form.Catalogue().Categories())
      if (c->Text == category)
        for (const auto& child : c->Children)
          if (child->Text == item) row = tree->ItemOf(child.get());
    if (!row) continue;
    tree->expandItem(row->parent());
    tree->scrollToItem(row);
    const QPoint at = tree->visualItemRect(row).center();
    QHelpEvent help(QEvent::ToolTip, at, tree->viewport()->mapToGlobal(at));
    QApplication::sendEvent(tree->viewport(), &help);
    QTest::qWait(400);
    const QRect around = form.frameGeometry().adjusted(0, 0, 500, 150).intersected(QGuiApplication::primaryScreen()->geometry());
    const QString path = dir + "/" + name + ".png";
    QGuiApplication::primaryScreen()->grabWindow(0, around.x(), around.y(), around.width(), around.height()).save(path);
    std::cout << path.toStdString() << "\n";
    QToolTip::hideText();
    QTest::qWait(600);  // a tip goes a moment after it is told to
  }

  // A test run over everything in Windows and Internet Explorer, to see the log.
  for (const auto& category : form.Catalogue().Categories())
    if (category->Text == "Windows" || category->Text == "Internet Explorer") form.Catalogue().ToggleState(*category);
  form.gbCleaner->tvCleanItems->RefreshStates();
  form.gbCleaner->bTestClick();
  for (int i = 0; i < 100 && form.Cleaner().Busy; ++i) QTest::qWait(100);
  Save(&form, dir, "cleaner-test-run");
  // The counting pass of a Clean, as it starts (the log is hidden, the bar says so).
  form.Options().IsAskBeforeClear = false;
  form.gbCleaner->bCleanClick();
  Save(&form, dir, "cleaner-counting-pass", false);
  for (int i = 0; i < 100 && form.Cleaner().Busy; ++i) QTest::qWait(100);
  Save(&form, dir, "cleaner-clean-finished");
  form.Options().IsAskBeforeClear = true;


  form.resize(kMinimumWidth, kMinimumHeight);
  Save(&form, dir, "cleaner-minimum");
  form.FlatButtonClick(form.bRegistry);
  Save(&form, dir, "registry-minimum");
  form.FlatButtonClick(form.bRegistryDefrag);
  Save(&form, dir, "defrag-minimum");
  form.resize(kClientWidth, kClientHeight);

  {
    TfrmAskDelete ask(form.Options(), &form);
    ask.show();
    Save(&ask, dir, "ask-delete");
  }
  {
    TOkPrompt prompt;
    TNoDesktop desktop;
    TfrmIndexDatViewer viewer(target.get(), form.Options(), prompt, desktop, &form);
    viewer.show();
    Save(&viewer, dir, "index-dat-viewer-empty");
    viewer.eFileName->setText(LargeIndexDat(dir));
    viewer.bShowClick();
    Save(&viewer, dir, "index-dat-viewer");
  }
  {
    // The restore dialog over the backup folder: the system each backup belongs to.
    TQuietPrompt quiet;
    TNoDesktop desktop;
    TfrmRestore restore(form.Options(), form.Regedit, quiet, desktop, &form);
    restore.Identity = target->Identity();
    restore.show();
    Save(&restore, dir, "restore");
  }
  {
    TfrmAbout about(&form);
    about.show();
    Save(&about, dir, "about");
  }
  {
    // The options dialog, every page; the ignore lists with an entry each, the boss key on.
    TOptionsSetting options = form.Options();
    options.EnableHotkey = true;
    options.AutoClean = true;
    options.IsWipeFile = true;
    options.IgnoreValues = {"HKEY_CURRENT_USER\\Software\\Vendor\\Setting"};
    options.IgnoreKeys = {"HKEY_LOCAL_MACHINE\\Software\\Vendor"};
    TNoDesktop desktop;
    TQuietPrompt quiet;
    TfrmOptions dialog(options, *target, ProgramFolder(), quiet, desktop, {}, &form);
    dialog.show();
    const char* names[] = {"options-common", "options-cookies", "options-schedule", "options-bosskey", "options-ignore"};
    for (int i = 0; i < dialog.suiPageControl1->count(); ++i) {
      dialog.suiPageControl1->setCurrentIndex(i);
      Save(&dialog, dir, names[i]);
    }
    dialog.pcIgnore->setCurrentIndex(1);
    Save(&dialog, dir, "options-ignore-keys");
    TfrmRegAddRegistry add(*target, quiet, nullptr, &dialog);
    add.eRegistryKey->setText("HKEY_CURRENT_USER\\Software\\Microsoft");
    add.show();
    Save(&add, dir, "options-add-ignore");
  }

  {
    // The custom list editor over a list of every kind of entry, and its entry dialogs.
    QTemporaryDir home;
    std::ofstream((home.path() + "/Custom.dat").toStdString())
        << "[<New List>]\nDelFile1=C:\\Temp,report.txt\nDelFile2=C:\\Temp,*.txt\nDelFile3=C:\\Temp\\Old\n"
           "DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\nDelRegValue2=HKEY_CURRENT_USER\\Software\\Foo,\n"
           "DelRegValue3=HKEY_CURRENT_USER\\Software\\Foo,Bar\n";
    TQuietPrompt quiet;
    TfrmNewCustomItem editor(*target, (home.path() + "/").toStdString(), quiet, {}, &form);
    editor.show();
    editor.lvContent->setCurrentItem(editor.lvContent->topLevelItem(3));
    Save(&editor, dir, "custom-list");
    TfrmAddFolder folder(*target, {}, &editor);
    folder.eFolder->setText(QString::fromStdString(target->WindowsFolder()));
    folder.show();
    folder.SetOptionIndex(0);
    if (folder.lbFile->count() > 0) folder.lbFile->setCurrentRow(0);
    Save(&folder, dir, "custom-list-add-file");
    folder.SetOptionIndex(1);
    Save(&folder, dir, "custom-list-add-folder-refused");
    folder.eFolder->setText(QString::fromStdString(target->WindowsFolder() + "\\Temp"));
    folder.rbDeleteFiles->setChecked(true);
    folder.eFileMatch->setText("*.tmp");
    Save(&folder, dir, "custom-list-add-mask");
    TfrmAddRegistry registry(*target, {}, &editor);
    registry.SetEntry({"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::Value, "Bar"});
    registry.show();
    Save(&registry, dir, "custom-list-add-registry");
    registry.SetEntry({"HKEY_USERS\\.Default", TRegistryEntryMode::Key, ""});
    Save(&registry, dir, "custom-list-add-registry-refused");
  }

  form.showMaximized();
  QTest::qWait(500);
  if (!form.isMaximized() || form.width() <= kClientWidth) {
    // Without a window manager nothing maximises: take the screen's size instead.
    form.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
    QTest::qWait(300);
  }
  Pages(form, dir, "-maximised");
  form.OnTerminate = [](int) {};
  form.close();
  return 0;
}

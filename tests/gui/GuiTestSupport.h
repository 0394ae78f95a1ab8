// Helpers for the window's tests: a registry of Qt Test classes, a window over an in-memory
// Windows system with its own program folder, clicks on tree check boxes, and waiting for
// modal dialogs.
#pragma once

#include <stdlib.h>

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QHelpEvent>
#include <QTest>
#include <QToolTip>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "gui/MainForm.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove::testing {

using TGuiTestFactory = std::function<std::unique_ptr<QObject>()>;

inline std::vector<TGuiTestFactory>& GuiTestRegistry() {
  static std::vector<TGuiTestFactory> registry;
  return registry;
}

template <typename T>
struct TRegisterGuiTest {
  TRegisterGuiTest() { GuiTestRegistry().push_back([] { return std::make_unique<T>(); }); }
};

#define KESTROVE_GUI_TEST(Class) static ::kestrove::testing::TRegisterGuiTest<Class> register##Class

// A temporary folder, removed with everything in it.
class TGuiTempFolder {
 public:
  TGuiTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-gui-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TGuiTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TGuiTempFolder(const TGuiTempFolder&) = delete;
  TGuiTempFolder& operator=(const TGuiTempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string folder() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

inline void WriteText(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Answers questions from a script; records them. Without a scripted answer: OK, or Yes.
class TGuiScriptedPrompt : public IPrompt {
 public:
  std::vector<TMsgResult> answers;
  std::vector<TMessageRequest> asked;
  TMsgResult Ask(const TMessageRequest& r) override {
    asked.push_back(r);
    if (answers.empty()) return r.Buttons == TMsgButtons::YesNo ? TMsgResult::Yes : TMsgResult::Ok;
    TMsgResult a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
};

// A program folder with a definition file whose "Windows Log Files" item removes *.log
// files of C:\logs, and a Windows system in memory holding `logFiles` such files.
class TGuiWorld {
 public:
  explicit TGuiWorld(int logFiles = 3) {
    WriteText(home.path() / "qvtk.dat", "[Windows Log Files]\nDelFile1={C: Drive}\\logs,*.log\n");
    for (int i = 0; i < logFiles; ++i)
      target.WriteFile("C:\\logs\\file" + std::to_string(i) + ".log", std::string(100 + i, 'x'));
  }

  std::unique_ptr<TfrmMain> MakeForm(std::vector<std::string> args = {}) {
    auto form = std::make_unique<TfrmMain>(
        TMainFormSetup{&target, home.folder(), std::move(args), &prompt, [this] { return trayAvailable; }});
    form->OnTerminate = [this](int code) {
      ++terminated;
      exitCode = code;
    };
    form->OnOpenUrl = [this](const QString& url) { opened.push_back(url); };
    return form;
  }

  int LogFilesLeft() const {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(target.DriveC() / "logs", ec)) {
      (void)e;
      ++n;
    }
    return n;
  }

  TGuiTempFolder home;
  memory::MemoryTarget target;
  TGuiScriptedPrompt prompt;
  // The windows of these tests have a notification area to go to unless a test says not.
  bool trayAvailable = true;
  int terminated = 0;
  int exitCode = -1;
  std::vector<QString> opened;
};

inline TCatalogueNode* FindNode(TCleanCatalogue& catalogue, const std::string& category, const std::string& item = "") {
  TCatalogueNode* top = catalogue.FindCategory(category);
  if (!top || item.empty()) return top;
  for (auto& child : top->Children)
    if (child->Text == item) return child.get();
  return nullptr;
}

// The next widget the Tab key reaches from `w` in its window.
inline QWidget* NextTabStop(QWidget* w) {
  for (QWidget* n = w->nextInFocusChain(); n && n != w; n = n->nextInFocusChain())
    if ((n->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && n->isVisible() && n->isEnabled()) return n;
  return w;
}

// The tip a widget shows when the mouse rests at `pos` (its own coordinates); empty when
// none shows.
inline QString ToolTipAt(QWidget* w, const QPoint& pos) {
  // A tip goes a moment after it is told to.
  QToolTip::hideText();
  if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000)) return "(an earlier tip stayed)";
  QHelpEvent help(QEvent::ToolTip, pos, w->mapToGlobal(pos));
  QApplication::sendEvent(w, &help);
  return QToolTip::isVisible() ? QToolTip::text() : QString();
}

// A mouse click in the middle of a node's check box, as the user gives it.
inline void ClickStateImage(TfrmMain& form, TCatalogueNode* node) {
  QTreeWidgetItem* item = form.gbCleaner->tvCleanItems->ItemOf(node);
  form.gbCleaner->tvCleanItems->scrollToItem(item);
  const QRect box = form.gbCleaner->tvCleanItems->StateImageRect(item);
  QTest::mouseClick(form.gbCleaner->tvCleanItems->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
}

inline void ClickLabel(TfrmMain& form, TCatalogueNode* node, Qt::MouseButton button = Qt::LeftButton) {
  QTreeWidgetItem* item = form.gbCleaner->tvCleanItems->ItemOf(node);
  form.gbCleaner->tvCleanItems->scrollToItem(item);
  const QRect label = form.gbCleaner->tvCleanItems->LabelRect(item);
  QTest::mouseClick(form.gbCleaner->tvCleanItems->viewport(), button, Qt::NoModifier, label.center());
}

// Runs `act` on the first modal dialog of type T that opens while the returned watch lives
// (give up after a few seconds). Keep the watch for as long as `act`'s captures live.
template <typename T>
[[nodiscard]] std::unique_ptr<QTimer> WhenModalOpens(std::function<void(T*)> act) {
  auto timer = std::make_unique<QTimer>();
  QTimer* t = timer.get();
  auto tries = std::make_shared<int>(0);
  QObject::connect(t, &QTimer::timeout, [t, tries, act] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      t->stop();
      QPointer<QWidget> opened(dialog);
      act(dialog);
      // A check inside `act` that fails returns before the dialog is closed, and the test
      // would then wait in exec() for ever: close what is still open, so it fails instead.
      QTimer::singleShot(10000, [opened] {
        if (opened && opened->isVisible()) {
          qWarning("a dialog the test handled was still open 10 s later: closing it");
          if (auto* d = qobject_cast<QDialog*>(opened.data())) d->reject(); else opened->close();
        }
      });
    } else if (++*tries > 1500) {  // 30 s: sanitizer builds open dialogs slowly
      t->stop();
    }
  });
  t->start(20);
  return timer;
}

// Waits until the cleaner is idle and its job has ended, and the log has reached the view.
inline bool WaitIdle(TfrmMain& form, int timeoutMs = 20000) {
  const bool idle = QTest::qWaitFor([&] { return !form.Cleaner().Busy && !form.Cleaner().JobRunning(); }, timeoutMs);
  QTest::qWait(100);  // the job's last posted calls
  form.gbCleaner->lMain->Flush();
  return idle;
}

// Sets a flag that holds a test's job back when it goes out of scope, so that a check that
// fails while the job waits does not leave the window's end waiting for it for ever.
struct TLetGo {
  std::atomic<bool>& flag;
  ~TLetGo() { flag = true; }
};

inline QStringList LogOf(TfrmMain& form) {
  QStringList lines;
  for (const QString& l : form.gbCleaner->lMain->Lines()) lines << l;
  return lines;
}

}  // namespace kestrove::testing

// The notification-area icon, a second start and the boss key on a real X server, with a
// real tray host (run through run-x11-tests.sh: Xvfb and trayer). The window's X windows are
// looked at from a connection of the test's own, and keys are pressed through XTest.
#include <unistd.h>

#include <QDir>
#include <csignal>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <cstdlib>

#include "gui/GuiTestSupport.h"
#include "gui/InstanceChannel.h"
#include "gui/x11/BossKey.h"

// Last: Xlib's macros (None, Bool, Status) would break Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace kestrove::testing {

namespace {

long PidOf(Display* d, Window w) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  long pid = -1;
  if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type, &format, &count,
                         &after, &data) == Success && data) {
    if (format == 32 && count == 1) pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    XFree(data);
  }
  return pid;
}

std::vector<Window> ChildrenOf(Display* d, Window w) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned n = 0;
  std::vector<Window> result;
  if (XQueryTree(d, w, &root, &parent, &children, &n) && children) {
    result.assign(children, children + n);
    XFree(children);
  }
  return result;
}

void Descendants(Display* d, Window w, std::vector<Window>& out) {
  for (Window c : ChildrenOf(d, w)) {
    out.push_back(c);
    Descendants(d, c, out);
  }
}

bool Shown(Display* d, Window w) {
  XWindowAttributes a{};
  return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

}  // namespace

class TX11TrayTest : public QObject {
  Q_OBJECT

  Display* display_ = nullptr;
  std::vector<std::unique_ptr<QProcess>> planted_;

  // Windows of process `pid` embedded in another client's window: the tray host's icons.
  std::vector<Window> TrayIconsOf(long pid) {
    std::vector<Window> icons;
    for (Window top : ChildrenOf(display_, DefaultRootWindow(display_))) {
      if (PidOf(display_, top) == pid) continue;
      std::vector<Window> inner;
      Descendants(display_, top, inner);
      for (Window w : inner)
        if (PidOf(display_, w) == pid && Shown(display_, w)) icons.push_back(w);
    }
    return icons;
  }

  bool HasViewableTopLevel(long pid) {
    for (Window top : ChildrenOf(display_, DefaultRootWindow(display_)))
      if (PidOf(display_, top) == pid && Shown(display_, top)) return true;
    return false;
  }

  void Click(Window w, unsigned button) {
    Window child = 0;
    int x = 0, y = 0;
    XTranslateCoordinates(display_, w, DefaultRootWindow(display_), 4, 4, &x, &y, &child);
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
    XFlush(display_);
  }

  void PressCtrlF5() {
    const KeyCode ctrl = XKeysymToKeycode(display_, XK_Control_L);
    const KeyCode f5 = XKeysymToKeycode(display_, XK_F5);
    XTestFakeKeyEvent(display_, ctrl, True, CurrentTime);
    XTestFakeKeyEvent(display_, f5, True, CurrentTime);
    XTestFakeKeyEvent(display_, f5, False, CurrentTime);
    XTestFakeKeyEvent(display_, ctrl, False, CurrentTime);
    XFlush(display_);
  }

  // A stand-in browser window of the given WM_CLASS; its id once it is mapped.
  Window Plant(const char* instance, const char* className) {
    auto p = std::make_unique<QProcess>();
    p->start(KESTROVE_X11_WINDOW_PATH, {instance, className});
    if (!p->waitForStarted(10000) || !QTest::qWaitFor([&] { return p->canReadLine(); }, 10000)) return 0;
    const Window w = p->readLine().trimmed().toULong();
    planted_.push_back(std::move(p));
    return w;
  }

  static void WritePrefix(const std::filesystem::path& root) {
    WriteText(root / "system.reg", "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win32\n");
    WriteText(root / "user.reg", "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win32\n");
    WriteText(root / "userdef.reg", "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\.Default\n\n#arch=win32\n");
    std::filesystem::create_directories(root / "drive_c" / "windows" / "system32");
  }

 private slots:
  void initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
    display_ = XOpenDisplay(nullptr);
    QVERIFY(display_);
    // trayer takes the tray selection shortly after it starts.
    QVERIFY2(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000),
             "the tray host did not come up");
  }

  void cleanup() {
    for (auto& p : planted_) {
      p->closeWriteChannel();
      if (!p->waitForFinished(5000)) p->kill();
    }
    planted_.clear();
  }

  void cleanupTestCase() {
    if (display_) XCloseDisplay(display_);
  }

  // Minimise: the window leaves the screen and one icon appears; a left click brings it back
  // and the icon goes. The menu on the right button holds the icon's items.
  void minimiseToOneIconLeftClickRestoresRightClickMenu() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    const long self = ::getpid();
    QVERIFY(TrayIconsOf(self).empty());

    form->showMinimized();
    QVERIFY(QTest::qWaitFor([&] { return TrayIconsOf(self).size() == 1; }, 10000));
    QVERIFY(form->isHidden());
    QVERIFY(!HasViewableTopLevel(self));
    QTest::qWait(300);
    QCOMPARE(TrayIconsOf(self).size(), std::size_t(1));

    // Right button: the menu, where the mouse is.
    Click(TrayIconsOf(self).front(), 3);
    QVERIFY(QTest::qWaitFor([&] { return form->pmSelf->isVisible(); }, 10000));
    QTest::qWait(200);
    const QString shots = qEnvironmentVariable("KESTROVE_X11_SCREENSHOTS", QDir::tempPath());
    const QString shot = shots + "/tray-menu.png";
    QVERIFY(QGuiApplication::primaryScreen()->grabWindow(0).save(shot));
    qInfo("tray menu picture: %s", qPrintable(shot));
    QStringList items;
    for (QAction* a : form->pmSelf->actions()) items << (a->isSeparator() ? "-" : a->text());
    QCOMPARE(items, QStringList({"&Open", "-", "&Help", "&About...", "-", "&Exit"}));
    form->pmSelf->hide();

    // Left button: back on the screen, icon gone.
    Click(TrayIconsOf(self).front(), 1);
    QVERIFY(QTest::qWaitFor([&] { return form->isVisible() && TrayIconsOf(self).empty(); }, 10000));
    QVERIFY(QTest::qWaitFor([&] { return HasViewableTopLevel(self); }, 10000));
  }

  // "/Auto": the icon added at creation is the only one; the minimise that follows adds none.
  void autoStartShowsExactlyOneIcon() {
    TGuiWorld world;
    auto form = world.MakeForm({"/Auto"});
    form->show();
    const long self = ::getpid();
    QVERIFY(QTest::qWaitFor([&] { return form->isHidden() && TrayIconsOf(self).size() == 1; }, 10000));
    QTest::qWait(500);
    QCOMPARE(TrayIconsOf(self).size(), std::size_t(1));
    // "&Exit" ends the program and takes the icon away.
    form->miExitClick();
    QCOMPARE(world.terminated, 1);
    QVERIFY(QTest::qWaitFor([&] { return TrayIconsOf(self).empty(); }, 10000));
  }

  // Two presses hide and then show the chosen browsers' windows; a browser that is not
  // chosen and the program's own windows (which carry a browser's class in this test) are
  // never touched.
  void bossKeyHidesAndShowsChosenBrowsers() {
    TGuiWorld world;
    WriteText(world.home.path() / "options.ini", "[Hotkey]\nEnableHotkey=1\nEnableFirefox=1\nEnableIE=1\n");
    const Window firefox = Plant("firefox.exe", "Firefox.exe");
    const Window ie = Plant("IEFrame", "IEFrame");
    const Window opera = Plant("opera.exe", "Opera.exe");
    QVERIFY(firefox && ie && opera);
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QVERIFY(world.prompt.asked.empty());  // registered
    XClassHint own{};
    QVERIFY(XGetClassHint(display_, form->winId(), &own));
    QCOMPARE(QString(own.res_name), QString("firefox.exe"));
    XFree(own.res_name);
    XFree(own.res_class);

    PressCtrlF5();
    QVERIFY(QTest::qWaitFor([&] { return !Shown(display_, firefox) && !Shown(display_, ie); }, 10000));
    QVERIFY(form->BossHidden);
    QVERIFY(Shown(display_, opera));
    QVERIFY(Shown(display_, form->winId()));

    PressCtrlF5();
    QVERIFY(QTest::qWaitFor([&] { return Shown(display_, firefox) && Shown(display_, ie); }, 10000));
    QVERIFY(!form->BossHidden);

    // Closing shows them again, even after the boss key was switched off meanwhile.
    PressCtrlF5();
    QVERIFY(QTest::qWaitFor([&] { return !Shown(display_, firefox); }, 10000));
    form->Options().EnableHotkey = false;
    form->UnregisterBossKey();
    form->close();
    QCOMPARE(world.terminated, 1);
    QVERIFY(QTest::qWaitFor([&] { return Shown(display_, firefox) && Shown(display_, ie); }, 10000));
    QVERIFY(world.prompt.asked.empty());
  }

  // A combination another client holds: the registration fails with the message.
  void takenCombinationFails() {
    const KeyCode f6 = XKeysymToKeycode(display_, XK_F6);
    XGrabKey(display_, f6, ControlMask, DefaultRootWindow(display_), False, GrabModeAsync, GrabModeAsync);
    XSync(display_, False);
    TGuiWorld world;
    WriteText(world.home.path() / "options.ini", "[Hotkey]\nEnableHotkey=1\nCharAscII=117\nCharString=F6\n");
    auto form = world.MakeForm();
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QCOMPARE(world.prompt.asked[0].Text, std::string(kBossKeyFailed));
    QVERIFY(!form->BossKey().Registered());
    XUngrabKey(display_, f6, ControlMask, DefaultRootWindow(display_));
    XSync(display_, False);
    // Free again: the next registration (as after the options dialog) succeeds.
    form->UnregisterBossKey();
    form->RegisterBossKey();
    QVERIFY(form->BossKey().Registered());
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
  }

  // A second start on the same target shows the window of the first (sitting in the tray
  // after "/Auto") and ends; it opens no window of its own.
  void secondStartShowsTheRunningWindow() {
    TGuiTempFolder folder;
    const auto root = folder.path() / "prefix";
    WritePrefix(root);
    WriteText(folder.path() / "home" / "qvtk.dat", "[Windows Log Files]\nDelFile1={C: Drive}\\logs,*.log\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTROVE_HOME", QString::fromStdString((folder.path() / "home").string()));
    env.remove("RESOURCE_NAME");
    const QStringList rootArgs{"--root", QString::fromStdString(root.string())};
    QProcess first;
    first.setProcessEnvironment(env);
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(KESTROVE_GUI_PATH, QStringList{"/Auto"} + rootArgs);
    QVERIFY(first.waitForStarted(10000));
    const long firstPid = first.processId();
    QVERIFY2(QTest::qWaitFor([&] { return TrayIconsOf(firstPid).size() == 1; }, 30000), "the first start shows no icon");
    // The window is shown once before it goes to the notification area.
    QVERIFY(QTest::qWaitFor([&] { return !HasViewableTopLevel(firstPid); }, 30000));

    // A second "/Auto" start (the session's entry beside Wine's own start from the Run value)
    // ends and leaves the first in the notification area.
    QProcess again;
    again.setProcessEnvironment(env);
    again.start(KESTROVE_GUI_PATH, QStringList{"/Auto"} + rootArgs);
    QVERIFY(again.waitForFinished(30000));
    QCOMPARE(again.exitStatus(), QProcess::NormalExit);
    QCOMPARE(again.exitCode(), 0);
    QTest::qWait(500);
    QVERIFY(!HasViewableTopLevel(firstPid));
    QCOMPARE(TrayIconsOf(firstPid).size(), std::size_t(1));

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(KESTROVE_GUI_PATH, rootArgs);
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(QTest::qWaitFor([&] { return HasViewableTopLevel(firstPid) && TrayIconsOf(firstPid).empty(); }, 30000));
    QCOMPARE(first.state(), QProcess::Running);
    first.kill();
    first.waitForFinished(10000);
  }

  // Ending the program by a signal (a logout, kill, Ctrl-C) closes it as its window's close
  // does: the browsers the boss key hid come back and the settings are written.
  void terminationSignalRevealsBrowsersAndSaves() {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
      TGuiTempFolder folder;
      const auto root = folder.path() / "prefix";
      WritePrefix(root);
      const auto home = folder.path() / "home";
      WriteText(home / "qvtk.dat", "[Windows Log Files]\nDelFile1={C: Drive}\\logs,*.log\n");
      WriteText(home / "options.ini", "[Hotkey]\nEnableHotkey=1\nEnableFirefox=1\n");
      const Window firefox = Plant("firefox.exe", "Firefox.exe");
      QVERIFY(firefox);
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert("KESTROVE_HOME", QString::fromStdString(home.string()));
      env.remove("RESOURCE_NAME");
      QProcess program;
      program.setProcessEnvironment(env);
      program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
      program.start(KESTROVE_GUI_PATH, {"--root", QString::fromStdString(root.string())});
      QVERIFY(program.waitForStarted(10000));
      const long pid = program.processId();
      QVERIFY(QTest::qWaitFor([&] { return HasViewableTopLevel(pid); }, 30000));
      QTest::qWait(300);  // the key is grabbed at creation, before the window shows

      PressCtrlF5();
      QVERIFY(QTest::qWaitFor([&] { return !Shown(display_, firefox); }, 10000));
      QCOMPARE(::kill(static_cast<pid_t>(pid), signalNumber), 0);
      QVERIFY(program.waitForFinished(30000));
      QCOMPARE(program.exitStatus(), QProcess::NormalExit);
      QCOMPARE(program.exitCode(), 0);
      QVERIFY(QTest::qWaitFor([&] { return Shown(display_, firefox); }, 10000));
      // Written at the close: the window's place was not in the file before.
      QVERIFY(ReadText(home / "options.ini").find("[Window]") != std::string::npos);
      cleanup();
    }
  }
};

}  // namespace kestrove::testing

int main(int argc, char* argv[]) {
  // Every window of this process carries a browser's class, so that the boss key's test
  // shows it is never hidden.
  ::setenv("RESOURCE_NAME", "firefox.exe", 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  kestrove::testing::TX11TrayTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "X11TrayTest.moc"

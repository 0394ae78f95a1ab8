// The window's life in the background without a window system: going to the notification
// area and back, the schedule's arming and ticks, the boss key where there is no X11, and the
// channel a later start uses. The same with a real tray host and X server is in
// x11/X11TrayTest.cpp.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSystemTrayIcon>
#include <atomic>
#include <cstring>
#include <thread>

#include "app/HotkeyText.h"
#include "gui/AskDelete.h"
#include "gui/GuiTestSupport.h"
#include "gui/InstanceChannel.h"
#include "gui/TerminationSignals.h"
#include "gui/x11/BossKey.h"

namespace kestrove::testing {

namespace {

void StoreSettings(TGuiWorld& world, const std::string& extra, bool selectLogItem = true) {
  std::string text = extra;
  if (selectLogItem) text += "\n[NodeSelected]\n1=Windows\n2=Windows - Windows Log Files\nSelectedCount=2\n";
  WriteText(world.home.path() / "options.ini", text);
}

// An environment variable set for the life of the object, put back after.
class TEnvSetting {
 public:
  TEnvSetting(const char* name, const QByteArray* value) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
    old_ = qgetenv(name);
    if (value)
      qputenv(name, *value);
    else
      qunsetenv(name);
  }
  ~TEnvSetting() {
    if (had_)
      qputenv(name_, old_);
    else
      qunsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

sockaddr_un SocketAddress(const QString& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, name.toLocal8Bit().constData(), sizeof address.sun_path - 1);
  return address;
}

// Waits for a child process while this thread's event loop runs; its exit status, -1 when it
// did not end in time (it is killed then).
int WaitForChild(pid_t pid) {
  int status = 0;
  if (!QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 20000)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another user of the machine: the child drops to "nobody" by the system call itself (the
// library's wrapper would wait for threads the child does not have).
constexpr uid_t kOtherUser = 65534;
bool BecomeOtherUser() { return ::syscall(SYS_setgid, kOtherUser) == 0 && ::syscall(SYS_setuid, kOtherUser) == 0; }

}  // namespace

class TTrayScheduleTest : public QObject {
  Q_OBJECT

 private slots:
  void minimiseGoesToTheIconAndBack() {
    TGuiWorld world;
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QVERIFY(!form->TrayIcon->isVisible());
    // The last line tells the icons of two systems apart.
    QCOMPARE(form->TrayIcon->toolTip(), QString("Left Click to activate Kestrove\nRight Click to popup menu\n") +
                                            QString::fromStdString(world.target.Identity().Folder));
    QVERIFY(form->TrayIcon->contextMenu() == form->pmSelf);

    form->showMinimized();
    QVERIFY(QTest::qWaitFor([&] { return form->isHidden(); }, 5000));
    QVERIFY(form->TrayIcon->isVisible());
    QVERIFY(!(form->windowState() & Qt::WindowMinimized));

    // A left click: back, icon gone, the log's first line selected.
    form->gbCleaner->lMain->AddLine("first");
    form->gbCleaner->lMain->AddLine("second");
    emit form->TrayIcon->activated(QSystemTrayIcon::Trigger);
    QVERIFY(form->isVisible());
    QVERIFY(!form->TrayIcon->isVisible());
    QCOMPARE(form->gbCleaner->lMain->currentIndex().row(), 0);

    // "&Open" and WM_SHOWMAIN do the same; a right click only pops the menu.
    form->WMSysCommandMinimize(true);
    emit form->TrayIcon->activated(QSystemTrayIcon::Context);
    QVERIFY(form->isHidden());
    form->miOpen->trigger();
    QVERIFY(form->isVisible() && !form->TrayIcon->isVisible());

    form->WMSysCommandMinimize(true);
    form->miExit->trigger();
    QCOMPARE(world.terminated, 1);
    QVERIFY(!form->TrayIcon->isVisible());
  }

  // Where the desktop has no notification area (a plain GNOME session), a minimise leaves the
  // window minimised with its taskbar entry: hidden without an icon, nothing would bring it
  // back. The same for the "/Auto" start and its automatic jobs.
  void withoutANotificationAreaTheWindowMinimisesAsAnyOther() {
    const struct {
      const char* what;
      std::vector<std::string> args;
      std::string settings;
    } cases[] = {
        {"title bar", {}, ""},
        {"/Auto", {"/Auto"}, ""},
        {"/Auto cleaning at start", {"/Auto"}, "[Options]\nIsAskBeforeClear=0\n[SChedule]\nStartClean=1\n"},
    };
    for (const auto& c : cases) {
      TGuiWorld world;
      world.trayAvailable = false;
      StoreSettings(world, c.settings);
      auto form = world.MakeForm(c.args);
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      if (c.args.empty()) form->showMinimized();
      QVERIFY2(QTest::qWaitFor([&] { return bool(form->windowState() & Qt::WindowMinimized); }, 5000), c.what);
      QTest::qWait(100);  // the posted steps after the minimise have run
      QVERIFY2(!form->isHidden(), c.what);
      QVERIFY2(form->windowState() & Qt::WindowMinimized, c.what);
      QVERIFY2(!form->TrayIcon->isVisible(), c.what);
      QVERIFY(WaitIdle(*form));
      // A later start brings it back as from the tray.
      form->WMShowMain();
      QVERIFY2(form->isVisible() && !(form->windowState() & Qt::WindowMinimized), c.what);
    }
    // The cleaning at start did run, with the window on the taskbar.
    TGuiWorld world(2);
    world.trayAvailable = false;
    StoreSettings(world, "[Options]\nIsAskBeforeClear=0\n[SChedule]\nStartClean=1\n");
    auto form = world.MakeForm({"/Auto"});
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return world.LogFilesLeft() == 0; }, 20000));
    QVERIFY(!form->isHidden());
    QVERIFY(WaitIdle(*form));
  }

  void autoAddsTheIconAtCreation() {
    TGuiWorld world;
    auto form = world.MakeForm({"/Auto"});
    QVERIFY(form->TrayIcon->isVisible());
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return form->isHidden(); }, 5000));
    QVERIFY(form->TrayIcon->isVisible());
    form->WMShowMain();
    QVERIFY(form->isVisible() && !form->TrayIcon->isVisible());
  }

  void scheduleArming() {
    QCOMPARE(ScheduleIntervalMs(0), 900000);
    QCOMPARE(ScheduleIntervalMs(1), 1800000);
    QCOMPARE(ScheduleIntervalMs(2), 3600000);
    QCOMPARE(ScheduleIntervalMs(3), 14400000);
    QCOMPARE(ScheduleIntervalMs(4), 28800000);
    QCOMPARE(ScheduleIntervalMs(-1), 900000);

    TGuiWorld world;
    StoreSettings(world, "[SChedule]\nAutoClean=1\nCleanInterval=9\n");
    auto form = world.MakeForm();
    QVERIFY(!form->Timer2->isActive());  // armed at activation, not creation
    form->show();
    QVERIFY(form->Timer2->isActive());
    QCOMPARE(form->Timer2->interval(), 900000);

    // The same values again leave the running count alone; a change restarts it.
    const int running = form->Timer2->timerId();
    form->ArmSchedule();
    QCOMPARE(form->Timer2->timerId(), running);
    form->Options().CleanInterval = 3;
    form->ArmSchedule();
    QVERIFY(form->Timer2->isActive());
    QCOMPARE(form->Timer2->interval(), 14400000);
    form->Options().AutoClean = false;
    form->ArmSchedule();
    QVERIFY(!form->Timer2->isActive());

    // Never armed in a "/Clear" run.
    TGuiWorld clear;
    StoreSettings(clear, "[SChedule]\nAutoClean=1\n", false);
    auto cleaning = clear.MakeForm({"/Clear"});
    cleaning->show();
    QVERIFY(!cleaning->Timer2->isActive());
  }

  // The timer itself, at a short interval, cleans while the window sits in the tray.
  void tickCleansFromTheTray() {
    TGuiWorld world(3);
    StoreSettings(world, "[Options]\nIsAskBeforeClear=0\n[SChedule]\nAutoClean=1\n");
    auto form = world.MakeForm({"/Auto"});
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return form->isHidden(); }, 5000));
    QCOMPARE(world.LogFilesLeft(), 3);
    QVERIFY(form->Timer2->isActive());
    form->Timer2->setInterval(50);
    QVERIFY(QTest::qWaitFor([&] { return world.LogFilesLeft() == 0; }, 20000));
    QCOMPARE(form->Cleaner().RunMode, DirectClean);
    QVERIFY(world.prompt.asked.empty());
    QVERIFY(form->isHidden());
    form->Timer2->stop();
    QVERIFY(WaitIdle(*form));
  }

  // Nothing checked: silence. A tick while the confirmation is open changes nothing.
  void tickWithNothingCheckedOrWhileConfirming() {
    {
      TGuiWorld world(2);
      StoreSettings(world, "", false);
      auto form = world.MakeForm();
      form->show();
      form->Timer2Timer();
      QVERIFY(!form->Cleaner().Busy && !form->Cleaner().JobRunning());
      QVERIFY(world.prompt.asked.empty());
      QCOMPARE(world.LogFilesLeft(), 2);
    }
    TGuiWorld world(2);
    StoreSettings(world, "[Options]\nIsAskBeforeClear=1\n");
    auto form = world.MakeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->Cleaner().RunMode = TestRun;
    int dialogs = 0;
    TRunMode modeDuring = TestRun;
    auto watch = WhenModalOpens<TfrmAskDelete>([&](TfrmAskDelete* d) {
      ++dialogs;
      modeDuring = form->Cleaner().RunMode;
      form->Timer2Timer();  // a second tick while the user decides
      QTest::mouseClick(d->bCancel, Qt::LeftButton);
    });
    form->Timer2Timer();
    QCOMPARE(dialogs, 1);
    QCOMPARE(modeDuring, DirectClean);
    QVERIFY(!form->Cleaner().Busy);
    QCOMPARE(world.LogFilesLeft(), 2);
  }

  // A tick right after Cancel, while the stopped clean is still inside its item, starts no
  // second clean beside it; the first tick after it has ended cleans.
  void tickAfterCancelWaitsForTheStoppedClean() {
    TGuiWorld world(3);
    StoreSettings(world, "[Options]\nIsAskBeforeClear=0\n");
    // Before the window, whose end waits for the jobs that use them; a failed check lets go.
    std::atomic<int> runs{0}, inside{0}, mostInside{0};
    std::atomic<bool> entered{false}, release{false};
    auto form = world.MakeForm();
    TLetGo letGo{release};
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->Cleaner().Dispatcher = [&](const std::string& name) -> TItemOperation {
      TItemOperation real = DispatchItem(name);
      return [&, real](TClearTaskThread& job) {
        const int now = ++inside;
        if (now > mostInside) mostInside = now;
        if (++runs == 1) {
          entered = true;
          while (!release) std::this_thread::yield();
        }
        real(job);
        --inside;
      };
    };
    form->Timer2Timer();
    QVERIFY(QTest::qWaitFor([&] { return entered.load(); }, 20000));
    form->gbCleaner->bTestClick();  // "Cancel"
    QVERIFY(!form->Cleaner().Busy);
    form->Timer2Timer();
    QVERIFY(!form->Cleaner().Busy);
    QCOMPARE(form->gbCleaner->bTest->text(), QString("Test"));
    QTest::qWait(100);
    QCOMPARE(runs.load(), 1);
    release = true;
    QVERIFY(WaitIdle(*form));
    QCOMPARE(world.LogFilesLeft(), 3);  // the stopped clean removed nothing more
    form->Timer2Timer();
    QVERIFY(form->Cleaner().Busy);
    QVERIFY(WaitIdle(*form));
    QCOMPARE(runs.load(), 2);
    QCOMPARE(mostInside.load(), 1);
    QCOMPARE(world.LogFilesLeft(), 0);
    QVERIFY(world.prompt.asked.empty());
  }

  // Without X11 no hot key can be registered: the message, once, at creation.
  void bossKeyWithoutX11FailsWithTheMessage() {
    TGuiWorld world;
    StoreSettings(world, "[Hotkey]\nEnableHotkey=1\nEnableFirefox=1\n", false);
    auto form = world.MakeForm();
    QCOMPARE(world.prompt.asked.size(), std::size_t(1));
    QCOMPARE(world.prompt.asked[0].Text, std::string("The hotkey for Boss Key failed, please try to use other key!"));
    QCOMPARE(world.prompt.asked[0].Icon, TMsgIcon::Error);
    QVERIFY(!form->BossKey().Registered());
    form->close();
    QCOMPARE(world.terminated, 1);
  }

  // Every key the options' hot-key field takes can be grabbed: each has an X key.
  void everyHotkeyOfTheFieldHasAnXKey() {
    if (KeySymOfVirtualKey('A') == 0) QSKIP("built without X11");
    for (std::uint16_t vk = 1; vk < 256; ++vk) {
      bool known = false;
      HotkeyKeyName(vk, &known);
      const bool noSuchKey = (vk >= 16 && vk <= 18) || (vk >= 58 && vk <= 64);  // modifiers; codes of no key
      if (known && !noSuchKey) QVERIFY2(KeySymOfVirtualKey(vk) != 0, qPrintable(QString::number(vk)));
    }
  }

  // One channel per target, whatever path names it; a socket left behind is taken over.
  void secondStartChannelPerTarget() {
    TGuiTempFolder folder;
    std::filesystem::create_directories(folder.path() / "a");
    std::filesystem::create_directories(folder.path() / "b");
    std::filesystem::create_directory_symlink(folder.path() / "a", folder.path() / "link");
    const QString a = TInstanceChannel::NameFor(folder.path() / "a");
    QCOMPARE(TInstanceChannel::NameFor(folder.path() / "b" / ".." / "a"), a);
    QCOMPARE(TInstanceChannel::NameFor(folder.path() / "link"), a);
    QVERIFY(TInstanceChannel::NameFor(folder.path() / "b") != a);
    // Each user of an offline installation has a window of their own.
    const QString alice = TInstanceChannel::NameFor(folder.path() / "a", nullptr, "S-1-5-21-1-2-3-1001");
    QVERIFY(alice != a);
    QVERIFY(alice != TInstanceChannel::NameFor(folder.path() / "a", nullptr, "S-1-5-21-1-2-3-1002"));

    QVERIFY(!TInstanceChannel::AskToShow(a, 500));
    {
      // A program that crashed leaves its socket file behind, with nobody listening.
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, a.toLocal8Bit().constData(), sizeof address.sun_path - 1);
      QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ::close(fd);
      QVERIFY(std::filesystem::exists(a.toStdString()));
      QVERIFY(!TInstanceChannel::AskToShow(a, 500));
    }
    TInstanceChannel channel;
    QVERIFY(channel.Listen(a));
    int requests = 0;
    connect(&channel, &TInstanceChannel::ShowMainRequested, [&] { ++requests; });
    bool answered = false;
    // The answer needs this thread's event loop: ask from another one.
    std::thread asker([&] { answered = TInstanceChannel::AskToShow(a, 10000); });
    QVERIFY(QTest::qWaitFor([&] { return requests == 1; }, 10000));
    QTest::qWait(50);
    asker.join();
    QVERIFY(answered);

    // An "/Auto" start hands over without bringing the window out of the tray.
    bool stayed = false;
    std::thread autoStart([&] { stayed = TInstanceChannel::HandOver(a, TLaterStart::StayHidden, 10000); });
    QVERIFY(QTest::qWaitFor([&] { return stayed; }, 10000));
    autoStart.join();
    QCOMPARE(requests, 1);
  }

  // The sockets' folder: the runtime folder when it is private, else one of the user's own in
  // the temporary folder, which must be a folder (not a link) of this user that nobody else
  // may enter; anything else means no channel rather than one another user could reach.
  void socketFolderIsTheUsersAlone() {
    TGuiTempFolder folder;
    const QByteArray tmp = QByteArray::fromStdString(folder.path().string());
    TEnvSetting tmpdir("TMPDIR", &tmp);
    TEnvSetting runtime("XDG_RUNTIME_DIR", nullptr);
    const QString own = QString::fromStdString(folder.path().string()) + QString("/kestrove-%1").arg(::getuid());
    const QByteArray ownPath = own.toLocal8Bit();
    const std::filesystem::path prefix = folder.path() / "prefix";

    // Missing: made, private.
    QCOMPARE(TInstanceChannel::SocketFolder(), own);
    struct stat st {};
    QCOMPARE(::lstat(ownPath.constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(int(st.st_mode & 0777), 0700);
    QVERIFY(TInstanceChannel::NameFor(prefix).startsWith(own + "/kestrove-"));

    const struct {
      const char* what;
      std::function<void()> plant;
      bool needsRoot;
    } refused[] = {
        {"open to others",
         [&] {
           ::mkdir(ownPath.constData(), 0700);
           ::chmod(ownPath.constData(), 0777);
         },
         false},
        {"a link to a private folder",
         [&] {
           std::filesystem::create_directory(folder.path() / "elsewhere");
           ::chmod((folder.path() / "elsewhere").c_str(), 0700);
           std::filesystem::create_directory_symlink(folder.path() / "elsewhere", own.toStdString());
         },
         false},
        {"a file", [&] { WriteText(own.toStdString(), "x"); }, false},
        {"another user's",
         [&] {
           ::mkdir(ownPath.constData(), 0700);
           (void)!::chown(ownPath.constData(), kOtherUser, kOtherUser);
         },
         true},
    };
    for (const auto& r : refused) {
      if (r.needsRoot && ::getuid() != 0) continue;
      std::filesystem::remove_all(own.toStdString());
      r.plant();
      std::string why;
      QVERIFY2(TInstanceChannel::NameFor(prefix, &why).isEmpty(), r.what);
      QVERIFY2(why.find(own.toStdString()) == 0, why.c_str());
      QVERIFY(!TInstanceChannel::AskToShow(TInstanceChannel::NameFor(prefix), 200));
      TInstanceChannel channel;
      QVERIFY(!channel.Listen(TInstanceChannel::NameFor(prefix)));
    }

    // A runtime folder others may enter is passed over; a private one is used.
    std::filesystem::remove_all(own.toStdString());
    const std::filesystem::path run = folder.path() / "run";
    std::filesystem::create_directory(run);
    ::chmod(run.c_str(), 0755);
    const QByteArray runPath = QByteArray::fromStdString(run.string());
    TEnvSetting runtimeSet("XDG_RUNTIME_DIR", &runPath);
    QCOMPARE(TInstanceChannel::SocketFolder(), own);
    ::chmod(run.c_str(), 0700);
    QCOMPARE(TInstanceChannel::SocketFolder(), QString::fromStdString(run.string()));
  }

  // Both ends of the channel make sure the other is a process of the same user: another
  // user's program listening on the name gets no request (and does not end this start), and
  // another user's request is not answered. Needs root to act as a second user.
  void channelTalksOnlyToTheSameUser() {
    if (::getuid() != 0) QSKIP("needs root to run a process as another user");
    TGuiTempFolder folder;
    ::chmod(folder.path().c_str(), 0777);
    const QString name = QString::fromStdString((folder.path() / "channel").string());
    const sockaddr_un address = SocketAddress(name);

    // Another user listens and would confirm anything.
    {
      int ready[2];
      QCOMPARE(::pipe(ready), 0);
      const pid_t child = ::fork();
      if (child == 0) {
        ::close(ready[0]);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (!BecomeOtherUser() || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 1) != 0)
          ::_exit(5);
        (void)!::write(ready[1], "r", 1);
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 10000) != 1) ::_exit(4);
        const int peer = ::accept(fd, nullptr, nullptr);
        pollfd reading{peer, POLLIN, 0};
        char buffer[64];
        if (::poll(&reading, 1, 5000) == 1 && ::read(peer, buffer, sizeof buffer) > 0) {
          (void)!::write(peer, "OK\n", 3);
          ::_exit(2);
        }
        ::_exit(3);
      }
      ::close(ready[1]);
      char byte = 0;
      pollfd readyPoll{ready[0], POLLIN, 0};
      QCOMPARE(::poll(&readyPoll, 1, 10000), 1);
      QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
      ::close(ready[0]);
      QVERIFY(!TInstanceChannel::AskToShow(name, 3000));
      QCOMPARE(WaitForChild(child), 3);  // connected, and was told nothing
      std::filesystem::remove(name.toStdString());
    }

    // This user listens; another user asks.
    TInstanceChannel channel;
    QVERIFY(channel.Listen(name));
    ::chmod(name.toLocal8Bit().constData(), 0777);  // so that the other user reaches it at all
    int requests = 0;
    connect(&channel, &TInstanceChannel::ShowMainRequested, [&] { ++requests; });
    const pid_t child = ::fork();
    if (child == 0) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (!BecomeOtherUser() || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        ::_exit(5);
      (void)!::write(fd, "WM_SHOWMAIN\n", 12);
      pollfd reading{fd, POLLIN, 0};
      char buffer[8];
      const bool answered = ::poll(&reading, 1, 3000) == 1 && ::read(fd, buffer, sizeof buffer) > 0;
      ::_exit(answered ? 0 : 1);
    }
    QCOMPARE(WaitForChild(child), 1);
    QCOMPARE(requests, 0);
    // The same request from this user is answered.
    bool answered = false;
    std::thread asker([&] { answered = TInstanceChannel::AskToShow(name, 10000); });
    QVERIFY(QTest::qWaitFor([&] { return requests == 1; }, 10000));
    asker.join();
    QVERIFY(answered);
  }

  // Being told to end closes the window as the user would: the close steps run (the settings
  // are written) through the event loop, and the handlers found before are put back.
  void terminationSignalsCloseTheWindow() {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
      struct sigaction before {};
      ::sigaction(signalNumber, nullptr, &before);
      TGuiWorld world;
      auto form = world.MakeForm();
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      QVERIFY(form->gbCleaner->cbFastMode->isChecked());
      form->gbCleaner->cbFastMode->click();
      {
        TTerminationSignals endSignals;
        QVERIFY(endSignals.Install());
        TTerminationSignals second;
        QVERIFY(!second.Install());  // one owner of the signals at a time
        connect(&endSignals, &TTerminationSignals::Received, form.get(), [&] { form->close(); });
        QCOMPARE(::raise(signalNumber), 0);
        QCOMPARE(world.terminated, 0);  // the handler itself does nothing but note it
        QVERIFY(QTest::qWaitFor([&] { return world.terminated == 1; }, 5000));
      }
      QVERIFY2(ReadText(world.home.path() / "options.ini").find("FastScan=0") != std::string::npos,
               qPrintable(QString::number(signalNumber)));
      struct sigaction after {};
      ::sigaction(signalNumber, nullptr, &after);
      QVERIFY(after.sa_handler == before.sa_handler);
    }
  }
};

KESTROVE_GUI_TEST(TTrayScheduleTest);

}  // namespace kestrove::testing

#include "TrayScheduleTest.moc"

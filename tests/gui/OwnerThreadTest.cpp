// The window thread as the owner of the pages' state: calls posted by a worker run in order,
// a long backlog of them lets the window in between, and a shut-down owner drops what waits.
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <thread>
#include <vector>

#include "gui/GuiOwnerThread.h"
#include "gui/GuiTestSupport.h"

namespace kestrove::testing {

class TOwnerThreadTest : public QObject {
  Q_OBJECT

 private slots:
  void backlogRunsInOrderAndLetsTheWindowIn() {
    TQtOwnerThread owner;
    constexpr int kCalls = 200000;
    std::vector<int> ran;
    ran.reserve(kCalls);
    // The whole backlog is queued before the window's own call below. The first call takes
    // longer than a turn may last, so however fast the machine the rest must wait.
    std::thread worker([&] {
      owner.Post([&ran] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ran.push_back(0);
      });
      for (int i = 1; i < kCalls; ++i) owner.Post([&ran, i] { ran.push_back(i); });
    });
    worker.join();
    std::size_t ranBeforeTheWindow = kCalls;
    QMetaObject::invokeMethod(this, [&] { ranBeforeTheWindow = ran.size(); }, Qt::QueuedConnection);
    // A Send from a worker waits behind the backlog and still sees every call before it.
    std::size_t ranBeforeTheSend = 0;
    bool sent = false;
    std::thread sender([&] { sent = owner.TrySend([&] { ranBeforeTheSend = ran.size(); }); });
    QTRY_COMPARE_WITH_TIMEOUT(ranBeforeTheSend, std::size_t(kCalls), 60000);
    sender.join();
    QVERIFY(sent);
    QVERIFY2(ranBeforeTheWindow < std::size_t(kCalls), "the window's call waited for the whole backlog");
    for (int i = 0; i < kCalls; ++i) QCOMPARE(ran[static_cast<std::size_t>(i)], i);
  }

  // A call that waits in a nested event loop (a modal box, a wait for a job) sees the calls
  // already queued behind it run inside that loop.
  void callsWaitingBehindANestedLoopRunInsideIt() {
    TQtOwnerThread owner;
    QEventLoop loop;
    bool secondRan = false, timedOut = false;
    std::thread worker([&] {
      owner.Post([&] {
        QTimer::singleShot(5000, &loop, [&] {
          timedOut = true;
          loop.quit();
        });
        if (!secondRan) loop.exec();
      });
      owner.Post([&] {
        secondRan = true;
        loop.quit();
      });
    });
    worker.join();  // both are queued before the window runs either
    QTRY_VERIFY_WITH_TIMEOUT(secondRan, 10000);
    QVERIFY(!timedOut);
  }

  void shutDownDropsWhatWaitsAndLetsASenderGo() {
    TQtOwnerThread owner;
    int ran = 0;
    for (int i = 0; i < 100; ++i) owner.Post([&ran] { ++ran; });
    bool sent = true;
    std::thread sender([&] { sent = owner.TrySend([&ran] { ++ran; }); });
    // The window runs no event meanwhile: the sender's call waits behind the others.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    owner.Shutdown();
    sender.join();
    QVERIFY(!sent);
    owner.Post([&ran] { ++ran; });
    QTest::qWait(50);
    QCOMPARE(ran, 0);
    QVERIFY(owner.IsShutDown());
  }
};

KESTROVE_GUI_TEST(TOwnerThreadTest);

}  // namespace kestrove::testing

#include "OwnerThreadTest.moc"

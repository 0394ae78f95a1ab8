// The cleaner's log under a flood of lines: a worker posts KESTROVE_BENCH_LOG_LINES lines
// (200,000 by default) to the window thread as fast as it can, as a Test of that many files
// with every line logged does. Prints the longest pause of the window's event loop while they
// arrive, the cost of the width fit at the end of the run and the longest pause until every
// line is measured, and beside them what the fit cost when it measured every line at the end.
// Run: QT_QPA_PLATFORM=offscreen build/kestrove_gui_bench
#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "gui/GuiOwnerThread.h"
#include "gui/LogList.h"

using namespace kestrove;

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const char* env = std::getenv("KESTROVE_BENCH_LOG_LINES");
  const int lines = env ? std::atoi(env) : 200000;

  TLogListView log(nullptr);
  log.resize(600, 400);
  log.show();
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, worstGap = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    worstGap = std::max(worstGap, now - last);
    last = now;
  });
  tick.start(10);
  TQtOwnerThread owner;
  std::thread worker([&] {
    for (int i = 0; i < lines; ++i) {
      std::string line = "Test: deleting C:\\Recycled\\Dc" + std::to_string(i) + ".tmp";
      owner.Post([&log, line = QString::fromStdString(line)] { log.AddLine(line); });
      if (i % 50 == 49) owner.Post([&log] { log.ScrollToEnd(); });
    }
  });
  const bool all = QTest::qWaitFor([&] { return log.Count() == lines; }, 600000);
  worker.join();
  QTest::qWait(100);
  tick.stop();
  const qint64 arrival = clock.elapsed();
  const qint64 arrivalGap = worstGap;

  // The fit at the end of the run, then the wait until every line is measured, the window's
  // event loop watched all along.
  last = clock.elapsed();
  worstGap = 0;
  tick.start(10);
  QElapsedTimer fit;
  fit.start();
  log.FitWidth();
  const double fitMs = static_cast<double>(fit.nsecsElapsed()) / 1e6;
  const bool known = QTest::qWaitFor([&] { return log.WidthKnown(); }, 600000);
  const double knownMs = static_cast<double>(fit.nsecsElapsed()) / 1e6;
  QTest::qWait(20);
  tick.stop();
  const qint64 fitGap = worstGap;
  // What the fit cost when it measured every line at the end of the run.
  QElapsedTimer whole;
  whole.start();
  const QFontMetrics metrics(log.font());
  int widest = 0;
  for (const QString& line : log.Lines()) widest = std::max(widest, metrics.horizontalAdvance(line));
  const double wholeMs = static_cast<double>(whole.nsecsElapsed()) / 1e6;

  std::printf("log: %d lines arrived in %lld ms%s\n", lines, static_cast<long long>(arrival), all ? "" : " (NOT ALL)");
  std::printf("log: longest pause of the event loop while lines arrive: %lld ms (aim: under 100 ms)\n",
              static_cast<long long>(arrivalGap));
  std::printf("log: width fit at the end of the run: %.2f ms (every line measured %.1f ms after it; longest pause "
              "meanwhile %lld ms); measuring every line at the end (as before): %.1f ms\n",
              fitMs, knownMs, static_cast<long long>(fitGap), wholeMs);
  std::printf("log: fitted width %d, widest line %d\n", log.HorizontalExtent(), widest + 10);
  return all && known && log.HorizontalExtent() == widest + 10 ? 0 : 1;
}

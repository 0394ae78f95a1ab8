// Runs every test class of the window's tests in turn.
#include <QApplication>
#include <QTest>

#include "gui/GuiTestSupport.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  int failed = 0;
  for (const auto& make : kestrove::testing::GuiTestRegistry()) {
    std::unique_ptr<QObject> test = make();
    failed += QTest::qExec(test.get(), argc, argv);
  }
  return failed == 0 ? 0 : 1;
}

// Runs every test class of the window's tests in turn. KESTROVE_GUI_TEST_CLASSES (names separated
// by commas) runs only those classes, in the order given, which is how an interaction between two
// classes is reproduced without the whole suite.
#include <QApplication>
#include <QTest>

#include "gui/GuiTestSupport.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QStringList only;
  if (const char* classes = std::getenv("KESTROVE_GUI_TEST_CLASSES"))
    only = QString::fromUtf8(classes).split(',', Qt::SkipEmptyParts);
  std::vector<std::unique_ptr<QObject>> tests;
  for (const auto& make : kestrove::testing::GuiTestRegistry()) tests.push_back(make());
  std::vector<QObject*> order;
  if (only.isEmpty()) {
    for (auto& t : tests) order.push_back(t.get());
  } else {
    for (const QString& name : only) {
      auto found = std::find_if(tests.begin(), tests.end(),
                                [&](const auto& t) {
                                  const QString full = t->metaObject()->className();
                                  return full == name || full.endsWith("::" + name);
                                });
      if (found == tests.end()) {
        qCritical("no window test class named %s", qPrintable(name));
        return 2;
      }
      order.push_back(found->get());
    }
  }
  int failed = 0;
  for (QObject* test : order) failed += QTest::qExec(test, argc, argv);
  return failed == 0 ? 0 : 1;
}

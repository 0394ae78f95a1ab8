// The program's entry: the window over the Windows system chosen by KESTROVE_ROOT,
// WINEPREFIX or ~/.wine, with the system's own command line ("/Auto", "/Clear", ...).
#include <QApplication>
#include <QMessageBox>
#include <iostream>
#include <memory>

#include "app/ProgramFolder.h"
#include "gui/MainForm.h"
#include "platform/TargetSystem.h"

int main(int argc, char* argv[]) {
  using namespace kestrove;
  QApplication app(argc, argv);
  QApplication::setApplicationName(kProductName);
  // The window decides when the program ends (it may be hidden while a job runs).
  QApplication::setQuitOnLastWindowClosed(false);

  std::vector<std::string> args;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());

  std::unique_ptr<TargetSystem> target;
  std::string folder;
  try {
    target = OpenTarget(std::nullopt);
    folder = ProgramFolder();
  } catch (const std::exception& e) {
    const QString text = QString("There is no Windows system to work on.\n\n%1").arg(QString::fromStdString(e.what()));
    std::cerr << kProductName << ": " << e.what() << "\n";
    QMessageBox::critical(nullptr, kProductName, text);
    return 1;
  }

  // Creating the window reads the settings; a settings file that cannot be read (a FIFO or a
  // device in its place, or one far too large) ends the program with a message naming it.
  std::unique_ptr<TfrmMain> form;
  try {
    form = std::make_unique<TfrmMain>(TMainFormSetup{target.get(), folder, args, nullptr});
  } catch (const std::exception& e) {
    std::cerr << kProductName << ": " << e.what() << "\n";
    QMessageBox::critical(nullptr, kProductName, QString::fromStdString(e.what()));
    return 1;
  }
  form->show();
  return QApplication::exec();
}

// The program's entry: the window over the Windows system chosen by --root, KESTROVE_ROOT,
// WINEPREFIX or ~/.wine, with the system's own command line ("/Auto", "/Clear", ...).
#include <QApplication>
#include <QMessageBox>
#include <iostream>
#include <memory>

#include "app/CommandLine.h"
#include "app/ProgramFolder.h"
#include "gui/InstanceChannel.h"
#include "gui/MainForm.h"
#include "gui/TerminationSignals.h"
#include "platform/TargetSystem.h"

namespace {

const char kUsage[] =
    "Usage: kestrove [/Auto | /Clear | /Regscan RESULT.INI | /Regdefrag] [--root DIR]\n"
    "\n"
    "Opens the window over the Windows system in DIR, else $KESTROVE_ROOT, else $WINEPREFIX,\n"
    "else ~/.wine.\n"
    "  /Auto       start in the notification area (and clean and scan when set to)\n"
    "  /Clear      clean, scan, repair what the scan found and exit; the exit status is 1\n"
    "              when the clean failed or the repair did not happen\n"
    "  /Regscan    measure the registry hives and write the result file, then exit\n"
    "  /Regdefrag  measure and compact the registry hives, then exit\n"
    "  --help      this text;  --version  the program's version\n"
    "The command-line tool kestrove-cli runs the same jobs without a window.\n";

}  // namespace

int main(int argc, char* argv[]) {
  using namespace kestrove;
  // The program's own options are answered before any window system is needed.
  std::vector<std::string> args(argv + 1, argv + argc);
  const THostOptions host = TakeHostOptions(args);
  if (!host.Error.empty()) {
    std::cerr << "kestrove: " << host.Error << "\n\n" << kUsage;
    return 2;
  }
  if (host.Help) {
    std::cout << kUsage;
    return 0;
  }
  if (host.Version) {
    std::cout << kProductName << " " << kProductVersion << "\n";
    return 0;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(kProductName);
  // The window decides when the program ends (it may be hidden while a job runs).
  QApplication::setQuitOnLastWindowClosed(false);
  // Again without the options Qt took for itself ("-platform ...").
  args.clear();
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());
  TakeHostOptions(args);

  std::unique_ptr<TargetSystem> target;
  std::string folder;
  try {
    std::optional<std::filesystem::path> root;
    if (host.Root) root = *host.Root;
    target = OpenTarget(root);
    folder = ProgramFolder();
  } catch (const std::exception& e) {
    const QString text = QString("There is no Windows system to work on.\n\n%1").arg(QString::fromStdString(e.what()));
    std::cerr << kProductName << ": " << e.what() << "\n";
    QMessageBox::critical(nullptr, kProductName, text);
    return 1;
  }

  // One window per target: an interactive or "/Auto" start finds the program already
  // running there and ends; an interactive one asks it to show its window, an "/Auto" one
  // (the session starting again) leaves it where it is. The unattended jobs ("/Clear",
  // "/Regscan", "/Regdefrag") run in a process of their own as asked.
  const TStartSwitch start = ParseCommandLine(args).Switch;
  const bool single = start == TStartSwitch::None || start == TStartSwitch::Auto;
  std::string noChannel;
  // Two users of one offline installation are two registries: a start for one must not
  // show the window of the other.
  std::string user;
  if (single && target->Kind() == "offline Windows") {
    try {
      user = target->Identity().UserSid;
    } catch (const std::exception&) {
    }
  }
  const QString channelName = single ? TInstanceChannel::NameFor(target->Folder(), &noChannel, user) : QString();
  if (single && channelName.isEmpty())
    std::cerr << kProductName << ": " << noChannel << "; a later start on this system will open a second window\n";
  const TLaterStart request = start == TStartSwitch::Auto ? TLaterStart::StayHidden : TLaterStart::ShowMain;
  if (single && TInstanceChannel::HandOver(channelName, request)) return 0;

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
  TInstanceChannel channel;
  if (single && !channelName.isEmpty()) {
    if (!channel.Listen(channelName))
      std::cerr << kProductName << ": a later start on this system will open a second window\n";
    QObject::connect(&channel, &TInstanceChannel::ShowMainRequested, form.get(), [&form] { form->WMShowMain(); });
  }
  // Being told to end (logging out, kill, Ctrl-C in the terminal) closes the window as the
  // user would: the settings are saved and hidden browser windows come back.
  TTerminationSignals endSignals;
  if (endSignals.Install())
    QObject::connect(&endSignals, &TTerminationSignals::Received, form.get(), [&form] { form->close(); });
  form->show();
  return QApplication::exec();
}

// kestrove-cli: the program's jobs without a window.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "app/Prompt.h"
#include "platform/Text.h"
#include "cli/Commands.h"

namespace {

struct TCommandHelp {
  const char* Name;
  const char* Text;     // synopsis lines, then what it does, each line indented as in the list
  const char* Example;  // one or more command lines, shown in the command's own help
};

const TCommandHelp kCommands[] = {
    {"info", "  info                      describe the target: version, drives, shell folders\n",
     "kestrove-cli --root ~/.wine info\n"},
    {"reg",
     "  reg query KEY [/v NAME | /ve] [/s] [/f DATA [/k] [/d] [/c] [/e]] [/t TYPE] [/se SEP]\n"
     "  reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
     "  reg delete KEY [/v NAME | /ve | /va] [/f]\n"
     "                            read and change the target's registry as Windows' reg.exe does\n"
     "                            (reg /? and reg OPERATION /? give reg.exe's own help)\n",
     "kestrove-cli reg query \"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU\"\n"},
    {"items",
     "  items [--ids] [--format tsv|json]\n"
     "                            list the clean items; [x] marks the stored selection; --ids adds\n"
     "                            each item's id (windows.recent-documents), which test and clean\n"
     "                            take as they take the item's name\n",
     "kestrove-cli items --ids\n"},
    {"test",
     "  test [ITEM...] [--details] [--format tsv|json] [--yes|--yes-all|--no]\n"
     "                            list what a clean would remove (default: the stored selection;\n"
     "                            ITEM is an item such as \"Windows - Recent Documents\", its id\n"
     "                            windows.recent-documents, or a category);\n"
     "                            --details lists every entry, not only the items' summaries;\n"
     "                            --format gives a row per item (with --details per entry) instead\n"
     "                            of the log\n",
     "kestrove-cli test --details windows.temporary-files\n"
     "kestrove-cli test --format json Windows\n"},
    {"clean",
     "  clean [ITEM...] [--details] [--yes|--yes-all|--no]\n"
     "                            remove it; --yes skips the confirmation only: the questions before\n"
     "                            a drive root, Documents or Pictures is emptied are asked on a\n"
     "                            terminal and answered no otherwise; --yes-all answers them yes\n"
     "                            too; --no answers every question no\n"
     "                            exit status: 0 done, 1 failed or entries left behind, 2 usage,\n"
     "                            3 not confirmed (nothing removed), 130 stopped\n",
     "kestrove-cli clean --yes windows.recent-documents \"Windows - Start Run\"\n"},
    {"sample",
     "  sample [--offline] DIR    write a small sample Wine prefix into DIR (--offline: an offline\n"
     "                            Windows 7 installation, hives in Windows' own format)\n",
     "kestrove-cli sample /tmp/sample && kestrove-cli --root /tmp/sample test Windows\n"
     "kestrove-cli sample --offline /tmp/win7 && kestrove-cli --root /tmp/win7 scan\n"},
    {"startup",
     "  startup list [--format tsv|json]\n"
     "                            the programs Windows starts at logon: name, file and location\n"
     "                            (a Run key, or the Startup or Common Startup folder), tab-separated\n"
     "  startup delete NAME... [--yes|--no]\n"
     "                            delete the entries of those names (asks first on a terminal);\n"
     "                            refused while Wine runs on the target\n",
     "kestrove-cli startup delete OldTracker --yes\n"},
    {"scan",
     "  scan [SECTION...] [--format tsv|json]\n"
     "                            scan the registry for entries naming missing files; SECTION is\n"
     "                            a section's number or its name in the Registry page's tree, in\n"
     "                            any case (\"Shared DLLs\", 14); a group takes in the sections\n"
     "                            below it; none: the sections ticked in options.ini.\n"
     "                            scan --help lists them\n",
     "kestrove-cli scan --format tsv \"Shared DLLs\" 14\n"},
    {"fix",
     "  fix [SECTION...] [--yes]  scan as scan does, then remove every entry found, each first\n"
     "                            written to a .reg backup in the backup folder (kestrove-regedit /s\n"
     "                            puts it back); asks first on a terminal, --yes answers for you.\n"
     "                            With the setting RestorePoint on, a restore point is taken first\n"
     "                            (--no-restore-point skips it). Refused when the registry changed\n"
     "                            between the scan and the fix.\n"
     "                            exit status: 0 every entry handled, 1 failed or some entries not\n"
     "                            removed, 3 not confirmed\n",
     "kestrove-cli fix --yes \"Shared DLLs\"\n"},
    {"backups",
     "  backups [--format tsv|json]\n"
     "                            list Fix's .reg backups in the backup folder: name, date, size and\n"
     "                            the system each was taken of; this system's first\n",
     "kestrove-cli backups --format json\n"},
    {"restore",
     "  restore FILE [--into-other-system]\n"
     "                            import a backup (a name from backups, or a path) with\n"
     "                            kestrove-regedit /s; deletes it afterwards when the setting\n"
     "                            DeleteBackupFile is on and the import succeeded. A backup of\n"
     "                            another system is refused unless --into-other-system (and then\n"
     "                            never deleted)\n",
     "kestrove-cli restore 2024_05_01_093012.reg\n"},
    {"backup-full",
     "  backup-full FILE [--yes]  export the whole registry to FILE (.reg appended unless it ends\n"
     "                            in .reg in any case); an existing FILE is replaced only after\n"
     "                            a yes on a terminal or --yes\n",
     "kestrove-cli backup-full ~/registry-before-clean.reg\n"},
    {"restore-point",
     "  restore-point list [--format tsv|json]\n"
     "                            the restore points (copies of the registry files taken before\n"
     "                            Fix Errors), this system's first, each group oldest first: name,\n"
     "                            size, files, the system it was taken of\n"
     "  restore-point restore NAME [--into-other-system]\n"
     "                            put restore point NAME back (refused while Wine runs, when a file\n"
     "                            of it is damaged, and when it is another system's unless\n"
     "                            --into-other-system); the registry as it is now is first kept\n"
     "                            as a restore point\n",
     "kestrove-cli restore-point list\n"
     "kestrove-cli restore-point restore 2024_05_01_093012\n"},
    {"defrag",
     "  defrag analyze [--format tsv|json]\n"
     "                            write a compacted copy of every registry hive beside it and show\n"
     "                            how much each would shrink (the Defrag page's list and totals);\n"
     "                            the copies are removed again at the end\n"
     "  defrag apply [--yes] [--no-restore-point]\n"
     "                            analyze, then put the compacted copies in place of the hives at\n"
     "                            once (asks first on a terminal); the old hives stay beside them\n"
     "                            as <hive>.bak. A copy is used only when it holds exactly what its\n"
     "                            hive holds and the hive did not change since. With the setting\n"
     "                            RestorePoint on, a restore point is taken first. Refused while\n"
     "                            Wine runs on the target or Windows is hibernated.\n"
     "                            exit status: 0 every hive compacted, 1 failed or some hives kept,\n"
     "                            3 not confirmed\n",
     "kestrove-cli defrag analyze\n"
     "kestrove-cli --root /mnt/windows defrag apply --yes\n"},
    {"index-dat",
     "  index-dat FILE [--format tsv|json]\n"
     "                            list the URLs an Internet Explorer index.dat file holds, one per\n"
     "                            line: the URL, a tab, its time stamp (as the Index.dat Viewer shows)\n",
     "kestrove-cli index-dat --format tsv History.IE5/index.dat\n"},
    {"help", "  help [COMMAND]            this text, or one command's\n", "kestrove-cli help test\n"},
};

const char kIntro[] =
    "Usage: kestrove-cli [--root DIR] [--user NAME] COMMAND [ARGS...]\n"
    "       kestrove-cli --help | --version | help [COMMAND]\n"
    "\n"
    "The target is the Windows system to work on: DIR, else $KESTROVE_ROOT, else $WINEPREFIX,\n"
    "else ~/.wine. It is a Wine prefix, or the folder of an offline Windows installation (a\n"
    "mounted Windows disk: the folder holding Windows/System32/config). Of such an installation\n"
    "--user NAME (or $KESTROVE_USER) chooses the user by profile name or SID; without it the\n"
    "only user, else the one who used it last. \"info\" lists them.\n"
    "\n"
    "--format tsv gives rows for scripts as tab-separated lines under a header line of the field\n"
    "names (tabs and line breaks in a field become spaces); --format json gives an array of\n"
    "objects. The README lists every command's fields.\n";

std::string Usage() {
  std::string out = std::string(kIntro) + "\nCommands:\n";
  for (const TCommandHelp& c : kCommands) out += c.Text;
  return out;
}

const TCommandHelp* FindCommand(const std::string& name) {
  for (const TCommandHelp& c : kCommands)
    if (name == c.Name) return &c;
  return nullptr;
}

std::string CommandUsage(const TCommandHelp& c) {
  std::string example;
  for (std::string_view rest = c.Example; !rest.empty();) {
    const std::size_t end = rest.find('\n');
    example += "  " + std::string(rest.substr(0, end)) + "\n";
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return std::string("Usage: kestrove-cli [--root DIR] ") + c.Name + " ...\n\n" + c.Text + "\nExample:\n" + example;
}

// True when the last of a reg command's words is a switch whose data comes next: /v, /f, /t
// and /se of query, /v, /t, /s and /d of add, /v of delete (query's /s, /d, /k, /c, /e take
// none).
bool TakesData(const std::vector<std::string>& regArgs) {
  if (regArgs.size() < 2) return false;
  const std::string& last = regArgs.back();
  if (last.size() < 2 || (last[0] != '/' && last[0] != '-')) return false;
  const std::string sw = kestrove::AsciiLower(last.substr(1));
  const std::string op = kestrove::AsciiLower(regArgs.front());
  if (op == "query") return sw == "v" || sw == "f" || sw == "t" || sw == "se";
  if (op == "add") return sw == "v" || sw == "t" || sw == "s" || sw == "d";
  if (op == "delete") return sw == "v";
  return false;
}

constexpr const char* kRootNeedsFolder = "kestrove-cli: --root needs the folder of the Windows system to work on\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrove::cli;
  CliContext ctx{std::nullopt, std::cout, std::cerr};
  int i = 1;
  while (i < argc) {
    std::string a = argv[i];
    if (a == "--root") {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        std::cerr << kRootNeedsFolder;
        return 2;
      }
      ctx.root = argv[i + 1];
      i += 2;
    } else if (a.rfind("--root=", 0) == 0) {
      if (a.size() == 7) {
        std::cerr << kRootNeedsFolder;
        return 2;
      }
      ctx.root = a.substr(7);
      ++i;
    } else if (a == "--user" || a.rfind("--user=", 0) == 0) {
      // The target is opened where the command runs, and the registry editor it may start
      // must open the same user: the choice travels as the variable both read.
      const std::string user = a == "--user" ? (i + 1 < argc ? argv[i + 1] : "") : a.substr(7);
      if (user.empty()) {
        std::cerr << "kestrove-cli: --user needs the name (or SID) of a user of the offline Windows installation\n";
        return 2;
      }
      ::setenv("KESTROVE_USER", user.c_str(), 1);
      i += a == "--user" ? 2 : 1;
    } else if (a == "--help" || a == "-h") {
      std::cout << Usage();
      return 0;
    } else if (a == "--version" || a == "-V") {
      std::cout << "kestrove-cli " << kestrove::kProductVersion << "\n";
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "kestrove-cli: unknown option " << a << " (see kestrove-cli --help)\n";
      return 2;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::cerr << Usage();
    return 2;
  }
  std::string command = argv[i++];
  if (command == "help") {
    if (i >= argc) {
      std::cout << Usage();
      return 0;
    }
    const bool self = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    const TCommandHelp* c = FindCommand(self ? "help" : argv[i]);
    if (!c) {
      std::cerr << "kestrove-cli: unknown command '" << argv[i] << "'\n\n" << Usage();
      return 2;
    }
    std::cout << CommandUsage(*c);
    return 0;
  }
  // "COMMAND --help" answers before the command runs (so "sample --help" makes no folder);
  // scan and fix list the sections themselves, reg answers "/?" as reg.exe does.
  if (i < argc && (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) && command != "scan" &&
      command != "fix") {
    if (const TCommandHelp* c = FindCommand(command)) {
      std::cout << CommandUsage(*c);
      return 0;
    }
  }
  Args args;
  for (; i < argc; ++i) {
    // --root may also follow the command's name, but not where a switch takes it as its
    // data (reg add KEY /d --root).
    const bool isData = command == "reg" && TakesData(args);
    if (!isData && std::strcmp(argv[i], "--root") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        std::cerr << kRootNeedsFolder;
        return 2;
      }
      ctx.root = argv[++i];
      continue;
    }
    args.emplace_back(argv[i]);
  }
  try {
    if (command == "info") return CmdInfo(ctx, args);
    if (command == "reg") return CmdReg(ctx, args);
    if (command == "sample") return CmdSample(ctx, args);
    if (command == "scan") return CmdScan(ctx, args);
    if (command == "fix") return CmdFix(ctx, args);
    if (command == "items") return CmdItems(ctx, args);
    if (command == "test") return CmdTest(ctx, args);
    if (command == "clean") return CmdClean(ctx, args);
    if (command == "backups") return CmdBackups(ctx, args);
    if (command == "restore") return CmdRestore(ctx, args);
    if (command == "backup-full") return CmdBackupFull(ctx, args);
    if (command == "restore-point") return CmdRestorePoint(ctx, args);
    if (command == "index-dat") return CmdIndexDat(ctx, args);
    if (command == "startup") return CmdStartup(ctx, args);
    if (command == "defrag") return CmdDefrag(ctx, args);
  } catch (const std::exception& e) {
    std::cerr << "kestrove-cli: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "kestrove-cli: unknown command '" << command << "'\n\n" << Usage();
  return 2;
}

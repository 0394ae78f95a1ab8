// kestrove-regedit: the registry editor's file switches over the target's registry.
//   /s FILE        imports FILE, silently; nothing is written unless every line of it is good
//   /e FILE [KEY]  exports KEY with everything below it, or the whole registry, to FILE
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/RegTool.h"
#include "app/Prompt.h"
#include "platform/Env.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"
#include "platform/Text.h"
#include "regscan/RegFile.h"

namespace {

using namespace kestrove;

constexpr const char* kUsage =
    "Usage: kestrove-regedit [--root DIR] [--user NAME] /s FILE\n"
    "       kestrove-regedit [--root DIR] [--user NAME] /e FILE [KEY]\n"
    "\n"
    "  /s FILE        import FILE (\"REGEDIT4\" or \"Windows Registry Editor Version 5.00\");\n"
    "                 nothing is changed unless every line of FILE is good\n"
    "  /e FILE [KEY]  export KEY and everything below it (the whole registry without KEY)\n"
    "\n"
    "The target is the Windows system to work on: DIR, else $KESTROVE_ROOT, else $WINEPREFIX,\n"
    "else ~/.wine: a Wine prefix or an offline Windows installation, whose user --user NAME\n"
    "(or $KESTROVE_USER) chooses. Exit status: 0 done, 1 failed (nothing changed), 2 usage.\n"
    "--help shows this text, --version the program's version.\n";

int Import(const std::optional<std::filesystem::path>& root, const std::string& file) {
  // The file is checked whole before the registry is even opened, and read a second time to
  // make its changes: it is never held in memory.
  TRegFileImport import(file);
  std::string error;
  if (!import.Open(error)) {
    std::cerr << "kestrove-regedit: " << error << "\n";
    return 1;
  }
  auto report = [&](const TRegFileProblem& p) {
    if (p.line) std::cerr << file << ":" << p.line << ": " << p.text << "\n";
    else std::cerr << "kestrove-regedit: " << p.text << "\n";
  };
  std::vector<TRegFileProblem> problems;
  if (!import.Check(problems)) {
    for (const TRegFileProblem& p : problems) report(p);
    std::cerr << "kestrove-regedit: " << file << " was not imported; the registry is unchanged\n";
    return 1;
  }
  auto target = OpenTarget(root);
  RegistryStore& store = *target->Registry();
  if (auto reason = store.WriteBlockReason()) {
    std::cerr << "kestrove-regedit: " << *reason << "\n";
    return 1;
  }
  if (auto problem = import.Apply(store)) {
    store.Discard();
    report(*problem);
    std::cerr << "kestrove-regedit: " << file << " was not imported; the registry is unchanged\n";
    return 1;
  }
  std::istringstream noInput;
  cli::RegToolIo io{noInput, std::cout, std::cerr};
  return cli::CommitOrReport(store, io) ? 0 : 1;
}

int Export(const std::optional<std::filesystem::path>& root, const std::string& file, const std::string* key) {
  auto target = OpenTarget(root);
  RegistryStore& store = *target->Registry();
  std::vector<TRegKeyRef> keys;
  if (key) {
    auto k = cli::ParseRegKey(*key);
    if (!k || !store.KeyExists(k->root, k->path)) {
      std::cerr << "kestrove-regedit: the key " << *key << " does not exist\n";
      return 1;
    }
    keys.push_back({k->root, k->path});
  } else {
    // Every key once: HKEY_CURRENT_USER, HKEY_CLASSES_ROOT and HKEY_CURRENT_CONFIG are views of these two.
    keys = {{HKEY_LOCAL_MACHINE, ""}, {HKEY_USERS, ""}};
  }
  ExportRegFile(file, store, keys);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::filesystem::path> root;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--root") {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        std::cerr << "kestrove-regedit: --root needs the folder of the Windows system to work on\n";
        return 2;
      }
      root = argv[++i];
    } else if (a == "--user") {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        std::cerr << "kestrove-regedit: --user needs the name (or SID) of a user of the offline Windows installation\n";
        return 2;
      }
      ::setenv("KESTROVE_USER", argv[++i], 1);
    } else if (a == "--help" || a == "-h" || a == "/?") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--version" || a == "-V") {
      std::cout << "kestrove-regedit " << kProductVersion << "\n";
      return 0;
    } else {
      args.push_back(a);
    }
  }
  const std::string sw = args.empty() ? std::string() : AsciiLower(args[0]);
  try {
    if ((sw == "/s" || sw == "-s") && args.size() == 2) return Import(root, args[1]);
    if ((sw == "/e" || sw == "-e") && (args.size() == 2 || args.size() == 3))
      return Export(root, args[1], args.size() == 3 ? &args[2] : nullptr);
  } catch (const std::exception& e) {
    std::cerr << "kestrove-regedit: " << e.what() << "\n";
    return 1;
  }
  std::cerr << kUsage;
  return 2;
}

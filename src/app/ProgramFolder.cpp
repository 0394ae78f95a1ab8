#include "app/ProgramFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace kestrove {

namespace fs = std::filesystem;

namespace {

std::string WithSeparator(const fs::path& folder) {
  std::string s = folder.string();
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

bool IsWritableFolder(const fs::path& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

bool Set(const std::optional<std::string>& v) { return v && !v->empty(); }

// Copies the shipped definition file into a new program folder. The copy is made under a
// temporary name and renamed, so that a half-copied file is never taken for the real one.
void SeedDefinitionFile(const fs::path& folder, const fs::path& exeFolder) {
  std::error_code ec;
  fs::path target = folder / kDefinitionFileName;
  if (fs::exists(target, ec)) return;
  for (const fs::path& source : ShippedDefinitionFileCandidates(exeFolder)) {
    if (!fs::is_regular_file(source, ec)) continue;
    fs::path temp = folder / ("." + std::string(kDefinitionFileName) + "." + std::to_string(::getpid()) + ".tmp");
    if (fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec)) {
      fs::rename(temp, target, ec);
      if (ec) fs::remove(temp, ec);
    }
    return;
  }
}

}  // namespace

std::vector<fs::path> ShippedDefinitionFileCandidates(const fs::path& exeFolder) {
  if (exeFolder.empty()) return {};
  return {exeFolder / kDefinitionFileName, exeFolder / ".." / "data" / kDefinitionFileName,
          exeFolder / ".." / "share" / "kestrove" / kDefinitionFileName};
}

std::string ResolveProgramFolder(const ProgramFolderInputs& in) {
  std::error_code ec;
  if (Set(in.kestroveHome)) {
    fs::path home = fs::absolute(fs::path(*in.kestroveHome), ec).lexically_normal();
    if (ec) home = fs::path(*in.kestroveHome);
    fs::create_directories(home, ec);
    // A program folder without the shipped definitions would lose every item they define.
    if (fs::is_directory(home, ec)) SeedDefinitionFile(home, in.exeFolder);
    return WithSeparator(home);
  }

  // A build folder holds the definitions and is writable too, but it is no portable copy:
  // settings kept there would go with the next clean build.
  if (!in.exeFolder.empty() && fs::is_regular_file(in.exeFolder / kDefinitionFileName, ec) &&
      IsWritableFolder(in.exeFolder) && !fs::exists(in.exeFolder / "CMakeCache.txt", ec))
    return WithSeparator(in.exeFolder);

  fs::path config;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the base-directory rules say.
  if (Set(in.xdgConfigHome) && fs::path(*in.xdgConfigHome).is_absolute())
    config = fs::path(*in.xdgConfigHome);
  else if (Set(in.home))
    config = fs::path(*in.home) / ".config";
  else if (!in.exeFolder.empty())
    return WithSeparator(in.exeFolder);  // no home at all: the only folder we know
  else
    return "./";

  fs::path folder = (config / "kestrove").lexically_normal();
  fs::create_directories(folder, ec);
  if (fs::is_directory(folder, ec)) SeedDefinitionFile(folder, in.exeFolder);
  return WithSeparator(folder);
}

ProgramFolderInputs CurrentProgramFolderInputs() {
  auto env = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
  };
  ProgramFolderInputs in;
  in.kestroveHome = env("KESTROVE_HOME");
  in.xdgConfigHome = env("XDG_CONFIG_HOME");
  in.home = env("HOME");
  if (!Set(in.home)) {
    struct passwd pw;
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
      in.home = std::string(found->pw_dir);
  }
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) in.exeFolder = exe.parent_path();
  return in;
}

std::string ProgramFolder() { return ResolveProgramFolder(CurrentProgramFolderInputs()); }

}  // namespace kestrove

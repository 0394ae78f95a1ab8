// Running the hive tools nobody here wrote (hivex's hivexregedit, libregf's regfexport and
// regfinfo) from tests, and making hive files with them: what the hive reader's and writer's
// tests share.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

namespace kestrove::regftest {

inline bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; returns its exit status and standard output.
inline std::pair<int, std::string> RunShell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {-1, out};
  char buf[65536];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Merges .reg text (without its header line; keys as "[\Key\Sub]", values as regedit writes
// them, "[-\Key]" and "\"name\"=-" to delete) into the hive file at `hive` with hivexregedit,
// which changes the file in place. Returns hivexregedit's exit status and messages.
inline std::pair<int, std::string> MergeRegText(const std::filesystem::path& hive, const std::string& regText) {
  const std::filesystem::path reg = hive.string() + ".reg";
  WriteFile(reg, "Windows Registry Editor Version 5.00\n\n" + regText);
  auto result = RunShell("hivexregedit --merge '" + hive.string() + "' '" + reg.string() + "' 2>&1");
  std::filesystem::remove(reg);
  return result;
}

// A hive made by another program: hivex's minimal hive (from the shared test data beside the
// source tree) copied to `out`, with `regText` merged in. Returns hivexregedit's exit status
// and messages; -1 when the minimal hive is not there.
inline std::pair<int, std::string> MakeHivexHive(const std::filesystem::path& sourceDir,
                                                 const std::filesystem::path& out, const std::string& regText) {
  const std::filesystem::path minimal = sourceDir / ".." / "shared" / "testdata" / "regf" / "hivex-minimal";
  std::error_code ec;
  std::filesystem::copy_file(minimal, out, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return {-1, "no " + minimal.string() + ": " + ec.message()};
  std::filesystem::permissions(out, std::filesystem::perms::owner_write, std::filesystem::perm_options::add, ec);
  return MergeRegText(out, regText);
}

}  // namespace kestrove::regftest

#include <gtest/gtest.h>

#include "platform/TargetSystem.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

using memory::MemoryTarget;

EnvironmentBlock Sample() {
  EnvironmentBlock env;
  env.Set("SystemRoot", "C:\\windows");
  env.Set("TVAR", "WINE");
  env.Set("Indirect", "Foo%TVAR%Bar");
  env.Set("Empty", "");
  return env;
}

TEST(EnvExpandText, KnownVariables) {
  const EnvironmentBlock env = Sample();
  EXPECT_EQ(ExpandEnvironmentStrings("%SystemRoot%\\system32", env), "C:\\windows\\system32");
  EXPECT_EQ(ExpandEnvironmentStrings("%TVAR%%TVAR% long", env), "WINEWINE long");
  EXPECT_EQ(ExpandEnvironmentStrings("%TVAR% %TVAR% long", env), "WINE WINE long");
  EXPECT_EQ(ExpandEnvironmentStrings("no variables", env), "no variables");
  EXPECT_EQ(ExpandEnvironmentStrings("", env), "");
  EXPECT_EQ(ExpandEnvironmentStrings("[%Empty%]", env), "[]");
}

TEST(EnvExpandText, NamesIgnoreCase) {
  const EnvironmentBlock env = Sample();
  EXPECT_EQ(ExpandEnvironmentStrings("%systemroot%", env), "C:\\windows");
  EXPECT_EQ(ExpandEnvironmentStrings("%SYSTEMROOT%", env), "C:\\windows");
  EXPECT_EQ(ExpandEnvironmentStrings("%tVaR%", env), "WINE");
}

TEST(EnvExpandText, UnknownVariableStaysAndScanningGoesOn) {
  const EnvironmentBlock env = Sample();
  EXPECT_EQ(ExpandEnvironmentStrings("%NotAnEnvVar%", env), "%NotAnEnvVar%");
  EXPECT_EQ(ExpandEnvironmentStrings("%TVAR2% long long", env), "%TVAR2% long long");
  // After an unknown name the scan resumes behind its closing "%".
  EXPECT_EQ(ExpandEnvironmentStrings("%Nope%TVAR%", env), "%Nope%TVAR%");
  EXPECT_EQ(ExpandEnvironmentStrings("%Nope%%TVAR%", env), "%Nope%WINE");
}

TEST(EnvExpandText, LonePercentStays) {
  const EnvironmentBlock env = Sample();
  EXPECT_EQ(ExpandEnvironmentStrings("%TVAR long long", env), "%TVAR long long");
  EXPECT_EQ(ExpandEnvironmentStrings("100%", env), "100%");
  EXPECT_EQ(ExpandEnvironmentStrings("%TVAR% is 100%", env), "WINE is 100%");
  EXPECT_EQ(ExpandEnvironmentStrings("%", env), "%");
}

TEST(EnvExpandText, DoublePercentIsNoVariable) {
  const EnvironmentBlock env = Sample();
  EXPECT_EQ(ExpandEnvironmentStrings("%%", env), "%%");
  EXPECT_EQ(ExpandEnvironmentStrings("a%%b", env), "a%%b");
  EXPECT_EQ(ExpandEnvironmentStrings("%%TVAR%", env), "%%TVAR%");
  EXPECT_EQ(ExpandEnvironmentStrings("%%%TVAR%", env), "%%WINE");
}

TEST(EnvExpandText, ValuesAreNotExpandedAgain) {
  const EnvironmentBlock env = Sample();
  EXPECT_EQ(ExpandEnvironmentStrings("Indirect-%Indirect%-Indirect", env), "Indirect-Foo%TVAR%Bar-Indirect");
}

TEST(EnvExpandBlock, FirstSpellingKeptLaterValueWins) {
  EnvironmentBlock env;
  env.Set("Path", "a");
  env.Set("PATH", "b");
  ASSERT_EQ(env.List().size(), 1u);
  EXPECT_EQ(env.List()[0].first, "Path");
  EXPECT_EQ(env.Get("path"), "b");
  env.Set("Other", "c");
  env.Unset("PATH");
  EXPECT_FALSE(env.Has("Path"));
  EXPECT_EQ(env.Get("OTHER"), "c");
  env.Set("path", "d");
  EXPECT_EQ(env.List().back().first, "path");
}

const char kSysEnv[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";

TEST(EnvExpandTarget, VariablesTheSystemAdds) {
  MemoryTarget t;
  const EnvironmentBlock env = t.Environment();
  EXPECT_EQ(env.Get("SystemRoot"), "C:\\windows");
  EXPECT_EQ(env.Get("windir"), "C:\\windows");
  EXPECT_EQ(env.Get("SystemDrive"), "C:");
  EXPECT_EQ(env.Get("USERPROFILE"), "C:\\users\\user");
  EXPECT_EQ(env.Get("USERNAME"), "user");
  EXPECT_EQ(env.Get("APPDATA"), "C:\\users\\user\\AppData\\Roaming");
  EXPECT_EQ(env.Get("LOCALAPPDATA"), "C:\\users\\user\\AppData\\Local");
  EXPECT_EQ(env.Get("ALLUSERSPROFILE"), "C:\\ProgramData");
  EXPECT_EQ(env.Get("ProgramData"), "C:\\ProgramData");
  EXPECT_EQ(env.Get("PUBLIC"), "C:\\users\\Public");
  EXPECT_EQ(env.Get("ProgramFiles"), "C:\\Program Files");
  EXPECT_EQ(env.Get("ProgramFiles(x86)"), "C:\\Program Files (x86)");
  EXPECT_EQ(env.Get("CommonProgramFiles"), "C:\\Program Files\\Common Files");
  EXPECT_EQ(env.Get("COMPUTERNAME"), "KESTROVE-TEST");
  EXPECT_EQ(env.Get("HOMEDRIVE"), "C:");
  EXPECT_EQ(env.Get("HOMEPATH"), "\\users\\user");
  EXPECT_EQ(t.ExpandEnvironmentStrings("%ComSpec%"), "C:\\windows\\system32\\cmd.exe");
}

TEST(EnvExpandTarget, UserWinsAndPathIsJoined) {
  MemoryTarget t;
  t.SetString(HKEY_LOCAL_MACHINE, kSysEnv, "EDITOR", "notepad");
  t.SetString(HKEY_CURRENT_USER, "Environment", "editor", "wordpad");
  t.SetString(HKEY_CURRENT_USER, "Environment", "Path", "C:\\tools");
  const EnvironmentBlock env = t.Environment();
  EXPECT_EQ(env.Get("EDITOR"), "wordpad");
  EXPECT_EQ(env.Get("PATH"), "C:\\windows\\system32;C:\\windows;C:\\tools");
}

TEST(EnvExpandTarget, ExpandStringsSeePlainStringsOfTheSameKey) {
  MemoryTarget t;
  // Enumerated first, but expanded only after every plain string of the key is set.
  t.SetExpandString(HKEY_LOCAL_MACHINE, kSysEnv, "AAA_TOOLS", "%ZZZ_BASE%\\tools");
  t.SetString(HKEY_LOCAL_MACHINE, kSysEnv, "ZZZ_BASE", "D:\\base");
  // A plain string is never expanded.
  t.SetString(HKEY_LOCAL_MACHINE, kSysEnv, "LITERAL", "%SystemRoot%");
  const EnvironmentBlock env = t.Environment();
  EXPECT_EQ(env.Get("AAA_TOOLS"), "D:\\base\\tools");
  EXPECT_EQ(env.Get("LITERAL"), "%SystemRoot%");
}

TEST(EnvExpandTarget, RegistryCannotMoveTheWindowsFolder) {
  MemoryTarget t;
  t.SetString(HKEY_LOCAL_MACHINE, kSysEnv, "SystemRoot", "D:\\elsewhere");
  t.SetString(HKEY_CURRENT_USER, "Environment", "SystemDrive", "D:");
  EXPECT_EQ(t.ExpandEnvironmentStrings("%SystemRoot%|%SystemDrive%"), "C:\\windows|C:");
}

TEST(EnvExpandTarget, EmptyValuesSetNothing) {
  MemoryTarget t;
  t.SetString(HKEY_CURRENT_USER, "Environment", "TMP", "");
  // The user's empty TMP leaves the system's in place.
  EXPECT_EQ(t.Environment().Get("TMP"), "C:\\windows\\TEMP");
}

TEST(EnvExpandTarget, TempFolderOrder) {
  MemoryTarget t;
  // The user's TMP, expanded from %USERPROFILE%, with a trailing backslash.
  EXPECT_EQ(t.TempFolder(), "C:\\users\\user\\AppData\\Local\\Temp\\");
  t.DeleteValue(HKEY_CURRENT_USER, "Environment", "TMP");
  t.SetString(HKEY_CURRENT_USER, "Environment", "TEMP", "C:\\UserTemp\\");
  // Without the user's TMP the system's TMP comes first.
  EXPECT_EQ(t.TempFolder(), "C:\\windows\\TEMP\\");
  t.DeleteValue(HKEY_LOCAL_MACHINE, kSysEnv, "TMP");
  EXPECT_EQ(t.TempFolder(), "C:\\UserTemp\\");
  t.DeleteValue(HKEY_CURRENT_USER, "Environment", "TEMP");
  t.DeleteValue(HKEY_LOCAL_MACHINE, kSysEnv, "TEMP");
  EXPECT_EQ(t.TempFolder(), "C:\\users\\user\\");
}

TEST(EnvExpandTarget, TempFolderWithoutAnyProfile) {
  MemoryTarget::Options o;
  o.defaultRegistry = false;
  MemoryTarget t(o);
  t.SetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "C:\\WINNT");
  // USERPROFILE always exists (profiles default to C:\users\<name>), so GetTempPath uses it.
  EXPECT_EQ(t.TempFolder().rfind("C:\\users\\", 0), 0u);
  EXPECT_EQ(t.TempFolder().back(), '\\');
  EXPECT_EQ(t.WindowsFolder(), "C:\\WINNT");
}

}  // namespace
}  // namespace kestrove

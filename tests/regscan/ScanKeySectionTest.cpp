// The sections that judge keys by what they hold: empty keys, useless extension keys, old
// Start Menu order keys, uninstall entries without a command, interfaces and classes naming
// what nobody registered, and the installer cache.
#include <gtest/gtest.h>

#include "ScanTestSupport.h"
#include "platform/Text.h"
#include "platform/memory/MemoryTarget.h"
#include "regscan/ScanTaskThread.h"

namespace kestrove {
namespace {

using memory::MemoryTarget;
using testing::ExpectSameRows;
using testing::Row;
using testing::RunScan;
using K = TLocationKind;

const std::string kHKLM = "HKEY_LOCAL_MACHINE\\";
const std::string kHKCU = "HKEY_CURRENT_USER\\";
const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

class ScanKeySectionTest : public ::testing::Test {
 protected:
  std::vector<TScanResult> Scan(std::vector<int> codes) { return RunScan(t, codes); }
  void Link(TRootKey root, const std::string& path, const std::string& target) {
    ASSERT_TRUE(t.Registry()->CreateLink(root, path, target));
  }
  std::string Users() { return "HKEY_USERS\\" + t.Registry()->UserSid(); }
  MemoryTarget t;
};

TEST_F(ScanKeySectionTest, CountContentStopsAtTheFirstValueOrFork) {
  testing::RecordingEvents events;
  TScanTaskThread worker(t, events, false);
  const TRootKey cu = HKEY_CURRENT_USER;
  t.CreateKey(cu, "C\\Empty");
  t.CreateKey(cu, "C\\Chain\\A\\B");
  t.SetString(cu, "C\\Valued\\A\\B", "x", "");
  t.SetString(cu, "C\\Values", "x", "1");
  t.SetString(cu, "C\\Values", "y", "2");
  t.CreateKey(cu, "C\\Fork\\A");
  t.CreateKey(cu, "C\\Fork\\B");
  t.CreateKey(cu, "C\\Linked");
  Link(cu, "C\\Linked\\L", "\\Registry\\Machine\\Software\\Nowhere");
  EXPECT_EQ(worker.CountContent(cu, "C\\Missing"), 0);
  EXPECT_EQ(worker.CountContent(cu, "C\\Empty"), 0);
  EXPECT_EQ(worker.CountContent(cu, "C\\Chain"), 0);
  EXPECT_EQ(worker.CountContent(cu, "\\C\\Chain"), 0) << "a leading backslash starts at the root";
  EXPECT_EQ(worker.CountContent(cu, "C\\Valued"), 1);
  EXPECT_EQ(worker.CountContent(cu, "C\\Values"), 2);
  EXPECT_EQ(worker.CountContent(cu, "C\\Fork"), 2);
  // A link, even one leading nowhere, is content.
  EXPECT_EQ(worker.CountContent(cu, "C\\Linked"), 1);
  // Asked again after other keys, the chain's keys still answer for themselves.
  EXPECT_EQ(worker.CountContent(cu, "C\\Valued\\A"), 1);
  EXPECT_EQ(worker.CountContent(cu, "C\\Chain\\A"), 0);
}

TEST_F(ScanKeySectionTest, EmptyKeysWalkReportsEveryLevelLeavesDefaultAndLinks) {
  const std::string sid = t.Registry()->UserSid();
  auto u = [&](const std::string& path) { return sid + "\\" + path; };
  t.CreateKey(HKEY_USERS, u("Software\\Gone\\Sub\\Leaf"));
  t.SetString(HKEY_USERS, u("Software\\Kept\\Settings"), "x", "1");
  t.CreateKey(HKEY_USERS, u("Software\\Kept\\Old"));
  t.CreateKey(HKEY_USERS, u("AppEvents\\Schemes\\Apps\\.Default\\Empty"));
  t.CreateKey(HKEY_USERS, ".DEFAULT\\Software\\EmptyInDefault");
  t.CreateKey(HKEY_USERS, u("Software\\Links"));
  t.SetString(HKEY_USERS, u("Software\\Links"), "keep", "1");
  // A link to an empty key and a link back up the tree: neither judged nor entered.
  Link(HKEY_USERS, u("Software\\Links\\ToEmpty"), "\\Registry\\User\\" + sid + "\\Software\\Gone");
  Link(HKEY_USERS, u("Software\\Links\\Loop"), "\\Registry\\User\\" + sid);
  const auto rows = Scan({25});
  const std::string sw = Users() + "\\Software";
  // Each empty key has its own row, parents before children; .DEFAULT is skipped at any level.
  const std::vector<TScanResult> expected = {
      Row(problem::kEmptyKeys, "Gone", sw, K::lkDataSubkey),
      Row(problem::kEmptyKeys, "Sub", sw + "\\Gone", K::lkDataSubkey),
      Row(problem::kEmptyKeys, "Leaf", sw + "\\Gone\\Sub", K::lkDataSubkey),
      Row(problem::kEmptyKeys, "Old", sw + "\\Kept", K::lkDataSubkey)};
  for (const TScanResult& r : expected) {
    EXPECT_EQ(std::count(rows.begin(), rows.end(), r), 1) << testing::Describe(rows);
  }
  for (const TScanResult& r : rows) {
    EXPECT_EQ(r.ProblemType, problem::kEmptyKeys);
    EXPECT_EQ(AsciiLower(r.Location + "\\").find("\\.default\\"), std::string::npos) << SaveAsTextLine(r);
    EXPECT_EQ(r.Location.find("\\Links"), std::string::npos) << SaveAsTextLine(r);
  }
  auto at = [&](const char* data) {
    return std::find_if(rows.begin(), rows.end(), [&](const TScanResult& r) { return r.Data == data; });
  };
  EXPECT_LT(at("Gone"), at("Sub"));
  EXPECT_LT(at("Sub"), at("Leaf"));

  // The uninstall walk does the same below its key, with its own problem text.
  t.CreateKey(HKEY_LOCAL_MACHINE, kUninstall + "\\Empty\\Inner");
  t.SetString(HKEY_LOCAL_MACHINE, kUninstall + "\\Full", "DisplayName", "x");
  ExpectSameRows(Scan({23}), {Row(problem::kEmptyUninstall, "Empty", kHKLM + kUninstall, K::lkDataSubkey),
                              Row(problem::kEmptyUninstall, "Inner", kHKLM + kUninstall + "\\Empty", K::lkDataSubkey)});
}

TEST_F(ScanKeySectionTest, ObsoleteSoftwareLooksAtVendorKeysOnlyUserFirst) {
  t.CreateKey(HKEY_CURRENT_USER, "Software\\GoneVendor\\App");
  t.SetString(HKEY_CURRENT_USER, "Software\\Vendor\\App", "x", "1");
  t.CreateKey(HKEY_CURRENT_USER, "Software\\Vendor\\EmptyBelow");
  t.CreateKey(HKEY_LOCAL_MACHINE, "Software\\OldVendor");
  Link(HKEY_LOCAL_MACHINE, "Software\\LinkedVendor", "\\Registry\\Machine\\Software\\OldVendor");
  testing::RecordingEvents events;
  const auto rows = RunScan(t, {10}, false, &events);
  EXPECT_EQ(rows, (std::vector<TScanResult>{
                      Row(problem::kObsoleteSoftware, "GoneVendor", kHKCU + "Software", K::lkDataSubkey),
                      Row(problem::kObsoleteSoftware, "OldVendor", kHKLM + "Software", K::lkDataSubkey)}))
      << testing::Describe(rows);
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "title:Scanning: Software Locations"), 1);
}

TEST_F(ScanKeySectionTest, ChainsDeeperThanAnyStackAreNotCalledEmpty) {
  // 10,000 empty levels (the memory store builds deeper ones slowly): too deep to judge, so
  // nothing of it is reported, and neither the count nor the walk recurses that deep.
  std::string deep = "Software\\Deep";
  for (int i = 0; i < 10000; ++i) deep += "\\k";
  t.CreateKey(HKEY_CURRENT_USER, deep);
  // A chain of 300 empty levels is judged and each level reported.
  std::string chain = "Software\\Chain";
  for (int i = 0; i < 299; ++i) chain += "\\c";
  t.CreateKey(HKEY_CURRENT_USER, chain);
  EXPECT_EQ(Scan({10}), (std::vector<TScanResult>{
                            Row(problem::kObsoleteSoftware, "Chain", kHKCU + "Software", K::lkDataSubkey)}));
  const auto rows = Scan({25});
  EXPECT_EQ(rows.size(), 300u);
  for (const TScanResult& r : rows) EXPECT_EQ(r.Location.find("\\Deep"), std::string::npos);
}

TEST_F(ScanKeySectionTest, FileExtensionsClassKeysAndExplorerExtensions) {
  const std::string c = "Software\\Classes";
  t.SetString(HKEY_LOCAL_MACHINE, c + "\\.blank", "", "");
  t.SetString(HKEY_LOCAL_MACHINE, c + "\\.named", "", "namedfile");
  t.CreateKey(HKEY_LOCAL_MACHINE, c + "\\Bare.Class");
  t.SetDword(HKEY_LOCAL_MACHINE, c + "\\.number", "", 0);
  t.SetString(HKEY_LOCAL_MACHINE, c + "\\.other", "Content Type", "");
  t.SetString(HKEY_LOCAL_MACHINE, c + "\\.twovalues", "", "");
  t.SetString(HKEY_LOCAL_MACHINE, c + "\\.twovalues", "x", "");
  t.CreateKey(HKEY_LOCAL_MACHINE, c + "\\.withsub\\ShellNew");
  const std::string fe = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";
  t.CreateKey(HKEY_CURRENT_USER, fe + "\\.one\\OpenWithList");
  t.CreateKey(HKEY_CURRENT_USER, fe + "\\.two\\OpenWithList");
  t.CreateKey(HKEY_CURRENT_USER, fe + "\\.two\\OpenWithProgids");
  t.SetString(HKEY_CURRENT_USER, fe + "\\.used\\OpenWithList", "a", "app.exe");
  ExpectSameRows(Scan({11}), {Row(problem::kFileExtension, ".blank", kHKLM + c, K::lkDataSubkey),
                              Row(problem::kFileExtension, "Bare.Class", kHKLM + c, K::lkDataSubkey),
                              Row(problem::kFileExtension, ".one", kHKCU + fe, K::lkDataSubkey)});
}

TEST_F(ScanKeySectionTest, AddRemoveProgramsNeedsAnUninstallCommand) {
  const std::string u = kUninstall + "\\";
  t.SetString(HKEY_LOCAL_MACHINE, u + "NoCommand", "DisplayName", "No Command");
  t.SetString(HKEY_LOCAL_MACHINE, u + "{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F20}", "DisplayName", "Msi");
  t.SetString(HKEY_LOCAL_MACHINE, u + "Quiet", "QuietUninstallString", "q.exe");
  t.SetString(HKEY_LOCAL_MACHINE, u + "LowerCase", "uninstallstring", "x.exe");
  t.SetDword(HKEY_LOCAL_MACHINE, u + "Hidden", "SystemComponent", 1);
  t.CreateKey(HKEY_LOCAL_MACHINE, u + "EmptyEntry");
  // On a 64-bit system the 32-bit programs' list is read too.
  const std::string wow = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  t.SetString(HKEY_LOCAL_MACHINE, wow + "\\Old32", "DisplayName", "Old 32");
  t.SetString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager\\Environment",
              "PROCESSOR_ARCHITECTURE", "AMD64");
  ASSERT_TRUE(t.Is64Bit());
  EXPECT_EQ(Scan({15}), (std::vector<TScanResult>{
                            Row(problem::kAddRemovePrograms, "EmptyEntry", kHKLM + kUninstall, K::lkDataSubkey),
                            Row(problem::kAddRemovePrograms, "LowerCase", kHKLM + kUninstall, K::lkDataSubkey),
                            Row(problem::kAddRemovePrograms, "NoCommand", kHKLM + kUninstall, K::lkDataSubkey),
                            Row(problem::kAddRemovePrograms, "Old32", kHKLM + wow, K::lkDataSubkey)}));
}

TEST_F(ScanKeySectionTest, InterfacesAndClassesNamingWhatIsNotRegistered) {
  t.CreateKey(HKEY_CLASSES_ROOT, "TypeLib\\{LIB-OK}");
  t.SetString(HKEY_CLASSES_ROOT, "Interface\\{I1}", "", "IKnown");
  t.SetString(HKEY_CLASSES_ROOT, "Interface\\{I1}\\TypeLib", "", "{lib-ok}");
  t.SetString(HKEY_CLASSES_ROOT, "Interface\\{I2}", "", "IOrphan");
  t.SetString(HKEY_CLASSES_ROOT, "Interface\\{I2}\\TypeLib", "", "{LIB-GONE}");
  t.SetDword(HKEY_CLASSES_ROOT, "Interface\\{I3}", "", 1);
  t.SetString(HKEY_CLASSES_ROOT, "Interface\\{I3}\\TypeLib", "", "{LIB-GONE}");
  t.SetString(HKEY_CLASSES_ROOT, "Interface\\{I4}", "", "INoLib");

  t.CreateKey(HKEY_CLASSES_ROOT, "AppID\\{APP-OK}");
  t.CreateKey(HKEY_CLASSES_ROOT, "AppID\\{C-NAMED}");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C1}", "AppID", "{app-ok}");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C2}", "AppID", "{APP-GONE}");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C-NAMED}", "AppID", "{APP-GONE}");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C3}", "AppID", "");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C4}", "", "no AppID value");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C5}", "AppID", "{APP-GONE}");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C5}\\InprocServer32", "", "C:\\windows\\system32\\OLEACC.DLL");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C6}", "AppID", "{APP-GONE}");
  t.SetDword(HKEY_CLASSES_ROOT, "CLSID\\{C6}\\InprocServer32", "", 1);
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C7}", "AppID", "{APP-GONE}");
  t.SetString(HKEY_CLASSES_ROOT, "CLSID\\{C7}\\InprocServer32", "", "C:\\windows\\system32\\ole32.dll");

  const TScanResult iface =
      Row(problem::kCustomControls, "IOrphan - {LIB-GONE}", "HKEY_CLASSES_ROOT\\Interface\\{I2}", K::lkKey);
  const std::vector<TScanResult> classes = {
      Row(problem::kActiveX, "{APP-GONE}", "HKEY_CLASSES_ROOT\\CLSID\\{C2}", K::lkKey),
      Row(problem::kActiveX, "{APP-GONE}", "HKEY_CLASSES_ROOT\\CLSID\\{C7}", K::lkKey)};
  // The first steps report the server files, which these classes do not have.
  auto keyRows = [](const std::vector<TScanResult>& rows) {
    std::vector<TScanResult> out;
    for (const TScanResult& r : rows) {
      if (r.ProblemType != problem::kFileOrFolder && r.Location.find("InprocServer32") == std::string::npos)
        out.push_back(r);
    }
    return out;
  };
  ExpectSameRows(keyRows(Scan({16})), {iface});
  ExpectSameRows(keyRows(Scan({20})), classes);
  // The second steps run with the machine walk too.
  ExpectSameRows(keyRows(Scan({5, 16, 20})), {iface, classes[0], classes[1]});
}

TEST_F(ScanKeySectionTest, StartMenuOrderAndInstallerCache) {
  t.MakeFolder(*t.ShellFolder("Programs") + "\\Kept App");
  t.MakeFolder(*t.ShellFolder("Common Programs") + "\\Common App");
  t.WriteFile(*t.ShellFolder("Programs") + "\\File Only", "x");
  const std::string mo = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\";
  for (const char* name : {"kept app", "COMMON APP", "File Only", "Gone App"}) {
    t.SetValue(HKEY_CURRENT_USER, mo + "Start Menu2\\Programs\\" + name, "Order", REG_BINARY, Bytes(8, 1));
  }
  t.CreateKey(HKEY_CURRENT_USER, mo + "Start Menu\\&Programs\\Old");
  t.CreateKey(HKEY_CURRENT_USER, mo + "Start Menu\\Programs\\Older");
  EXPECT_EQ(Scan({9}),
            (std::vector<TScanResult>{
                Row(problem::kStartMenu, "File Only", kHKCU + mo + "Start Menu2\\Programs", K::lkDataSubkey),
                Row(problem::kStartMenu, "Gone App", kHKCU + mo + "Start Menu2\\Programs", K::lkDataSubkey),
                Row(problem::kStartMenu, "Older", kHKCU + mo + "Start Menu\\Programs", K::lkDataSubkey),
                Row(problem::kStartMenu, "Old", kHKCU + mo + "Start Menu\\&Programs", K::lkDataSubkey)}));

  const std::string arp = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
  t.SetString(HKEY_LOCAL_MACHINE, kUninstall + "\\Listed", "UninstallString", "C:\\windows\\notepad.exe");
  t.SetValue(HKEY_LOCAL_MACHINE, arp + "\\LISTED", "SlowInfoCache", REG_BINARY, Bytes(4, 0));
  t.SetValue(HKEY_LOCAL_MACHINE, arp + "\\Removed", "SlowInfoCache", REG_BINARY, Bytes(4, 0));
  std::vector<TScanResult> cache;
  for (const TScanResult& r : Scan({21})) {
    if (r.LocationKind == K::lkDataSubkey) cache.push_back(r);
  }
  EXPECT_EQ(cache, (std::vector<TScanResult>{Row(problem::kInstaller, "Removed", kHKLM + arp, K::lkDataSubkey)}));
}

}  // namespace
}  // namespace kestrove

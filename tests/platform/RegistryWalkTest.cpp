// The store's own walk over its key nodes must show exactly what a walk made of by-path calls
// (Values, SubKeyNames, IsLink: the base class's WalkTree) shows: the same keys, paths, depths,
// values and order, with links, values left unread in the hive's text and a merged
// HKEY_CLASSES_ROOT.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/HiveStore.h"
#include "platform/RegistryStore.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

// Every call but WalkTree goes to the store inside, so the base class's walk runs on them.
class ByPathStore final : public RegistryStore {
 public:
  explicit ByPathStore(RegistryStore& in) : in_(in) {}
  bool KeyExists(TRootKey r, std::string_view p) override { return in_.KeyExists(r, p); }
  bool CreateKey(TRootKey r, std::string_view p) override { return in_.CreateKey(r, p); }
  std::optional<std::vector<std::string>> SubKeyNames(TRootKey r, std::string_view p) override {
    return in_.SubKeyNames(r, p);
  }
  std::optional<std::vector<std::string>> ValueNames(TRootKey r, std::string_view p) override {
    return in_.ValueNames(r, p);
  }
  std::optional<std::vector<RegValue>> Values(TRootKey r, std::string_view p) override { return in_.Values(r, p); }
  std::optional<RegValue> QueryValue(TRootKey r, std::string_view p, std::string_view n) override {
    return in_.QueryValue(r, p, n);
  }
  std::optional<RegKeyInfo> QueryKeyInfo(TRootKey r, std::string_view p) override { return in_.QueryKeyInfo(r, p); }
  bool SetValue(TRootKey r, std::string_view p, std::string_view n, std::uint32_t t, const Bytes& d) override {
    return in_.SetValue(r, p, n, t, d);
  }
  bool DeleteValue(TRootKey r, std::string_view p, std::string_view n) override { return in_.DeleteValue(r, p, n); }
  bool DeleteKey(TRootKey r, std::string_view p) override { return in_.DeleteKey(r, p); }
  bool CanDeleteKey(TRootKey r, std::string_view p) override { return in_.CanDeleteKey(r, p); }
  bool CreateLink(TRootKey r, std::string_view p, std::string_view t) override { return in_.CreateLink(r, p, t); }
  bool IsLink(TRootKey r, std::string_view p) override { return in_.IsLink(r, p); }
  std::optional<std::string> WriteBlockReason() override { return in_.WriteBlockReason(); }
  void Commit() override { in_.Commit(); }
  bool HasUncommittedChanges() override { return in_.HasUncommittedChanges(); }
  void Discard() override { in_.Discard(); }
  std::string UserSid() override { return in_.UserSid(); }
  std::string Describe() override { return in_.Describe(); }

 private:
  RegistryStore& in_;
};

// Hives in memory where HKEY_CLASSES_ROOT shows the user's classes over the machine's, as an
// offline Windows system has it.
class OverlayBackend final : public IHiveBackend {
 public:
  std::vector<THiveMount> Mounts() override {
    return {{"Machine", "HKLM"}, {"User\\S-1", "HKU\\S-1"}, {"User\\S-1_Classes", "HKU\\S-1_Classes"}};
  }
  std::string UserSid() override { return "S-1"; }
  std::string Describe() override { return "memory"; }
  void LoadHive(std::size_t, regtree::Hive&) override {}
  void LoadValues(const regtree::Hive&, regtree::Node&) override {}
  void StageHive(std::size_t, const regtree::Hive&, const std::function<void(regtree::Node&)>&) override {}
  void PublishHive(std::size_t) override {}
  void DropStagedHive(std::size_t) override {}
  bool HiveChanged(std::size_t) override { return false; }
  std::optional<std::string> WriteBlockReason() override { return std::nullopt; }
  void BeginWriteSession() override {}
  void EndWriteSession() override {}
  std::string ClassesOverlay() override { return "User\\S-1_Classes"; }
};

std::unique_ptr<RegistryStore> MergedClassesStore() {
  auto store = std::make_unique<THiveStore>(std::make_unique<OverlayBackend>());
  auto sz = [](const char* text) { return Utf8ToUtf16Le(text, true); };
  const char* machine = "Software\\Classes\\";
  for (const char* key : {"Both\\MachineOnly", "Both\\Shared\\Deep", "MachineOnly\\x", "zLast", "Skip\\Hidden"})
    store->CreateKey(HKEY_LOCAL_MACHINE, std::string(machine) + key);
  store->SetValue(HKEY_LOCAL_MACHINE, "Software\\Classes\\Both", "", REG_SZ, sz("machine's"));
  store->SetValue(HKEY_LOCAL_MACHINE, "Software\\Classes\\Both\\Shared", "m", REG_SZ, sz("machine's"));
  store->CreateKey(HKEY_LOCAL_MACHINE, "Software\\Target\\Inside");
  // A link in the machine's list only, and one under a name the user's list holds as a key:
  // the user's plain key is read, and below it the subkeys of the key the link points to.
  store->CreateLink(HKEY_LOCAL_MACHINE, "Software\\Classes\\Linked", "\\Registry\\Machine\\Software\\Target");
  store->CreateLink(HKEY_LOCAL_MACHINE, "Software\\Classes\\Both\\Shared\\Via", "\\Registry\\Machine\\Software\\Target");
  for (const char* key : {"both\\UserOnly", "Both\\shared\\Mine", "Both\\Shared\\Via", "aFirst", "Stop\\After"})
    store->CreateKey(HKEY_USERS, std::string("S-1_Classes\\") + key);
  store->SetValue(HKEY_USERS, "S-1_Classes\\Both", "", REG_SZ, sz("user's"));
  store->SetValue(HKEY_USERS, "S-1_Classes\\Both\\Shared\\Via", "u", REG_DWORD, {1, 0, 0, 0});
  // A link in the user's list hides the machine's key of that name.
  store->CreateLink(HKEY_USERS, "S-1_Classes\\MachineOnly", "\\Registry\\Machine\\Software\\Target");
  return store;
}

// A Wine prefix whose values are read from the file's text only when asked.
struct WinePrefix {
  WinePrefix() {
    char tmpl[] = "/tmp/kestrove-walk-XXXXXX";
    dir = ::mkdtemp(tmpl);
    const std::string head = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    std::ofstream(dir / "system.reg", std::ios::binary)
        << head
        << "[Software\\\\A] 1695780567\n\"one\"=\"C:\\\\x.dll\"\n\"two\"=dword:00000002\n\n"
           "[Software\\\\A\\\\Skip\\\\Below] 1695780567\n\"hidden\"=\"y\"\n\n"
           "[Software\\\\A\\\\b] 1695780567\n@=\"default\"\n\n"
           "[Software\\\\Classes\\\\Wow6432Node] 1695780567\n#link\n"
           "\"SymbolicLinkValue\"=hex(6):5c,00,52,00,65,00,67,00,69,00,73,00,74,00,72,00,79,00,5c,00,4d,00,61,00,"
           "63,00,68,00,69,00,6e,00,65,00,5c,00,53,00,6f,00,66,00,74,00,77,00,61,00,72,00,65,00,5c,00,41,00\n\n"
           "[Software\\\\Classes\\\\x] 1695780567\n\"v\"=\"1\"\n\n"
           "[Software\\\\Stop\\\\Never] 1695780567\n\"n\"=\"z\"\n\n"
           "[Software\\\\Z] 1695780567\n";
    store = RegistryStore::OpenWinePrefix(dir);
  }
  ~WinePrefix() { fs::remove_all(dir); }
  fs::path dir;
  std::unique_ptr<RegistryStore> store;
};

// One line a key: depth, path, and values (or that they were not asked for), with `counts` the
// number of subkeys; a key whose last name is "Skip" is passed over, one named "Stop" ends the
// walk.
std::string Trace(RegistryStore& store, TRootKey root, std::string_view path, bool counts = false) {
  std::string out;
  store.WalkTree(root, path, [&](TWalkedKey& key) {
    const std::string keyPath(key.Path());
    out += std::to_string(key.Depth()) + " [" + keyPath + "]";
    const std::string leaf = keyPath.substr(keyPath.rfind('\\') + 1);
    if (leaf == "Stop") return TWalkStep::Stop;
    if (leaf == "Skip") {
      out += " passed over\n";
      return TWalkStep::Skip;
    }
    const std::vector<RegValue>* values = key.Values();
    if (!values) out += " unreadable";
    for (const RegValue& v : values ? *values : std::vector<RegValue>{})
      out += " " + v.name + ":" + std::to_string(v.type) + ":" + std::to_string(v.data.size());
    if (counts) out += " /" + std::to_string(key.SubKeyCount());
    out += "\n";
    return TWalkStep::Enter;
  });
  return out;
}

TEST(RegistryWalk, TheNodeWalkShowsWhatTheByPathCallsShow) {
  auto merged = MergedClassesStore();
  WinePrefix wine;
  struct Case {
    const char* what;
    RegistryStore* store;
    TRootKey root;
    const char* path;
    // Lines the walk must show, so that two equally broken walks do not pass.
    std::vector<const char*> shows;
    std::vector<const char*> neverShows;
  };
  const Case cases[] = {
      // The user's list comes first, and names the keys both lists hold ("both", "shared").
      {"merged classes from the root", merged.get(), HKEY_CLASSES_ROOT, "",
       {"0 []\n", "1 [aFirst]\n", "1 [both] :1:14\n", "2 [both\\MachineOnly]\n", "2 [both\\UserOnly]\n",
        "3 [both\\shared\\Deep]\n", "3 [both\\shared\\Via] u:4:4\n", "4 [both\\shared\\Via\\Inside]\n",
        "1 [Skip] passed over\n", "1 [Stop]"},
       {"[Linked", "[MachineOnly", "Hidden", "[zLast"}},
      {"merged classes below a key both hold", merged.get(), HKEY_CLASSES_ROOT, "Both\\Shared",
       {"0 [Both\\Shared]\n", "1 [Both\\Shared\\Deep]\n", "1 [Both\\Shared\\Mine]\n"},
       {"m:1:20"}},
      {"a start path through a link", merged.get(), HKEY_LOCAL_MACHINE, "Software\\Classes\\Linked",
       {"0 [Software\\Classes\\Linked]\n", "1 [Software\\Classes\\Linked\\Inside]\n"},
       {}},
      {"the machine's classes alone", merged.get(), HKEY_LOCAL_MACHINE, "Software\\Classes",
       {"1 [Software\\Classes\\MachineOnly]\n", "1 [Software\\Classes\\zLast]\n"},
       {"[Software\\Classes\\Linked", "UserOnly"}},
      {"HKEY_USERS across hives", merged.get(), HKEY_USERS, "",
       {"1 [S-1]\n", "1 [S-1_Classes]\n", "2 [S-1_Classes\\aFirst]\n"},
       {"[S-1_Classes\\MachineOnly"}},
      {"unread values of a Wine hive", wine.store.get(), HKEY_LOCAL_MACHINE, "Software",
       {"1 [Software\\A] one:1:18 two:4:4\n", "2 [Software\\A\\b] :1:16\n", "2 [Software\\A\\Skip] passed over\n",
        "2 [Software\\Classes\\x] v:1:4\n", "1 [Software\\Stop]"},
       {"Wow6432Node", "Below", "[Software\\Stop\\Never", "[Software\\Z"}},
      {"a key that does not exist", wine.store.get(), HKEY_LOCAL_MACHINE, "Software\\Nowhere", {}, {"["}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ByPathStore byPath(*c.store);
    EXPECT_EQ(Trace(*c.store, c.root, c.path, true), Trace(byPath, c.root, c.path, true));
    const std::string nodes = Trace(*c.store, c.root, c.path);
    for (const char* line : c.shows) EXPECT_NE(nodes.find(line), std::string::npos) << line << "\nin\n" << nodes;
    for (const char* text : c.neverShows) EXPECT_EQ(nodes.find(text), std::string::npos) << text << "\nin\n" << nodes;
  }
}

// A chain deeper than any stack is walked to its end, with no recursion, its values read
// from the file's text at every depth.
TEST(RegistryWalk, KeysNestedDeeperThanAnyStackAreAllShown) {
  constexpr int kLevels = 100000;
  char tmpl[] = "/tmp/kestrove-walk-deep-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::string filePath = "Deep";
  for (int i = 0; i < kLevels; ++i) filePath += "\\\\k";
  std::ofstream(dir / "user.reg", std::ios::binary)
      << "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n"
      << "[" << filePath << "] 1695780567\n\"v\"=\"deep\"\n";
  {
    auto store = RegistryStore::OpenWinePrefix(dir);
    int shown = 0, deepest = 0;
    std::size_t values = 0;
    store->WalkTree(HKEY_CURRENT_USER, "Deep", [&](TWalkedKey& key) {
      ++shown;
      deepest = key.Depth();
      if (const std::vector<RegValue>* v = key.Values()) values += v->size();
      return TWalkStep::Enter;
    });
    EXPECT_EQ(shown, kLevels + 1);
    EXPECT_EQ(deepest, kLevels);
    EXPECT_EQ(values, 1u);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrove

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ProcessInFolder.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/RegistryStore.h"
#include "platform/TRegistry.h"
#include "platform/wine/WineServer.h"
#include "../HangGuard.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

fs::path FreshPrefixData() { return fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "wine-8.0-fresh"; }

// A throw-away prefix holding copies of a real Wine 8.0 prefix's registry files.
class PrefixCopy {
 public:
  PrefixCopy() {
    char tmpl[] = "/tmp/kestrove-prefix-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    fs::create_directories(dir_ / "drive_c");
    fs::create_directories(dir_ / "dosdevices");
    for (const char* name : {"system.reg", "user.reg", "userdef.reg"})
      fs::copy_file(FreshPrefixData() / name, dir_ / name);
  }
  ~PrefixCopy() { fs::remove_all(dir_); }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

#define NEED_TESTDATA()                                                                      \
  if (!fs::exists(FreshPrefixData())) GTEST_SKIP() << "shared test data not found at " << FreshPrefixData()

TEST(RegistryStore, RootsOfAWinePrefix) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(prefix.dir()));
  EXPECT_EQ(store->UserSid(), "S-1-5-21-0-0-0-1000");
  TRegistry reg(store);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("Software\\Microsoft\\Windows NT\\CurrentVersion", false));
  EXPECT_FALSE(reg.ReadString("SystemRoot").empty());
  // HKEY_CLASSES_ROOT is HKLM\Software\Classes, nothing else.
  reg.SetRootKey(HKEY_CLASSES_ROOT);
  ASSERT_TRUE(reg.OpenKey(".lnk", false));
  EXPECT_EQ(reg.ReadString(""), "lnkfile");
  // HKEY_CURRENT_USER is user.reg, also reachable under HKEY_USERS by the SID.
  reg.SetRootKey(HKEY_CURRENT_USER);
  EXPECT_TRUE(reg.KeyExists("Control Panel\\Desktop"));
  reg.SetRootKey(HKEY_USERS);
  EXPECT_TRUE(reg.KeyExists("S-1-5-21-0-0-0-1000\\Control Panel\\Desktop"));
  EXPECT_TRUE(reg.KeyExists(".DEFAULT\\Software\\Microsoft"));
  ASSERT_TRUE(reg.OpenKey("\\", false));
  std::vector<std::string> users;
  reg.GetKeyNames(users);
  EXPECT_EQ(users, (std::vector<std::string>{".Default", "S-1-5-21-0-0-0-1000"}));
  // Wine's shared 32-bit class keys are links into Software\Classes.
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(store->IsLink(HKEY_LOCAL_MACHINE, "Software\\Classes\\Wow6432Node\\AppId"));
  std::vector<std::string> a, b;
  ASSERT_TRUE(reg.OpenKey("Software\\Classes\\Wow6432Node\\AppId", false));
  reg.GetKeyNames(a);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Classes\\AppId", false));
  reg.GetKeyNames(b);
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a.empty());
  reg.SetRootKey(HKEY_CURRENT_CONFIG);
  EXPECT_EQ(reg.OpenKey("", false),
            store->KeyExists(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Hardware Profiles\\Current"));
}

TEST(RegistryStore, UnchangedPrefixIsNotRewritten) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  auto before = fs::last_write_time(prefix.dir() / "system.reg");
  auto store = RegistryStore::OpenWinePrefix(prefix.dir());
  TRegistry reg(std::shared_ptr<RegistryStore>(std::move(store)));
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("Software\\Microsoft\\Windows NT\\CurrentVersion", false));
  // Writing the same data again is no change.
  reg.WriteString("SystemRoot", reg.ReadString("SystemRoot"));
  EXPECT_FALSE(reg.Store().HasUncommittedChanges());
  reg.Store().Commit();
  EXPECT_EQ(fs::last_write_time(prefix.dir() / "system.reg"), before);
}

// Lines of `after` that are not in `before` and the other way round, as counts.
std::pair<int, int> LineDiff(const std::string& before, const std::string& after) {
  std::multiset<std::string> a, b;
  std::stringstream sa(before), sb(after);
  for (std::string l; std::getline(sa, l);) a.insert(l);
  for (std::string l; std::getline(sb, l);) b.insert(l);
  int added = 0, removed = 0;
  for (auto it = b.begin(); it != b.end(); it = b.upper_bound(*it))
    added += std::max<int>(0, static_cast<int>(b.count(*it)) - static_cast<int>(a.count(*it)));
  for (auto it = a.begin(); it != a.end(); it = a.upper_bound(*it))
    removed += std::max<int>(0, static_cast<int>(a.count(*it)) - static_cast<int>(b.count(*it)));
  return {added, removed};
}

TEST(RegistryStore, CommitRewritesOnlyWhatChanged) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  const std::string original = ReadAll(prefix.dir() / "user.reg");
  const std::string system = ReadAll(prefix.dir() / "system.reg");
  {
    auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(prefix.dir()));
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey("Software\\Kestrove Test", true));
    reg.WriteString("Name", "caf\xC3\xA9 \"quoted\"");
    reg.WriteInteger("Count", 42);
    store->Commit();
    EXPECT_FALSE(store->HasUncommittedChanges());
  }
  const std::string after = ReadAll(prefix.dir() / "user.reg");
  EXPECT_NE(after.find("[Software\\\\Kestrove Test] "), std::string::npos);
  EXPECT_NE(after.find("\"Name\"=\"caf\\xe9 \\\"quoted\\\"\"\n"), std::string::npos);
  EXPECT_NE(after.find("\"Count\"=dword:0000002a\n"), std::string::npos);
  // The new key's three lines, its #time line and blank line; Software's time may change
  // only if Software had its own text (it has none in a fresh prefix).
  auto [added, removed] = LineDiff(original, after);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(added, 5);
  EXPECT_EQ(ReadAll(prefix.dir() / "system.reg"), system) << "an unchanged hive is not rewritten";
  // And it reads back.
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(prefix.dir()));
  TRegistry reg(store);
  ASSERT_TRUE(reg.OpenKey("software\\KESTROVE TEST", false));
  EXPECT_EQ(reg.ReadString("name"), "caf\xC3\xA9 \"quoted\"");
  EXPECT_EQ(reg.ReadInteger("COUNT"), 42);
}

TEST(RegistryStore, DeletingTheLastChildOfAValuelessKeyKeepsTheKey) {
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::CreateInMemory());
  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Vendor\\App"));
  ASSERT_TRUE(store->DeleteKey(HKEY_CURRENT_USER, "Software\\Vendor\\App"));
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software\\Vendor"));
  NEED_TESTDATA();
  PrefixCopy prefix;
  {
    auto wine = RegistryStore::OpenWinePrefix(prefix.dir());
    // "Software\Wine" in a fresh user.reg has no values of its own and only subkeys.
    auto names = wine->SubKeyNames(HKEY_CURRENT_USER, "Software\\Wine");
    ASSERT_TRUE(names && !names->empty());
    for (auto& n : *names) ASSERT_TRUE(wine->DeleteKey(HKEY_CURRENT_USER, "Software\\Wine\\" + n));
    wine->Commit();
  }
  const std::string after = ReadAll(prefix.dir() / "user.reg");
  EXPECT_NE(after.find("\n[Software\\\\Wine] "), std::string::npos) << "the emptied key must be written itself";
  auto again = RegistryStore::OpenWinePrefix(prefix.dir());
  EXPECT_TRUE(again->KeyExists(HKEY_CURRENT_USER, "Software\\Wine"));
  EXPECT_EQ(again->SubKeyNames(HKEY_CURRENT_USER, "Software\\Wine")->size(), 0u);
}

TEST(RegistryStore, LinksAreFollowedButNeverDeletedThrough) {
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::CreateInMemory());
  ASSERT_TRUE(store->CreateKey(HKEY_LOCAL_MACHINE, "System\\ControlSet001\\Services\\Beep"));
  ASSERT_TRUE(store->CreateLink(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet",
                                "\\Registry\\Machine\\System\\ControlSet001"));
  EXPECT_TRUE(store->IsLink(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet"));
  TRegistry reg(store);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  // A key created through the link lands in ControlSet001.
  ASSERT_TRUE(reg.OpenKey("System\\CurrentControlSet\\Services\\KestroveTest", true));
  EXPECT_TRUE(reg.KeyExists("\\System\\ControlSet001\\Services\\KestroveTest"));
  ASSERT_TRUE(reg.DeleteKey("\\System\\CurrentControlSet\\Services\\KestroveTest"));
  EXPECT_FALSE(reg.KeyExists("\\System\\ControlSet001\\Services\\KestroveTest"));
  // A link to itself ends instead of looping.
  ASSERT_TRUE(store->CreateLink(HKEY_LOCAL_MACHINE, "System\\Loop", "\\Registry\\Machine\\System\\Loop"));
  EXPECT_FALSE(store->KeyExists(HKEY_LOCAL_MACHINE, "System\\Loop\\x"));
  // Counting values never enters a link: what it points to counts once, where it lives.
  ASSERT_TRUE(store->SetValue(HKEY_LOCAL_MACHINE, "System\\ControlSet001\\Services\\Beep", "Start", REG_DWORD, {3, 0, 0, 0}));
  EXPECT_EQ(store->TreeValueCount(HKEY_LOCAL_MACHINE, "System"), 1u);
  EXPECT_EQ(store->TreeValueCount(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet"), 1u);
  EXPECT_EQ(store->TreeValueCount(HKEY_LOCAL_MACHINE, "System\\Nowhere"), 0u);
  // Deleting a tree that holds a link removes the link, not what it points to.
  ASSERT_TRUE(reg.DeleteKey("\\System\\CurrentControlSet"));
  EXPECT_FALSE(store->KeyExists(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet"));
  EXPECT_TRUE(store->KeyExists(HKEY_LOCAL_MACHINE, "System\\ControlSet001\\Services\\Beep"));
  // The same with Wine's real links: deleting Wow6432Node leaves Software\Classes\CLSID.
  NEED_TESTDATA();
  PrefixCopy prefix;
  auto wine = RegistryStore::OpenWinePrefix(prefix.dir());
  auto clsid = wine->SubKeyNames(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID");
  ASSERT_TRUE(clsid && !clsid->empty());
  TRegistry wreg(std::shared_ptr<RegistryStore>(std::move(wine)));
  wreg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(wreg.DeleteKey("Software\\Classes\\Wow6432Node"));
  EXPECT_EQ(wreg.Store().SubKeyNames(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID"), clsid);
  wreg.Store().Commit();
  auto again = RegistryStore::OpenWinePrefix(prefix.dir());
  EXPECT_FALSE(again->KeyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\Wow6432Node"));
  EXPECT_EQ(again->SubKeyNames(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID"), clsid);
}

// Wine reads and writes a key nested 100,000 deep; so must every load, write, count and
// delete here, with no recursion (AddressSanitizer's larger frames overflow the stack first).
TEST(RegistryStore, KeysNestedDeeperThanAnyStackAreWrittenAndDeleted) {
  constexpr int kLevels = 100000;
  char tmpl[] = "/tmp/kestrove-deep-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::string filePath = "Deep", keyPath = "Deep";
  for (int i = 0; i < kLevels; ++i) {
    filePath += "\\\\k";
    keyPath += "\\k";
  }
  const std::string head = "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n";
  const std::string deepBlock = "[" + filePath + "] 1695780567\n#time=1d9f0e7a4b3c2d1\n\"v\"=\"deep\"\n";
  const std::string other = "[Other] 1695780567\n#time=1d9f0e7a4b3c2d1\n\"n\"=dword:00000001\n";
  { std::ofstream(dir / "user.reg", std::ios::binary) << head << deepBlock << "\n" << other; }
  {
    auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(dir));
    ASSERT_TRUE(store->KeyExists(HKEY_CURRENT_USER, keyPath));
    // A change elsewhere leaves the deep key's text as it was.
    ASSERT_TRUE(store->SetValue(HKEY_CURRENT_USER, "Other", "n", REG_DWORD, {2, 0, 0, 0}));
    store->Commit();
    const std::string saved = ReadAll(dir / "user.reg");
    EXPECT_EQ(saved.substr(0, head.size() + deepBlock.size()), head + deepBlock);
    ASSERT_TRUE(store->SetValue(HKEY_CURRENT_USER, keyPath, "added", REG_SZ, Utf8ToUtf16Le("yes", true)));
    store->Commit();
    EXPECT_EQ(store->TreeValueCount(HKEY_CURRENT_USER, "Deep"), 2u);
  }
  {
    auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(dir));
    auto added = store->QueryValue(HKEY_CURRENT_USER, keyPath, "added");
    ASSERT_TRUE(added);
    EXPECT_EQ(Utf16LeToUtf8(added->data), std::string("yes\0", 4));
    TRegistry reg(store);
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.DeleteKey("Deep"));
    store->Commit();
  }
  const std::string after = ReadAll(dir / "user.reg");
  EXPECT_EQ(after.find("[Deep"), std::string::npos);
  EXPECT_NE(after.find("\"n\"=dword:00000002\n"), std::string::npos);
  fs::remove_all(dir);
}

TEST(RegistryStore, HiveRootsCannotBeDeleted) {
  auto store = RegistryStore::CreateInMemory();
  EXPECT_FALSE(store->DeleteKey(HKEY_USERS, ".Default"));
  EXPECT_FALSE(store->DeleteKey(HKEY_USERS, store->UserSid()));
  EXPECT_FALSE(store->DeleteKey(HKEY_LOCAL_MACHINE, ""));
  EXPECT_FALSE(store->CreateKey(HKEY_USERS, "NotAHive"));
  EXPECT_FALSE(store->CreateKey(HKEY_CURRENT_USER, std::string(256, 'k')));  // names are at most 255
  EXPECT_TRUE(store->CreateKey(HKEY_CURRENT_USER, std::string(255, 'k')));
}

// An Env whose writes fail the way a full disk or a read-only folder makes them fail.
class FaultyEnv : public EnvWrapper {
 public:
  enum Fault { kNone, kNoCreate, kDiskFull, kSync, kRename, kRenameUser };
  explicit FaultyEnv(Fault fault) : EnvWrapper(Env::Default()), fault_(fault) {}

  std::unique_ptr<WritableFile> NewWritableFile(const fs::path& path, std::string& error) override {
    if (fault_ == kNoCreate) {
      error = path.string() + ": Read-only file system";
      return nullptr;
    }
    auto inner = EnvWrapper::NewWritableFile(path, error);
    if (!inner) return inner;
    return std::make_unique<File>(std::move(inner), fault_);
  }
  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override {
    if (fault_ == kRename || (fault_ == kRenameUser && to.filename() == "user.reg")) {
      error = to.string() + ": Permission denied";
      return false;
    }
    return EnvWrapper::Rename(from, to, error);
  }

 private:
  class File : public WritableFile {
   public:
    File(std::unique_ptr<WritableFile> inner, Fault fault) : inner_(std::move(inner)), fault_(fault) {}
    bool Append(std::string_view data) override {
      written_ += data.size();
      if (fault_ == kDiskFull && written_ > 4096) {
        // Part of the data reaches the disk, then the disk is full.
        inner_->Append(data.substr(0, 100));
        error_ = "No space left on device";
        return false;
      }
      return inner_->Append(data);
    }
    bool Sync() override {
      if (fault_ == kSync) {
        error_ = "Input/output error";
        return false;
      }
      return inner_->Sync();
    }
    bool Close() override { return inner_->Close(); }
    const std::string& Error() const override { return error_.empty() ? inner_->Error() : error_; }

   private:
    std::unique_ptr<WritableFile> inner_;
    Fault fault_;
    std::size_t written_ = 0;
    std::string error_;
  };
  Fault fault_;
};

// Counts the whole-file reads of each file.
class CountingEnv : public EnvWrapper {
 public:
  CountingEnv() : EnvWrapper(Env::Default()) {}
  std::optional<std::string> ReadFile(const fs::path& path, std::uint64_t maxBytes, std::string& error,
                                      ReadFailure* why) override {
    ++reads[path.filename().string()];
    return EnvWrapper::ReadFile(path, maxBytes, error, why);
  }
  std::map<std::string, int> reads;
};

// The user's SID is in the first lines of user.reg: opening a prefix reads each file whole
// only once, for its keys.
TEST(RegistryStore, EachHiveFileIsReadWholeOnce) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  auto env = std::make_shared<CountingEnv>();
  auto store = RegistryStore::OpenWinePrefix(prefix.dir(), env);
  EXPECT_EQ(store->UserSid(), "S-1-5-21-0-0-0-1000");
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Control Panel\\Desktop"));
  EXPECT_EQ(env->reads["user.reg"], 1);
  EXPECT_EQ(env->reads["system.reg"], 1);
}

TEST(RegistryStore, FailedWritesLeaveTheOldFileAndSayWhy) {
  NEED_TESTDATA();
  for (auto fault : {FaultyEnv::kNoCreate, FaultyEnv::kDiskFull, FaultyEnv::kSync, FaultyEnv::kRename}) {
    PrefixCopy prefix;
    const std::string original = ReadAll(prefix.dir() / "system.reg");
    auto store = RegistryStore::OpenWinePrefix(prefix.dir(), std::make_shared<FaultyEnv>(fault));
    ASSERT_TRUE(store->CreateKey(HKEY_LOCAL_MACHINE, "Software\\Kestrove"));
    try {
      store->Commit();
      ADD_FAILURE() << "a failed write was reported as success (fault " << fault << ")";
    } catch (const RegistryError& e) {
      std::string what = e.what();
      EXPECT_NE(what.find((prefix.dir() / "system.reg").string()), std::string::npos) << what;
      EXPECT_NE(what.find("left as it was"), std::string::npos) << what;
    }
    EXPECT_EQ(ReadAll(prefix.dir() / "system.reg"), original);
    EXPECT_TRUE(store->HasUncommittedChanges()) << "the change is kept for another try";
    for (auto& entry : fs::directory_iterator(prefix.dir()))
      EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

// A commit of two hives whose second file cannot be replaced puts the first one back.
TEST(RegistryStore, AFailedReplaceOfOneHivePutsTheOthersBack) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  const std::string system = ReadAll(prefix.dir() / "system.reg"), user = ReadAll(prefix.dir() / "user.reg");
  auto store = RegistryStore::OpenWinePrefix(prefix.dir(), std::make_shared<FaultyEnv>(FaultyEnv::kRenameUser));
  ASSERT_TRUE(store->CreateKey(HKEY_LOCAL_MACHINE, "Software\\Kestrove"));
  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Kestrove"));
  EXPECT_THROW(store->Commit(), RegistryError);
  EXPECT_TRUE(ReadAll(prefix.dir() / "system.reg") == system);  // not EXPECT_EQ: too large to print
  EXPECT_TRUE(ReadAll(prefix.dir() / "user.reg") == user);
  EXPECT_TRUE(store->HasUncommittedChanges());
  for (auto& entry : fs::directory_iterator(prefix.dir())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.find(".tmp") == std::string::npos && name.find(".old") == std::string::npos) << name;
  }
  store->Discard();  // lets the registry go
  // Once the file can be replaced, both are committed and no second name is left.
  auto again = RegistryStore::OpenWinePrefix(prefix.dir());
  ASSERT_TRUE(again->CreateKey(HKEY_LOCAL_MACHINE, "Software\\Kestrove"));
  ASSERT_TRUE(again->CreateKey(HKEY_CURRENT_USER, "Software\\Kestrove"));
  again->Commit();
  EXPECT_TRUE(RegistryStore::OpenWinePrefix(prefix.dir())->KeyExists(HKEY_LOCAL_MACHINE, "Software\\Kestrove"));
  for (auto& entry : fs::directory_iterator(prefix.dir()))
    EXPECT_EQ(entry.path().filename().string().find(".old"), std::string::npos) << entry.path();
}

TEST(RegistryStore, MalformedHiveIsRefusedAndNeverSavedOver) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  std::string text = ReadAll(prefix.dir() / "user.reg");
  text.resize(text.size() - 7);  // a torn write
  { std::ofstream(prefix.dir() / "user.reg", std::ios::binary) << text; }
  try {
    RegistryStore::OpenWinePrefix(prefix.dir());
    ADD_FAILURE() << "a torn file was accepted";
  } catch (const RegistryError& e) {
    EXPECT_NE(std::string(e.what()).find((prefix.dir() / "user.reg").string() + ":"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadAll(prefix.dir() / "user.reg"), text);
}

// Holds Wine's server lock from a child process, as a running wineserver does.
class FakeWineServer {
 public:
  explicit FakeWineServer(const fs::path& prefix) {
    auto files = wine::WineServerLockFiles(prefix);
    lock_ = files.at(0);
    fs::create_directories(lock_.parent_path());
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      int fd = ::open(lock_.c_str(), O_RDWR | O_CREAT, 0600);
      struct flock fl {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      fl.l_len = 1;
      ::fcntl(fd, F_SETLK, &fl);
      char c = 1;
      (void)!::write(ready[1], &c, 1);
      ::pause();
      ::_exit(0);
    }
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~FakeWineServer() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    fs::remove_all(lock_.parent_path());
  }

 private:
  fs::path lock_;
  pid_t pid_ = -1;
};

TEST(RegistryStore, WritesAreRefusedWhileWineRuns) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  const std::string original = ReadAll(prefix.dir() / "user.reg");
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(prefix.dir()));
  EXPECT_FALSE(store->WriteBlockReason());
  {
    FakeWineServer wine(prefix.dir());
    ASSERT_TRUE(store->WriteBlockReason());
    EXPECT_NE(store->WriteBlockReason()->find("wineserver -k"), std::string::npos);
    TRegistry reg(store);
    // Reading goes on; every change is refused with the reason.
    ASSERT_TRUE(reg.OpenKey("Control Panel\\Desktop", false));
    EXPECT_THROW(reg.WriteString("Wallpaper", "x"), RegistryError);
    EXPECT_THROW(reg.OpenKey("Software\\New", true), RegistryError);
    EXPECT_FALSE(store->HasUncommittedChanges());
  }
  // A change made while Wine was stopped, then Wine starting before the commit.
  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\New"));
  {
    FakeWineServer wine(prefix.dir());
    EXPECT_THROW(store->Commit(), RegistryError);
  }
  EXPECT_EQ(ReadAll(prefix.dir() / "user.reg"), original);
  store->Commit();
  EXPECT_NE(ReadAll(prefix.dir() / "user.reg"), original);
}

TEST(RegistryStore, TwoProcessesNeverLoseEachOthersChanges) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  auto first = RegistryStore::OpenWinePrefix(prefix.dir());
  auto second = RegistryStore::OpenWinePrefix(prefix.dir());
  ASSERT_TRUE(first->CreateKey(HKEY_CURRENT_USER, "Software\\First"));
  // The second waits for the first one's commit, then reads its change before adding its own.
  std::atomic<bool> secondDone{false};
  std::thread t([&] {
    EXPECT_TRUE(second->CreateKey(HKEY_CURRENT_USER, "Software\\Second"));
    secondDone = true;
    second->Commit();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(secondDone) << "the second writer must wait for the first";
  first->Commit();
  t.join();
  auto check = RegistryStore::OpenWinePrefix(prefix.dir());
  EXPECT_TRUE(check->KeyExists(HKEY_CURRENT_USER, "Software\\First"));
  EXPECT_TRUE(check->KeyExists(HKEY_CURRENT_USER, "Software\\Second"));
}

TEST(RegistryStore, ConcurrentReadersAndWriters) {
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::CreateInMemory());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([store, t] {
      TRegistry reg(store);
      for (int i = 0; i < 300; ++i) {
        std::string key = "Software\\T" + std::to_string(t) + "\\K" + std::to_string(i % 17);
        ASSERT_TRUE(reg.OpenKey("\\" + key, true));
        reg.WriteInteger("v", i);
        EXPECT_EQ(reg.ReadInteger("v"), i);
        std::vector<std::string> names;
        reg.OpenKey("\\Software", false);
        reg.GetKeyNames(names);
        if (i % 50 == 49) reg.DeleteKey("T" + std::to_string(t));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software"));
}

}  // namespace
}  // namespace kestrove

namespace kestrove {
namespace {

// The real thing, where Debian's wine is installed: a running wineserver blocks writes.
TEST(RegistryStore, RealWineServerIsDetected) {
  NEED_TESTDATA();
  if (std::system("command -v wineserver >/dev/null 2>&1") != 0) GTEST_SKIP() << "wineserver is not installed";
  PrefixCopy prefix;
  const std::string env = "WINEPREFIX='" + prefix.dir().string() + "' WINEDEBUG=-all ";
  ASSERT_EQ(std::system((env + "wineserver -p 30 >/dev/null 2>&1").c_str()), 0);
  bool seen = false;
  for (int i = 0; i < 50 && !seen; ++i) {
    seen = wine::RunningWineServer(prefix.dir()).has_value();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(seen) << "looked at: " << wine::WineServerLockFiles(prefix.dir()).size() << " places";
  auto store = RegistryStore::OpenWinePrefix(prefix.dir());
  EXPECT_THROW(store->CreateKey(HKEY_CURRENT_USER, "Software\\Refused"), RegistryError);
  std::system((env + "wineserver -k >/dev/null 2>&1").c_str());
  for (int i = 0; i < 50 && wine::RunningWineServer(prefix.dir()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(wine::RunningWineServer(prefix.dir()));
  EXPECT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Allowed"));
}

}  // namespace
}  // namespace kestrove

namespace kestrove {
namespace {

using kestrove::testing::ProcessInFolder;

TEST(RegistryStore, WineServerIsFoundByItsWorkingFolderWhereverItIs) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  PrefixCopy elsewhere;  // a folder no lock check looks in, as another TMPDIR would be
  const std::string server = wine::WineServerFolderName(prefix.dir());
  ASSERT_EQ(server.rfind("server-", 0), 0u);
  auto store = RegistryStore::OpenWinePrefix(prefix.dir());
  {
    // Another prefix's server is none of ours.
    ProcessInFolder other(elsewhere.dir() / "wine-x" / wine::WineServerFolderName(elsewhere.dir()));
    EXPECT_FALSE(wine::RunningWineServer(prefix.dir()));
  }
  const fs::path folder = elsewhere.dir() / "wine-AbC123" / server;
  {
    ProcessInFolder wine(folder);
    const auto found = wine::RunningWineServer(prefix.dir());
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, folder);
    EXPECT_THROW(store->CreateKey(HKEY_CURRENT_USER, "Software\\Refused"), RegistryError);
    // Its folder removed, the server still runs and still saves the registry when it ends.
    fs::remove_all(folder);
    EXPECT_TRUE(wine::RunningWineServer(prefix.dir()));
  }
  EXPECT_FALSE(wine::RunningWineServer(prefix.dir()));
  EXPECT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Allowed"));
  EXPECT_NO_THROW(store->Commit());
}

// A wineserver loading or saving the registry works in the prefix folder itself; any other
// program there is no sign of Wine.
TEST(RegistryStore, WineServerWorkingInThePrefixFolderIsFound) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  PrefixCopy bin;
  {
    ProcessInFolder shell(prefix.dir());
    ASSERT_TRUE(shell.Ready());
    EXPECT_FALSE(wine::RunningWineServer(prefix.dir()));
  }
  const fs::path server = bin.dir() / "wineserver64";
  fs::copy_file("/bin/sleep", server);
  fs::permissions(server, fs::perms::owner_all);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(prefix.dir().c_str()) == 0) ::execl(server.c_str(), "wineserver64", "60", nullptr);
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  bool seen = false;
  for (int i = 0; i < 250 && !seen; ++i) {
    seen = wine::RunningWineServer(prefix.dir()) == prefix.dir();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(wine::RunningWineServer(prefix.dir()));
}

TEST(RegistryStore, HostileFilesInThePrefixAreRefusedAndNeverFollowed) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  PrefixCopy outside;
  const fs::path lock = prefix.dir() / ".kestrove-registry.lock";
  const fs::path victim = outside.dir() / "victim";
  // The lock file as a link: nothing is created or locked where it points.
  fs::create_symlink(victim, lock);
  {
    auto store = RegistryStore::OpenWinePrefix(prefix.dir());
    try {
      store->CreateKey(HKEY_CURRENT_USER, "Software\\ThroughALink");
      ADD_FAILURE() << "a write went through a linked lock file";
    } catch (const RegistryError& e) {
      EXPECT_NE(std::string(e.what()).find(lock.string() + " is a symbolic link"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(victim)));
  }
  fs::remove(lock);
  ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
  EXPECT_TRUE(testing::EndsWithoutHanging([&] {
    auto store = RegistryStore::OpenWinePrefix(prefix.dir());
    EXPECT_THROW(store->CreateKey(HKEY_CURRENT_USER, "Software\\ThroughAFifo"), RegistryError);
  }));
  fs::remove(lock);
  // A FIFO as Wine's name file, or as a hive, makes no one wait.
  ASSERT_EQ(::mkfifo((prefix.dir() / "wineserver").c_str(), 0600), 0);
  EXPECT_TRUE(testing::EndsWithoutHanging([&] {
    auto store = RegistryStore::OpenWinePrefix(prefix.dir());
    EXPECT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Written"));
    store->Commit();
  }));
  EXPECT_NE(ReadAll(prefix.dir() / "user.reg").find("[Software\\\\Written]"), std::string::npos);
  fs::remove(prefix.dir() / "userdef.reg");
  ASSERT_EQ(::mkfifo((prefix.dir() / "userdef.reg").c_str(), 0600), 0);
  EXPECT_TRUE(testing::EndsWithoutHanging([&] {
    try {
      RegistryStore::OpenWinePrefix(prefix.dir());
      ADD_FAILURE() << "a FIFO was read as a hive";
    } catch (const RegistryError& e) {
      const std::string expected = (prefix.dir() / "userdef.reg").string() + ": a FIFO, not a regular file";
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }));
}

TEST(RegistryStore, TemporaryFilesOfKilledCommitsAreRemovedUnderTheLock) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  const std::vector<std::string> stale = {".user.reg.kestrove-999999.tmp", ".system.reg.kestrove-1.tmp",
                                          ".userdef.reg.kestrove-" + std::to_string(::getppid()) + ".tmp"};
  const std::vector<std::string> others = {".user.reg.kestrove-12x.tmp", "notes.kestrove-1.tmp",
                                           ".other.reg.kestrove-1.tmp"};
  for (const auto& name : stale) std::ofstream(prefix.dir() / name) << "half a hive";
  for (const auto& name : others) std::ofstream(prefix.dir() / name) << "not ours";
  auto store = RegistryStore::OpenWinePrefix(prefix.dir());
  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\New"));
  for (const auto& name : stale) EXPECT_FALSE(fs::exists(prefix.dir() / name)) << name;
  for (const auto& name : others) EXPECT_TRUE(fs::exists(prefix.dir() / name)) << name;
  store->Commit();
}

// Wine and Kestrove started with different TMPDIR: Debian's wine keeps its server folder
// under its own TMPDIR, where no lock check of ours looks.
TEST(RegistryStore, RealWineUnderAnotherTmpdirIsDetected) {
  NEED_TESTDATA();
  if (std::system("command -v wineserver >/dev/null 2>&1") != 0) GTEST_SKIP() << "wineserver is not installed";
  PrefixCopy prefix;
  PrefixCopy wineTmp;
  PrefixCopy ourTmp;
  const std::string env = "WINEPREFIX='" + prefix.dir().string() + "' TMPDIR='" + wineTmp.dir().string() +
                          "' WINEDEBUG=-all ";
  ASSERT_EQ(std::system((env + "wineserver -p 30 >/dev/null 2>&1").c_str()), 0);
  const char* saved = std::getenv("TMPDIR");
  const std::string savedTmp = saved ? saved : "";
  ::setenv("TMPDIR", ourTmp.dir().c_str(), 1);
  bool seen = false;
  for (int i = 0; i < 50 && !seen; ++i) {
    seen = wine::RunningWineServer(prefix.dir()).has_value();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(seen);
  auto store = RegistryStore::OpenWinePrefix(prefix.dir());
  EXPECT_THROW(store->CreateKey(HKEY_CURRENT_USER, "Software\\Refused"), RegistryError);
  std::system((env + "wineserver -k >/dev/null 2>&1").c_str());
  for (int i = 0; i < 50 && wine::RunningWineServer(prefix.dir()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(wine::RunningWineServer(prefix.dir()));
  EXPECT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Allowed"));
  if (saved)
    ::setenv("TMPDIR", savedTmp.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace kestrove

namespace kestrove {
namespace {

// Another program's key, added to a hive file the way a writer of the text format adds one.
void AddKeyOutside(const fs::path& hive, const std::string& key) {
  std::ofstream(hive, std::ios::binary | std::ios::app) << "\n[" << key << "] 1700000000\n\"By\"=\"outside\"\n";
}

// A store reads again what another program wrote, before new work and before a change; and a
// commit never writes over a file that changed after the change was made on it.
TEST(RegistryStore, AnotherProgramsWritesAreReadAgainAndNeverOverwritten) {
  NEED_TESTDATA();
  PrefixCopy prefix;
  auto store = RegistryStore::OpenWinePrefix(prefix.dir());
  const std::uint64_t first = store->View();
  EXPECT_EQ(store->Refresh(), first) << "nothing changed";
  AddKeyOutside(prefix.dir() / "user.reg", "Software\\\\Outside One");
  EXPECT_FALSE(store->KeyExists(HKEY_CURRENT_USER, "Software\\Outside One"));
  const std::uint64_t second = store->Refresh();
  EXPECT_NE(second, first);
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software\\Outside One"));
  EXPECT_EQ(store->BeginChanges(), second);

  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Ours"));
  AddKeyOutside(prefix.dir() / "user.reg", "Software\\\\Outside Two");
  const std::string theirs = ReadAll(prefix.dir() / "user.reg");
  try {
    store->Commit();
    ADD_FAILURE() << "a file changed meanwhile was written over";
  } catch (const RegistryError& e) {
    EXPECT_NE(std::string(e.what()).find("changed by another program meanwhile"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(ReadAll(prefix.dir() / "user.reg") == theirs);
  store->Discard();
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software\\Outside Two"));
}

// Dies (as a killed process does, without unwinding) when the commit renames onto `hive`.
class DyingEnv : public EnvWrapper {
 public:
  explicit DyingEnv(std::string hive) : EnvWrapper(Env::Default()), hive_(std::move(hive)) {}
  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override {
    if (to.filename() == hive_) ::_exit(9);
    return EnvWrapper::Rename(from, to, error);
  }

 private:
  std::string hive_;
};

// A commit of two hives killed between its two renames leaves one new file and one old: the
// next open puts the old one back, unless the files changed again since, when nothing is undone.
TEST(RegistryStore, ACommitKilledBetweenItsRenamesIsUndoneAtTheNextOpen) {
  NEED_TESTDATA();
  for (const bool changedSince : {false, true}) {
    SCOPED_TRACE(changedSince ? "changed since" : "as the crash left it");
    PrefixCopy prefix;
    const std::string system = ReadAll(prefix.dir() / "system.reg"), user = ReadAll(prefix.dir() / "user.reg");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto store = RegistryStore::OpenWinePrefix(prefix.dir(), std::make_shared<DyingEnv>("user.reg"));
      store->CreateKey(HKEY_LOCAL_MACHINE, "Software\\Half");
      store->CreateKey(HKEY_CURRENT_USER, "Software\\Half");
      store->Commit();
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "the commit did not die at the second rename";
    ASSERT_FALSE(ReadAll(prefix.dir() / "system.reg") == system) << "the first hive was not replaced";
    std::string later;
    if (changedSince) {
      AddKeyOutside(prefix.dir() / "system.reg", "Software\\\\Wine Wrote This");
      later = ReadAll(prefix.dir() / "system.reg");
    }
    auto store = RegistryStore::OpenWinePrefix(prefix.dir());
    if (changedSince) {
      EXPECT_TRUE(ReadAll(prefix.dir() / "system.reg") == later);
      EXPECT_TRUE(store->KeyExists(HKEY_LOCAL_MACHINE, "Software\\Wine Wrote This"));
    } else {
      EXPECT_TRUE(ReadAll(prefix.dir() / "system.reg") == system);
      EXPECT_FALSE(store->KeyExists(HKEY_LOCAL_MACHINE, "Software\\Half"));
    }
    EXPECT_TRUE(ReadAll(prefix.dir() / "user.reg") == user);
    EXPECT_FALSE(fs::exists(prefix.dir() / ".kestrove-registry.journal"));
    // The next run of changes clears what the dead commit left.
    ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\After"));
    store->Commit();
    for (auto& entry : fs::directory_iterator(prefix.dir())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.find(".tmp") == std::string::npos && name.find(".old") == std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace kestrove

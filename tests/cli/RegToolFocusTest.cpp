// reg query, reg add and reg delete read only the key they are about (and, to delete it, all below it): every answer
// and every file written must be the whole registry's, whatever the hive files hold and however
// the file arrives in pieces.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "RegToolTestSupport.h"
#include "platform/Env.h"
#include "platform/Text.h"

namespace kestrove::testing {
namespace {

namespace fs = std::filesystem;

// Hands files over in pieces of 1 to 13 bytes, so that every line and key line is cut somewhere,
// and counts whole-file reads (the focused open must not need them).
class PieceEnv : public EnvWrapper {
 public:
  explicit PieceEnv(bool tiny) : EnvWrapper(Env::Default()), tiny_(tiny) {}
  std::optional<std::string> ReadFile(const fs::path& path, std::uint64_t maxBytes, std::string& error,
                                      ReadFailure* why) override {
    ++wholeReads;
    return EnvWrapper::ReadFile(path, maxBytes, error, why);
  }
  bool ReadFilePieces(const fs::path& path, std::uint64_t maxBytes, const FilePieceFn& fn, std::string& error,
                      ReadFailure* why) override {
    if (!tiny_) return EnvWrapper::ReadFilePieces(path, maxBytes, fn, error, why);
    auto data = target().ReadFile(path, maxBytes, error, why);
    if (!data) return false;
    static constexpr std::size_t kSizes[] = {1, 2, 3, 5, 8, 13};
    for (std::size_t at = 0, k = 0; at < data->size(); at += kSizes[k++ % 6])
      fn(std::string_view(*data).substr(at, kSizes[k % 6]));
    return true;
  }
  int wholeReads = 0;

 private:
  bool tiny_;
};

class RegToolFocus : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-focus-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    prefix_ = pattern;
  }
  void TearDown() override { fs::remove_all(prefix_); }

  void Write(const char* name, const std::string& text, const fs::path& dir = {}) {
    std::ofstream((dir.empty() ? prefix_ : dir) / name, std::ios::binary) << text;
    whole_.reset();
  }

  // "reg ARGS" on the prefix in `dir` (the test's own by default), with a store for the one key
  // when `focused`, else with the whole registry.
  RegRun Run(const cli::Args& args, bool focused, const std::shared_ptr<Env>& env, const fs::path& dir = {}) {
    std::istringstream in;
    std::ostringstream out, err;
    cli::RegToolIo io{in, out, err, false};
    std::unique_ptr<RegistryStore> store;
    const fs::path prefix = dir.empty() ? prefix_ : dir;
    RegRun r;
    try {
      r.status = cli::RunRegTool(args, [&](const TRegistryFocus* focus) -> RegistryStore& {
        if (focused && focus) {
          store = RegistryStore::OpenWinePrefixFocused(prefix, *focus, env);
          return *store;
        }
        if (!dir.empty() || args[0] != "query") {
          store = RegistryStore::OpenWinePrefix(prefix, env);
          return *store;
        }
        // Queries change nothing: the whole registry is read once for all of them.
        if (!whole_) whole_ = RegistryStore::OpenWinePrefix(prefix_, env);
        return *whole_;
      }, io);
    } catch (const RegistryError& e) {
      err << "thrown: " << e.what();
    }
    r.out = out.str();
    r.err = err.str();
    return r;
  }

  // Every query of `keys` in every form, focused and whole, in whole pieces and in tiny ones.
  // Returns how many focused answers needed no whole-file read.
  int ExpectSameAnswers(const std::vector<std::string>& keys, const std::vector<cli::Args>& forms = kForms,
                        bool tinyToo = true) {
    int fast = 0;
    for (const std::string& key : keys) {
      for (const cli::Args& form : forms) {
        cli::Args args{"query", key};
        args.insert(args.end(), form.begin(), form.end());
        const RegRun whole = Run(args, false, Env::Default());
        for (bool tiny : {false, true}) {
          if (tiny && !tinyToo) continue;
          auto env = std::make_shared<PieceEnv>(tiny);
          const RegRun part = Run(args, true, env);
          const std::string what = key + " " + (form.empty() ? "" : form[0]) + (tiny ? " (tiny pieces)" : "");
          EXPECT_EQ(part.status, whole.status) << what;
          EXPECT_EQ(part.out, whole.out) << what;
          EXPECT_EQ(part.err, whole.err) << what;
          if (env->wholeReads == 0) ++fast;
        }
      }
    }
    return fast;
  }

  static inline const std::vector<cli::Args> kForms = {{},          {"/s"},           {"/v", "Name"},        {"/ve"},
                                                       {"/f", "b"}, {"/f", "b", "/s"}, {"/v", "Name", "/s"}};
  fs::path prefix_;
  std::unique_ptr<RegistryStore> whole_;
};

// A link to HKLM\Software\A, as Wine writes one ("\Registry\Machine\Software\A" in UTF-16).
std::string LinkTo(const std::string& target) {
  std::string hex;
  for (char c : target) {
    char tmp[8];
    std::snprintf(tmp, sizeof tmp, "%s%02x,00", hex.empty() ? "" : ",", static_cast<unsigned char>(c));
    hex += tmp;
  }
  return "\"SymbolicLinkValue\"=hex(6):" + hex + "\n";
}

// Key lines indented, cut by escapes, in CRLF lines, out of order, named twice (when
// `twice`), and a link.
std::string HostileSystemReg(bool twice) {
  return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
        "[Software\\\\Z] 1\n\"Name\"=\"z [Software\\\\A] b\"\n\n"
        "  [Software\\\\a\\\\b\\\\Deep\\\\Deeper] 4\n\"Name\"=\"deep\"\n\n"
        "[Software\\\\A] 2\n#time=1d000000000000\n\"Name\"=\"first\"\n@=\"default\"\n\"Blob\"=hex:01,02,\\\n  03\n\n"
        "[Software\\\\A\\\\B] 3\n\"Name\"=dword:00000007\n\n"
        "[Software\\\\A\\\\Caf\\xe9] 5\r\n\"Name\"=\"cr\"\r\n\r\n"
        "[Software\\\\A\\\\x\\[y\\]] 6\n\"b\"=\"bracket\"\n\n"
        "[Software\\\\A\\\\\\\\Doubled] 7\n\n"
        "[Software\\\\Link] 8\n#link\n" + LinkTo("\\Registry\\Machine\\Software\\A") + "\n"
         + std::string(twice ? "[Software\\\\A] 9\n\"Name\"=\"second\"\n\"Later\"=\"b\"\n\n"
                               "[Software\\\\A\\\\\\x42] 11\n\"Escaped\"=\"b\"\n\n"
                             : "") +
        "[Software\\\\AB] 12\n\"Name\"=\"ab\"\n\n"
        "[Software\\\\A\\\\B\\\\\\\\Empty\\\\] 13\n\n[Software\\\\A\\\\B With Space\\\\C] 14\n\n"
        "[Software\\\\Classes\\\\.txt] 10\n@=\"txtfile\"\n\n";
}

constexpr const char* kUserReg =
    "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
    "[Software\\\\Mine] 1\n\"Name\"=\"mine\"\n";

TEST_F(RegToolFocus, AnswersMatchTheWholeRegistryOnHostileHives) {
  Write("system.reg", HostileSystemReg(true));
  Write("user.reg", kUserReg);
  fs::create_directories(prefix_ / "drive_c");
  const int fast = ExpectSameAnswers({"HKLM\\Software", "HKLM\\Software\\A", "HKLM\\SOFTWARE\\a\\B", "HKLM",
                                      "HKLM\\Software\\A\\x[y]", "HKLM\\Software\\A\\Missing", "HKLM\\Software\\A\\B With Space", "HKLM\\Software\\Link",
                                      "HKLM\\Software\\Link\\B", "HKCR\\.txt", "HKCU\\Software", "HKU\\.Default",
                                      "HKU", "HKCC"});
  // Only the queries through the link, of HKEY_USERS itself, of HKCC and below HKLM\\Software
  // with /s (the link is inside) need the whole files.
  EXPECT_EQ(fast, 2 * (7 * 10 - 3 * 2));
  EXPECT_NE(Run({"query", "HKLM\\Software\\A"}, true, Env::Default()).out.find("second"), std::string::npos);
}

TEST_F(RegToolFocus, FaultsOfTheFileAreReportedAsByAWholeRead) {
  const std::string head = "WINE REGISTRY Version 2\n\n";
  fs::create_directories(prefix_ / "drive_c");
  // A fault inside what the query reads, a key line it cannot read, a file cut in a line: the
  // same error, with the line number of the whole file.
  for (const char* body : {"[A] 1\n\"Name\"=dword:xyz\n", "[B] 1\n[A\\\\B 1\n[A] 1\n",
                                  "[B] 1\n\"v\"=\"1\"\n[A] 1\n\"Name\"=\"cut"}) {
    Write("system.reg", head + body);
    const RegRun whole = Run({"query", "HKLM\\A"}, false, Env::Default());
    const RegRun part = Run({"query", "HKLM\\A"}, true, Env::Default());
    EXPECT_NE(whole.err.find("system.reg:"), std::string::npos) << body;
    EXPECT_EQ(part.err, whole.err) << body;
  }
  // A fault beside the key is not read at all: the query answers, where a whole read refuses.
  Write("system.reg", head + "[B] 1\n\"v\"=bogus:1\n\n[A] 1\n\"Name\"=\"fine\"\n");
  EXPECT_NE(Run({"query", "HKLM\\A"}, false, Env::Default()).err.find("unknown value type"), std::string::npos);
  const RegRun part = Run({"query", "HKLM\\A"}, true, Env::Default());
  EXPECT_EQ(part.status, 0);
  EXPECT_NE(part.out.find("fine"), std::string::npos);
}

// Keys of the registry Wine itself wrote, among them the links of CurrentControlSet.
TEST_F(RegToolFocus, AnswersMatchOnWinesOwnPrefix) {
  const fs::path data = fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "wine-8.0-fresh";
  if (!fs::is_regular_file(data / "system.reg")) GTEST_SKIP() << "no fresh Wine prefix data at " << data;
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) fs::copy_file(data / name, prefix_ / name);
  fs::create_directories(prefix_ / "drive_c");
  const std::vector<std::string> named = {"HKLM\\System\\CurrentControlSet\\Control\\Session Manager",
                                          "HKLM\\System\\ControlSet001\\Control\\Session Manager", "HKCR\\txtfile",
                                          "HKCU\\Control Panel\\Desktop", "HKU\\.Default\\Control Panel"};
  EXPECT_GT(ExpectSameAnswers(named, {{}, {"/s"}, {"/v", "Name", "/s"}}, false), 0);
  std::vector<std::string> keys;
  // Every 200th key of the machine hive, a sample that reaches every part of it.
  auto store = RegistryStore::OpenWinePrefix(prefix_);
  std::vector<std::string> pending{"Software", "System"};
  for (std::size_t n = 0; !pending.empty(); ++n) {
    const std::string key = std::move(pending.back());
    pending.pop_back();
    if (n % 200 == 0) keys.push_back("HKLM\\" + key);
    const auto subKeys = store->SubKeyNames(HKEY_LOCAL_MACHINE, key);
    for (const std::string& sub : *subKeys) pending.push_back(key + "\\" + sub);
  }
  ASSERT_GT(keys.size(), 20u);
  EXPECT_GT(ExpectSameAnswers(keys, {{}, {"/f", "a"}}, false), 0);
}

// A hive file with every key's time set aside: two runs a moment apart differ only there.
std::string WithoutTimes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.rfind("#time=", 0) == 0) line = "#time=";
    if (!line.empty() && line[0] == '[') line = line.substr(0, line.rfind(']') + 1);
    out += line + "\n";
  }
  return out;
}

// reg add, and reg delete of values, on a store of the one key write what a commit of the whole
// registry writes: byte for byte (times aside) for a file in the order hives are written in, the
// same keys and values for any other file.
TEST_F(RegToolFocus, AddWritesWhatAWholeCommitWrites) {
  const std::vector<cli::Args> adds = {
      {"HKLM\\Software\\A\\B", "/v", "New", "/d", "x"},             // a value of a key in the file
      {"HKLM\\Software\\A", "/v", "Name", "/t", "REG_DWORD", "/d", "9"},  // a value changed
      {"HKLM\\Software\\A", "/v", "Name"},                             // reg delete of a value
      {"HKLM\\Software\\A", "/va"},                                    // reg delete of all values
      {"HKLM\\Software\\A\\Bz", "/ve", "/d", "between"},             // a new key among others
      {"HKLM\\Software\\New\\Deep\\Er", "/v", "V", "/d", "1"},      // new keys on the way
      {"HKLM\\Software\\a\\b\\Deep", "/v", "V", "/d", "1"},         // a key named only by its subkey
      {"HKLM\\Zzz", "/v", "V", "/d", "last"},
      {"HKLM\\Aaa", "/v", "V", "/d", "first"},
      {"HKLM\\Software\\A\\Caf\xc3\xa9", "/v", "V", "/d", "escaped"},
      {"HKLM\\Software\\Link\\B", "/v", "V", "/d", "through the link"},
      {"HKCU\\Software\\Mine", "/v", "V", "/d", "user"},
      // reg delete of keys, each with everything below it
      {"HKLM\\Software\\A"},
      {"HKLM\\Software\\A\\B"},
      {"HKLM\\Software\\a\\b\\Deep\\Deeper"},  // its parents have no text: the last one is left empty
      {"HKLM\\Software\\Link"},
      {"HKCU\\Software\\Mine"}};
  for (bool written : {false, true}) {
    for (const cli::Args& add : adds) {
      const fs::path focusedDir = prefix_ / "focused", wholeDir = prefix_ / "whole";
      for (const fs::path& dir : {focusedDir, wholeDir}) {
        fs::remove_all(dir);
        fs::create_directories(dir / "drive_c");
        Write("system.reg", HostileSystemReg(false), dir);
        Write("user.reg", kUserReg, dir);
        if (written) {  // through a whole commit, as this program writes hives
          auto store = RegistryStore::OpenWinePrefix(dir);
          ASSERT_TRUE(store->SetValue(HKEY_LOCAL_MACHINE, "Software\\Z", "Touch", REG_SZ, Bytes{0, 0}));
          ASSERT_TRUE(store->SetValue(HKEY_CURRENT_USER, "Software\\Mine", "Touch", REG_SZ, Bytes{0, 0}));
          store->Commit();
        }
      }
      const bool deletes = add.size() < 3;
      cli::Args args{deletes ? "delete" : "add"};
      args.insert(args.end(), add.begin(), add.end());
      args.push_back("/f");
      auto env = std::make_shared<PieceEnv>(false);
      const RegRun part = Run(args, true, env, focusedDir);
      const RegRun whole = Run(args, false, Env::Default(), wholeDir);
      const std::string what = add[0] + (written ? " (file as written here)" : " (hostile file)");
      EXPECT_EQ(part.status, 0) << what << part.err;
      EXPECT_EQ(part.out + part.err, whole.out + whole.err) << what;
      if (add[0].find("Link") == std::string::npos) {
        EXPECT_EQ(env->wholeReads, 0) << what;
      }
      if (written) {
        for (const char* hive : {"system.reg", "user.reg"})
          EXPECT_EQ(WithoutTimes(focusedDir / hive), WithoutTimes(wholeDir / hive)) << what << " " << hive;
      }
      std::string all;
      for (const char* root : {"HKLM", "HKCU"}) {
        const RegRun a = Run({"query", root, "/s"}, false, Env::Default(), focusedDir);
        const RegRun b = Run({"query", root, "/s"}, false, Env::Default(), wholeDir);
        // A file that spells a key's name two ways names it as it first spells it, and the
        // two files put different lines first: the names compare without regard to case.
        EXPECT_EQ(written ? a.out : AsciiLower(a.out), written ? b.out : AsciiLower(b.out)) << what;
        all += a.out;
      }
      if (add.size() == 1) {
        // A key deleted: no line names it or a key below it.
        const std::string gone = AsciiLower((add[0].substr(0, 4) == "HKLM" ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER") +
                                            add[0].substr(4));
        std::istringstream lines(AsciiLower(all));
        for (std::string line; std::getline(lines, line);)
          EXPECT_TRUE(line != gone && line.rfind(gone + "\\", 0) != 0) << what << ": " << line;
      } else if (deletes) {
        EXPECT_EQ(all.find("first"), std::string::npos) << what;
      }
      else
        EXPECT_NE(all.find(add.back() == "x" ? "New" : add.back()), std::string::npos) << what;
    }
  }
}

// A file changed by another program between the read and the write is not written over:
// one byte of the key changed with size and time kept (seen while the file is copied), or a
// second block of the key added before the change begins (the file is read again, and the key
// named twice needs the whole registry, which this store was not opened for).
TEST_F(RegToolFocus, AddRefusesAFileChangedMeanwhile) {
  class ChangingEnv : public EnvWrapper {
   public:
    ChangingEnv(fs::path file, bool grows) : EnvWrapper(Env::Default()), file_(std::move(file)), grows_(grows) {}
    std::optional<FileStamp> Stat(const fs::path& path) override {
      if (grows_ && path == file_ && ++stats_ == 2) std::ofstream(file_, std::ios::app) << "\n[Software\\\\A] 20\n\"Other\"=\"x\"\n";
      return EnvWrapper::Stat(path);
    }
    bool ReadFilePieces(const fs::path& path, std::uint64_t maxBytes, const FilePieceFn& fn, std::string& error,
                        ReadFailure* why) override {
      if (!grows_ && path == file_ && ++reads_ == 2) {
        const auto time = fs::last_write_time(file_);
        std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        text[text.find("first")] = 'F';
        f.seekp(0);
        f << text;
        f.close();
        fs::last_write_time(file_, time);
      }
      return EnvWrapper::ReadFilePieces(path, maxBytes, fn, error, why);
    }

   private:
    fs::path file_;
    bool grows_;
    int reads_ = 0, stats_ = 0;
  };
  fs::create_directories(prefix_ / "drive_c");
  for (bool grows : {false, true}) {
    Write("system.reg", HostileSystemReg(false));
    const RegRun r = Run({"add", "HKLM\\Software\\A", "/v", "V", "/d", "1", "/f"}, true,
                         std::make_shared<ChangingEnv>(prefix_ / "system.reg", grows));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("changed by another program"), std::string::npos) << r.err;
    std::ifstream in(prefix_ / "system.reg", std::ios::binary);
    const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(now.find(grows ? "\"Other\"=\"x\"" : "\"Name\"=\"First\""), std::string::npos);  // their change stands
    EXPECT_EQ(now.find("\"V\""), std::string::npos);
    for (const auto& entry : fs::directory_iterator(prefix_)) EXPECT_NE(entry.path().extension(), ".tmp");
  }
}

// On the files Wine itself wrote (in Wine's own order of keys), reg add gives the same
// registry as a whole commit, and leaves Wine's text of every other key as Wine wrote it.
TEST_F(RegToolFocus, AddOnWinesOwnPrefix) {
  const fs::path data = fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "wine-8.0-fresh";
  if (!fs::is_regular_file(data / "system.reg")) GTEST_SKIP() << "no fresh Wine prefix data at " << data;
  const std::vector<cli::Args> adds = {{"HKLM\\Software\\Wine\\Kestrove Test", "/v", "V", "/d", "new key"},
                                       {"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", "/v", "V", "/d", "1"},
                                       {"HKLM\\System\\CurrentControlSet\\Control\\Kestrove", "/v", "V", "/d", "link"},
                                       {"HKCU\\Control Panel\\Desktop", "/v", "Wallpaper", "/d", "x"}};
  for (const cli::Args& add : adds) {
    const fs::path focusedDir = prefix_ / "focused", wholeDir = prefix_ / "whole";
    for (const fs::path& dir : {focusedDir, wholeDir}) {
      fs::remove_all(dir);
      fs::create_directories(dir / "drive_c");
      for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) fs::copy_file(data / name, dir / name);
    }
    cli::Args args{"add"};
    args.insert(args.end(), add.begin(), add.end());
    args.push_back("/f");
    EXPECT_EQ(Run(args, true, Env::Default(), focusedDir).status, 0) << add[0];
    EXPECT_EQ(Run(args, false, Env::Default(), wholeDir).status, 0) << add[0];
    const std::string key = add[0].substr(0, add[0].rfind('\\'));
    const RegRun a = Run({"query", key, "/s"}, false, Env::Default(), focusedDir);
    EXPECT_EQ(a.out, Run({"query", key, "/s"}, false, Env::Default(), wholeDir).out) << add[0];
    EXPECT_NE(a.out.find(add[4]), std::string::npos) << add[0];
    // Wine's lines all stay, in Wine's order, but for the key lines and times of changed keys.
    const std::string hive = add[0].rfind("HKCU", 0) == 0 ? "user.reg" : "system.reg";
    std::ifstream before(data / hive), after(focusedDir / hive);
    std::string want, got;
    std::size_t missing = 0;
    while (std::getline(before, want)) {
      while (std::getline(after, got) && got != want) {
      }
      if (!after) {
        ++missing;
        after.clear();
        after.seekg(0);
      }
    }
    EXPECT_LE(missing, 4u) << add[0];
  }
}


// Files whose focused reading needs the whole registry after all, or that a focused write must
// leave as a whole commit would: every answer and every written registry is the whole one's.
TEST_F(RegToolFocus, OddFilesGiveWhatTheWholeRegistryGives) {
  const std::string head = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
  struct TCase {
    std::string file;
    cli::Args args;
    std::string kept = {};  // text the written file still holds, as a whole commit leaves it
  };
  const std::vector<TCase> cases = {
      // The hive's root key has a block of its own, beside a link on the way or a key named twice.
      {head + "[Other] 1\n\"x\"=\"y\"\n\n[] 2\n\"RootV\"=\"r\"\n\n[Software\\\\A] 3\n\"Name\"=\"one\"\n\n"
              "[Software\\\\Link] 4\n#link\n" + LinkTo("\\Registry\\Machine\\Software\\A") +
              "\n[Software\\\\a] 5\n\"Later\"=\"two\"\n",
       {"query", "HKLM\\Software\\Link"}},
      {head + "[Other] 1\n\"x\"=\"y\"\n\n[] 2\n\"RootV\"=\"r\"\n\n[Software\\\\A] 3\n\"Name\"=\"one\"\n\n"
              "[Software\\\\a] 5\n\"Later\"=\"two\"\n",
       {"add", "HKLM\\Software\\A", "/v", "V", "/d", "1", "/f"}},
      // A key line where hex data goes on: the whole reading takes it for data, and refuses it.
      {head + "[A] 1\n\n[A\\\\B] 2\n\"V\"=hex:01,\\\n[A\\\\C] 3\n\"W\"=\"1\"\n", {"query", "HKLM\\A\\C"}},
      {head + "[A] 1\n\n[A\\\\B] 2\n\"V\"=hex:01,\\ \r\n[A\\\\C] 3\n\"W\"=\"1\"\n", {"add", "HKLM\\A\\C", "/ve", "/d", "x", "/f"}},
      // An escaped backslash between names ("\x5c", "\134") parts them as "\\\\" does.
      {head + "[A] 1\n\n[A\\x005cB] 2\n\"V\"=\"x\"\n\n[A\\134B\\\\C] 3\n\"V\"=\"o\"\n", {"query", "HKLM\\A\\B", "/s"}},
      // Keys on the way with no text of their own are there all the same: a new key below them
      // leaves their parent (its time) as it was.
      {head + "[A] 1\n#time=1d000000000000\n\"V\"=\"1\"\n\n[A\\\\B\\\\X] 2\n\"W\"=\"2\"\n",
       {"add", "HKLM\\A\\B\\C", "/v", "V", "/d", "1", "/f"}, "[A] 1\n#time=1d000000000000\n"},
  };
  for (int k = 0; k < 2 * static_cast<int>(cases.size()); ++k) {
    const TCase& c = cases[static_cast<std::size_t>(k / 2)];
    const fs::path focusedDir = prefix_ / "focused", wholeDir = prefix_ / "whole";
    for (const fs::path& dir : {focusedDir, wholeDir}) {
      fs::remove_all(dir);
      fs::create_directories(dir / "drive_c");
      Write("system.reg", c.file, dir);
    }
    const RegRun part = Run(c.args, true, std::make_shared<PieceEnv>(k % 2 == 1), focusedDir);
    const RegRun whole = Run(c.args, false, Env::Default(), wholeDir);
    EXPECT_EQ(part.status, whole.status) << c.file << part.err;
    EXPECT_EQ(part.out, whole.out) << c.file;
    const RegRun a = Run({"query", "HKLM", "/s"}, false, Env::Default(), focusedDir);
    const RegRun b = Run({"query", "HKLM", "/s"}, false, Env::Default(), wholeDir);
    EXPECT_EQ(a.out, b.out) << c.file;
    EXPECT_EQ(a.err.empty(), b.err.empty()) << c.file << a.err;
    for (const fs::path& dir : {focusedDir, wholeDir}) {
      std::ifstream in(dir / "system.reg", std::ios::binary);
      const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_NE(now.find(c.kept), std::string::npos) << dir << "\n" << now;
    }
  }
}

// Wine itself reads what reg add wrote into its files, and reg query reads what Wine wrote.
TEST_F(RegToolFocus, WineReadsWhatAddWrote) {
  if (std::system("command -v wine >/dev/null 2>&1 && command -v wineserver >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "wine is not installed";
  const fs::path prefix = prefix_ / "wine";
  const std::string env = "WINEDEBUG=-all WINEPREFIX='" + prefix.string() + "' ";
  ASSERT_NE(std::system((env + "timeout 300 wineboot -i >/dev/null 2>&1; " + env + "wineserver -w").c_str()), -1);
  if (!fs::exists(prefix / "system.reg")) GTEST_SKIP() << "wineboot made no prefix";
  for (const cli::Args& args : {cli::Args{"add", "HKLM\\Software\\Kestrove\\Deep", "/v", "Text", "/d", "spliced", "/f"},
                                cli::Args{"add", "HKCU\\Control Panel\\Desktop", "/v", "Kestrove", "/t", "REG_DWORD",
                                          "/d", "42", "/f"}}) {
    auto pieces = std::make_shared<PieceEnv>(false);
    EXPECT_EQ(Run(args, true, pieces, prefix).status, 0) << args[1];
    EXPECT_EQ(pieces->wholeReads, 0) << args[1];
  }
  std::string said;
  const std::string script = env + "wine reg query 'HKLM\\Software\\Kestrove\\Deep' /v Text; " + env +
                             "wine reg query 'HKCU\\Control Panel\\Desktop' /v Kestrove; " + env +
                             "wine reg add 'HKLM\\Software\\Kestrove\\Deep' /v ByWine /d wine /f; " + env +
                             "wineserver -w";
  if (FILE* p = ::popen(script.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
    ::pclose(p);
  }
  EXPECT_NE(said.find("spliced"), std::string::npos) << said;
  EXPECT_NE(said.find("0x2a"), std::string::npos) << said;
  const RegRun back = Run({"query", "HKLM\\Software\\Kestrove\\Deep"}, true, Env::Default(), prefix);
  EXPECT_NE(back.out.find("ByWine    REG_SZ    wine"), std::string::npos) << back.out;
  EXPECT_NE(back.out.find("Text    REG_SZ    spliced"), std::string::npos) << back.out;
}

}  // namespace
}  // namespace kestrove::testing

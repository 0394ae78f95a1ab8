// reg query reads only the key it is about: every answer must be the one the whole registry
// gives, whatever the hive files hold and however the file arrives in pieces.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "RegToolTestSupport.h"
#include "platform/Env.h"

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

  void Write(const char* name, const std::string& text) {
    std::ofstream(prefix_ / name, std::ios::binary) << text;
    whole_.reset();
  }

  RegRun Run(const cli::Args& args, bool focused, const std::shared_ptr<Env>& env) {
    std::istringstream in;
    std::ostringstream out, err;
    cli::RegToolIo io{in, out, err, false};
    std::unique_ptr<RegistryStore> store;
    RegRun r;
    try {
      r.status = cli::RunRegTool(args, [&](const TRegistryFocus* readOnly) -> RegistryStore& {
        if (focused && readOnly) {
          store = RegistryStore::OpenWinePrefixFocused(prefix_, *readOnly, env);
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

TEST_F(RegToolFocus, AnswersMatchTheWholeRegistryOnHostileHives) {
  Write("system.reg",
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
        "[Software\\\\Z] 1\n\"Name\"=\"z [Software\\\\A] b\"\n\n"
        "  [Software\\\\a\\\\b\\\\Deep\\\\Deeper] 4\n\"Name\"=\"deep\"\n\n"
        "[Software\\\\A] 2\n#time=1d000000000000\n\"Name\"=\"first\"\n@=\"default\"\n\"Blob\"=hex:01,02,\\\n  03\n\n"
        "[Software\\\\A\\\\B] 3\n\"Name\"=dword:00000007\n\n"
        "[Software\\\\A\\\\Caf\\xe9] 5\r\n\"Name\"=\"cr\"\r\n\r\n"
        "[Software\\\\A\\\\x\\[y\\]] 6\n\"b\"=\"bracket\"\n\n"
        "[Software\\\\A\\\\\\\\Doubled] 7\n\n"
        "[Software\\\\Link] 8\n#link\n" + LinkTo("\\Registry\\Machine\\Software\\A") + "\n"
        "[Software\\\\A] 9\n\"Name\"=\"second\"\n\"Later\"=\"b\"\n\n"
        "[Software\\\\A\\\\\\x42] 11\n\"Escaped\"=\"b\"\n\n[Software\\\\AB] 12\n\"Name\"=\"ab\"\n\n"
        "[Software\\\\A\\\\B\\\\\\\\Empty\\\\] 13\n\n[Software\\\\A\\\\B With Space\\\\C] 14\n\n"
        "[Software\\\\Classes\\\\.txt] 10\n@=\"txtfile\"\n\n");
  Write("user.reg",
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
        "[Software\\\\Mine] 1\n\"Name\"=\"mine\"\n");
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

}  // namespace
}  // namespace kestrove::testing

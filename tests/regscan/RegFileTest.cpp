// The .reg writer and reader: the backup form byte for byte, lossless round trips of every
// value type (through our reader, kestrove-regedit and Wine's own regedit), all-or-nothing import.
#include "regscan/RegFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../platform/TargetTestSupport.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Str(std::string_view utf8) { return Utf8ToUtf16Le(utf8, true); }
Bytes Multi(std::initializer_list<std::string_view> parts) {
  Bytes out;
  for (auto p : parts) {
    Bytes b = Str(p);
    out.insert(out.end(), b.begin(), b.end());
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}
Bytes Seq(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i + 1);
  return b;
}

// One value of every kind the backup must give back.
const std::vector<RegValue>& EveryKind() {
  static const std::vector<RegValue> values = {
      {"", REG_SZ, Str("default")},
      {"Plain", REG_SZ, Str("C:\\Program Files\\A \"quoted\" word")},
      {"Expand", REG_EXPAND_SZ, Str("%SystemRoot%\\system32")},
      {"Multi", REG_MULTI_SZ, Multi({"one", "two", "three"})},
      {"EmptyMulti", REG_MULTI_SZ, Bytes{0, 0}},
      {"Dword", REG_DWORD, {0x0A, 0, 0, 0}},
      {"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"Binary", REG_BINARY, Seq(60)},
      {"None", REG_NONE, {0xde, 0xad}},
      {"EmptyBinary", REG_BINARY, {}},
      {"ShortDword", REG_DWORD, {1, 2}},
      {"Lines", REG_SZ, Str("one\r\ntwo")},
      {"Caf\xC3\xA9 \xE2\x82\xAC", REG_SZ, Str("d\xC3\xA9j\xC3\xA0 vu")},
      {"Quote\" and \\ back", REG_EXPAND_SZ, Str("\xC3\xBC%TEMP%")},
  };
  return values;
}

// Outside every code page, or text data without its terminator: only the Unicode form keeps them.
const std::vector<RegValue>& OutsideCodePage() {
  static const std::vector<RegValue> values = {
      {std::string("Nul\0Name", 8), REG_SZ, Str("n")},  // before the others: a raw zero hid them from Wine
      {"\xD0\xB6\xD1\x83\xD0\xBA", REG_SZ, Str("\xE6\x97\xA5\xE6\x9C\xAC")},
      {"Greek", REG_MULTI_SZ, Multi({"\xCE\xB1", "\xCE\xB2"})},
      {"Smile", REG_EXPAND_SZ, Str("\xF0\x9F\x98\x80 %A%")},
      {"Unterminated", REG_SZ, {'a', 0, 'b', 0}},
      {"Line\nand\rbreak", REG_DWORD, {1, 0, 0, 0}},
  };
  return values;
}

// Those of `values` whose name and text are plain ASCII: a backup of them is a "REGEDIT4" file.
std::vector<RegValue> AsciiOnly(const std::vector<RegValue>& values) {
  std::vector<RegValue> out;
  for (const RegValue& v : values) {
    bool ascii = true;
    for (unsigned char c : v.name) ascii = ascii && c < 0x80;
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)
      for (std::size_t i = 1; i < v.data.size(); i += 2) ascii = ascii && v.data[i] == 0 && v.data[i - 1] < 0x80;
    if (ascii) out.push_back(v);
  }
  return out;
}

void Plant(RegistryStore& store, TRootKey root, const std::string& path, const std::vector<RegValue>& values) {
  ASSERT_TRUE(store.CreateKey(root, path));
  for (const RegValue& v : values) ASSERT_TRUE(store.SetValue(root, path, v.name, v.type, v.data));
}

void ExpectSameValues(RegistryStore& a, RegistryStore& b, TRootKey root, const std::string& path) {
  auto va = a.Values(root, path);
  auto vb = b.Values(root, path);
  ASSERT_TRUE(va && vb) << path;
  ASSERT_EQ(va->size(), vb->size()) << path;
  for (const RegValue& v : *va) {
    auto other = b.QueryValue(root, path, v.name);
    ASSERT_TRUE(other) << path << " lacks \"" << v.name << "\"";
    EXPECT_EQ(other->name, v.name);
    EXPECT_EQ(other->type, v.type) << v.name;
    EXPECT_EQ(other->data, v.data) << v.name;
  }
}

std::optional<TRegFileContents> Parse(std::string_view bytes, std::vector<TRegFileProblem>* problems = nullptr) {
  std::vector<TRegFileProblem> local;
  return ParseRegFile(bytes, problems ? *problems : local);
}

TEST(RegFileWriter, BackupLinesAreByteExact) {
  auto store = RegistryStore::CreateInMemory();
  Plant(*store, HKEY_CURRENT_USER, "Software\\K", {
      {"", REG_SZ, Str("top")},
      {"a\"b\\c", REG_SZ, Str("x\\y\"z")},
      {"Ten", REG_DWORD, {10, 0, 0, 0}},
      {"Three", REG_BINARY, {1, 2, 3}},
      {"TwentySix", REG_BINARY, Seq(26)},
      {"TwentySeven", REG_BINARY, Seq(27)},
      {"Empty", REG_BINARY, {}},
      {"Multi", REG_MULTI_SZ, Multi({"a", "b"})},
      {"Expand", REG_EXPAND_SZ, Str("%A%")},
  });
  Plant(*store, HKEY_CURRENT_USER, "Software\\K\\Sub", {{"V", REG_SZ, Str("s")}});
  TempFolder dir;
  const fs::path file = dir / "2010_03_07_091505.reg";
  ExportToRegFile(file, *store, HKEY_CURRENT_USER, true, "", "Software\\K\\");
  ExportToRegFile(file, *store, HKEY_CURRENT_USER, false, "V", "Software\\K\\Sub");
  EXPECT_EQ(ReadAll(file),
            "REGEDIT4\r\n"
            "\r\n[HKEY_CURRENT_USER\\Software\\K]\r\n"
            "@=\"top\"\r\n"
            "\"a\\\"b\\\\c\"=\"x\\\\y\\\"z\"\r\n"
            // Values come in enumeration order (by name, as the store keeps them).
            "\"Empty\"=hex:\r\n"
            // Kept as their own types, in code-page bytes, as regedit writes them in this form.
            "\"Expand\"=hex(2):25,41,25,00\r\n"
            "\"Multi\"=hex(7):61,00,62,00,00\r\n"
            "\"Ten\"=dword:0000000A\r\n"
            "\"Three\"=hex:01,02,03\r\n"
            "\"TwentySeven\"=hex:01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,16,17,18,19,1A,\\\r\n"
            "1B\r\n"
            "\"TwentySix\"=hex:01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,16,17,18,19,1A\r\n"
            "\r\n[HKEY_CURRENT_USER\\Software\\K\\Sub]\r\n"
            "\"V\"=\"s\"\r\n"
            // The second export appends, without a second header line.
            "\r\n[HKEY_CURRENT_USER\\Software\\K\\Sub]\r\n"
            "\"V\"=\"s\"\r\n");
  // A file that cannot be created is an error, not a silent loss.
  EXPECT_THROW(ExportToRegFile(dir / "missing" / "x.reg", *store, HKEY_CURRENT_USER, true, "", "Software\\K"),
               ERegFileError);
}

TEST(RegFileWriter, EveryTypeComesBackThroughTheReader) {
  auto source = RegistryStore::CreateInMemory();
  Plant(*source, HKEY_CURRENT_USER, "Software\\All", EveryKind());
  Plant(*source, HKEY_CURRENT_USER, "Software\\All\\Child\\Grandchild", {{"x", REG_DWORD, {1, 0, 0, 0}}});
  TempFolder dir;
  const fs::path file = dir / "b.reg";
  // Plain ASCII: the "REGEDIT4" form.
  ExportToRegFile(file, *source, HKEY_CURRENT_USER, true, "", "Software\\All\\Child");
  const std::string ansi = ReadAll(file);
  ASSERT_EQ(ansi.rfind("REGEDIT4\r\n", 0), 0u);

  // Any other character, even one Windows-1252 has, turns the file into the Unicode form,
  // earlier sections kept: the importer would read "REGEDIT4" in its own code page.
  ExportToRegFile(file, *source, HKEY_CURRENT_USER, true, "", "Software\\All");
  const std::string mixed = ReadAll(file);
  ASSERT_EQ(mixed.substr(0, 2), "\xFF\xFE");
  const Bytes cafe = Utf8ToUtf16Le("\"Caf\xC3\xA9 \xE2\x82\xAC\"=\"d\xC3\xA9j\xC3\xA0 vu\"", false);
  EXPECT_NE(mixed.find(std::string(cafe.begin(), cafe.end())), std::string::npos);
  // More text outside every code page is appended to it.
  Plant(*source, HKEY_LOCAL_MACHINE, "Software\\Wide", OutsideCodePage());
  ExportToRegFile(file, *source, HKEY_LOCAL_MACHINE, true, "", "Software\\Wide");
  const std::string wide = ReadAll(file);
  ASSERT_EQ(wide.rfind(mixed, 0), 0u);

  for (const std::string& bytes : {ansi, wide}) {
    auto contents = Parse(bytes);
    ASSERT_TRUE(contents);
    auto target = RegistryStore::CreateInMemory();
    ASSERT_FALSE(ApplyRegFile(*target, *contents));
    ExpectSameValues(*source, *target, HKEY_CURRENT_USER, "Software\\All\\Child\\Grandchild");
    if (bytes == ansi) continue;
    ExpectSameValues(*source, *target, HKEY_CURRENT_USER, "Software\\All");
    ExpectSameValues(*source, *target, HKEY_LOCAL_MACHINE, "Software\\Wide");
  }
}

// Backups written before in the "REGEDIT4" form hold Windows-1252 text: they read as before,
// and a Fix that adds to one with text outside ASCII moves what it holds to the Unicode form.
TEST(RegFileReader, OlderWindows1252BackupsStayReadable) {
  const std::string old =
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Old Caf\xE9]\r\n"
      "\"Caf\xE9 \x80\"=\"d\xE9j\xE0 vu\"\r\n\"E\"=hex(2):25,e9,25,00\r\n";
  TempFolder dir;
  const fs::path file = dir / "old.reg";
  std::ofstream(file, std::ios::binary) << old;
  auto source = RegistryStore::CreateInMemory();
  Plant(*source, HKEY_CURRENT_USER, "Software\\New", {{"N", REG_SZ, Str("\xC3\xB1")}});
  ExportToRegFile(file, *source, HKEY_CURRENT_USER, true, "", "Software\\New");
  for (const std::string& bytes : {old, ReadAll(file)}) {
    auto contents = Parse(bytes);
    ASSERT_TRUE(contents);
    auto store = RegistryStore::CreateInMemory();
    ASSERT_FALSE(ApplyRegFile(*store, *contents));
    auto data = [&](const std::string& key, const std::string& name) {
      auto v = store->QueryValue(HKEY_CURRENT_USER, key, name);
      return v ? v->data : Bytes{};
    };
    const std::string key = "Software\\Old Caf\xC3\xA9";
    EXPECT_EQ(data(key, "Caf\xC3\xA9 \xE2\x82\xAC"), Str("d\xC3\xA9j\xC3\xA0 vu"));
    EXPECT_EQ(data(key, "E"), Str("%\xC3\xA9%"));
    EXPECT_EQ(data("Software\\New", "N"), bytes == old ? Bytes{} : Str("\xC3\xB1"));
  }
  EXPECT_EQ(ReadAll(file).substr(0, 2), "\xFF\xFE");
}

// Runs `write` in a child process whose files cannot grow past `limit` bytes, as on a disk that
// fills up (a write that reaches the limit is cut short, the next one fails); true when it
// failed with ERegFileError.
bool FailsOnAFullDisk(rlim_t limit, const std::function<void()>& write) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit size{limit, limit};
    int code = 2;
    if (::setrlimit(RLIMIT_FSIZE, &size) == 0) {
      try {
        write();
        code = 0;
      } catch (const ERegFileError&) {
        code = 1;
      } catch (...) {
        code = 3;
      }
    }
    ::_exit(code);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

// A Fix or an export that runs out of disk leaves no half-written file: the temporary file of a
// rewrite goes, a section cut off while being appended is taken back out, and a new file that
// could not be written whole is removed. A backup that was there stays as it was.
TEST(RegFileWriter, RunningOutOfDiskLeavesNoHalfWrittenFile) {
  auto store = RegistryStore::CreateInMemory();
  std::vector<RegValue> many;
  for (int i = 0; i < 2000; ++i) many.push_back({"v" + std::to_string(i), REG_SZ, Str(std::string(60, 'x'))});
  const std::string big = "Software\\Big", bigWide = "Software\\Big \xC3\xA9";
  const std::string small = "Software\\Small", smallWide = "Software\\Small \xC3\xA9";
  Plant(*store, HKEY_CURRENT_USER, big, many);
  Plant(*store, HKEY_CURRENT_USER, bigWide, many);
  Plant(*store, HKEY_CURRENT_USER, small, {{"s", REG_SZ, Str("1")}});
  Plant(*store, HKEY_CURRENT_USER, smallWide, {{"s", REG_SZ, Str("1")}});
  auto fixBackup = [&](const std::string& key) {
    return [&store, key](const fs::path& file) { ExportToRegFile(file, *store, HKEY_CURRENT_USER, true, "", key); };
  };
  struct TCase {
    const char* what;
    std::string before;  // the key the file holds already; none: no file
    std::function<void(const fs::path&)> write;
  };
  const std::vector<TCase> cases = {
      {"a REGEDIT4 backup rewritten as Unicode", small, fixBackup(bigWide)},
      {"a section appended to a REGEDIT4 backup", small, fixBackup(big)},
      {"a section appended to a Unicode backup", smallWide, fixBackup(big)},
      {"a new backup", "", fixBackup(big)},
      {"an export over a file", small,
       [&](const fs::path& file) { WriteRegFile(file, CollectRegSection(*store, HKEY_CURRENT_USER, true, "", big)); }},
      {"a streamed export over a file", small,
       [&](const fs::path& file) { ExportRegFile(file, *store, {{HKEY_CURRENT_USER, big}}); }},
      {"a streamed export that turns Unicode", small,
       [&](const fs::path& file) { ExportRegFile(file, *store, {{HKEY_CURRENT_USER, big}, {HKEY_CURRENT_USER, bigWide}}); }},
  };
  for (const TCase& c : cases) {
    TempFolder dir;
    const fs::path file = dir / "2010_03_07_091505.reg";
    if (!c.before.empty()) ExportToRegFile(file, *store, HKEY_CURRENT_USER, true, "", c.before);
    const std::string before = ReadAll(file);
    EXPECT_TRUE(FailsOnAFullDisk(before.size() + 4096, [&] { c.write(file); })) << c.what;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, c.before.empty() ? std::vector<std::string>{} : std::vector<std::string>{file.filename().string()})
        << c.what;
    EXPECT_TRUE(ReadAll(file) == before) << c.what;
  }
}

// The export written key by key is the very file the collected entries give: the form it takes
// is known only at its last key, after more than one write has gone to the disk.
TEST(RegFileWriter, ExportWrittenKeyByKeyIsTheCollectedFile) {
  auto store = RegistryStore::CreateInMemory();
  std::vector<RegValue> many;  // over a megabyte per key, so that every export is written in parts
  for (int i = 0; i < 9000; ++i) many.push_back({"v" + std::to_string(i), REG_EXPAND_SZ, Str(std::string(60, 'x'))});
  Plant(*store, HKEY_LOCAL_MACHINE, "Software\\A Big", many);
  Plant(*store, HKEY_LOCAL_MACHINE, "Software\\B", AsciiOnly(EveryKind()));
  Plant(*store, HKEY_CURRENT_USER, "Software\\A Big", many);
  Plant(*store, HKEY_CURRENT_USER, "Software\\Z Wide", OutsideCodePage());
  Plant(*store, HKEY_CURRENT_USER, "Software\\Z Wide\\Caf\xC3\xA9", {});
  struct TCase {
    const char* what;
    std::vector<TRegKeyRef> keys;
  };
  const std::vector<TCase> cases = {
      {"ASCII throughout", {{HKEY_LOCAL_MACHINE, "Software"}}},
      {"a wide key last", {{HKEY_LOCAL_MACHINE, "Software"}, {HKEY_CURRENT_USER, "Software"}}},
      {"a wide key first", {{HKEY_CURRENT_USER, "Software\\Z Wide"}, {HKEY_LOCAL_MACHINE, "Software"}}},
  };
  for (const TCase& c : cases) {
    TempFolder dir;
    std::vector<TRegFileEntry> all;
    for (const TRegKeyRef& k : c.keys) {
      auto part = CollectRegSection(*store, k.root, true, "", k.path);
      all.insert(all.end(), part.begin(), part.end());
    }
    WriteRegFile(dir / "collected.reg", all);
    dir.Write("streamed.reg", "an older file");
    ExportRegFile(dir / "streamed.reg", *store, c.keys);
    EXPECT_TRUE(ReadAll(dir / "streamed.reg") == ReadAll(dir / "collected.reg")) << c.what;
    EXPECT_FALSE(fs::exists(dir / "streamed.reg.tmp")) << c.what;
  }
  // A key no registry file can name stops the export; the file it would replace stays.
  Plant(*store, HKEY_CURRENT_USER, "Software\\Z Wide\\Line\nbreak", {});
  TempFolder dir;
  dir.Write("x.reg", "an older file");
  EXPECT_THROW(ExportRegFile(dir / "x.reg", *store, {{HKEY_LOCAL_MACHINE, "Software"}, {HKEY_CURRENT_USER, "Software"}}),
               ERegFileError);
  EXPECT_EQ(ReadAll(dir / "x.reg"), "an older file");
  EXPECT_FALSE(fs::exists(dir / "x.reg.tmp"));
}

TEST(RegFileReader, AcceptsWhatRegeditWrites) {
  const std::string v5 =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\R]\r\n"
      "@=\"d\"\r\n"
      "\"S\"=\"a\\\\b\\\"c\"\r\n"
      "\"D\"=dword:00000010\r\n"
      "\"H\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"E\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      "\"Gone\"=-\r\n"
      "\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Old]\r\n"
      "\"Ignored\"=\"x\"\r\n";
  Bytes utf16 = Utf8ToUtf16Le(v5, false);
  const std::string bom = "\xFF\xFE" + std::string(utf16.begin(), utf16.end());
  for (const std::string& bytes : {v5, "\xEF\xBB\xBF" + v5, bom}) {
    auto store = RegistryStore::CreateInMemory();
    Plant(*store, HKEY_CURRENT_USER, "Software\\R", {{"Gone", REG_SZ, Str("x")}});
    Plant(*store, HKEY_CURRENT_USER, "Software\\Old\\Deep", {{"v", REG_SZ, Str("x")}});
    auto contents = Parse(bytes);
    ASSERT_TRUE(contents);
    EXPECT_TRUE(contents->unicode);
    ASSERT_FALSE(ApplyRegFile(*store, *contents));
    EXPECT_EQ(store->QueryValue(HKEY_CURRENT_USER, "Software\\R", "")->data, Str("d"));
    EXPECT_EQ(store->QueryValue(HKEY_CURRENT_USER, "Software\\R", "S")->data, Str("a\\b\"c"));
    EXPECT_EQ(store->QueryValue(HKEY_CURRENT_USER, "Software\\R", "D")->data, (Bytes{0x10, 0, 0, 0}));
    EXPECT_EQ(store->QueryValue(HKEY_CURRENT_USER, "Software\\R", "H")->data, (Bytes{1, 2, 3, 4}));
    auto e = store->QueryValue(HKEY_CURRENT_USER, "Software\\R", "E");
    EXPECT_EQ(e->type, REG_EXPAND_SZ);
    EXPECT_EQ(e->data, Str("%A%"));
    EXPECT_FALSE(store->QueryValue(HKEY_CURRENT_USER, "Software\\R", "Gone"));
    EXPECT_FALSE(store->KeyExists(HKEY_CURRENT_USER, "Software\\Old"));
  }
}

TEST(RegFileReader, BadLinesAreNamedAndNothingIsReturned) {
  struct Case {
    const char* text;
    std::size_t line;
  } cases[] = {
      {"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=dword:123456789\r\n", 4},
      {"REGEDIT4\r\n[HKEY_NOWHERE\\A]\r\n", 2},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A\r\n", 2},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=\"open\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=hex:1,zz\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=hex(2:00\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n\"ok\"=\"1\"\r\njunk\r\n", 4},
      {"REGEDIT4\r\n\"x\"=\"before any key\"\r\n", 2},
      {"REGEDIT5\r\n", 1},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=hex:01,02,\\\r\n  03,04,\\\r\n", 3},  // cut off
  };
  for (const Case& c : cases) {
    std::vector<TRegFileProblem> problems;
    EXPECT_FALSE(Parse(c.text, &problems)) << c.text;
    ASSERT_FALSE(problems.empty()) << c.text;
    EXPECT_EQ(problems[0].line, c.line) << c.text;
  }
}

// ---- Through the programs -----------------------------------------------------------------

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int Shell(const std::string& cmd, std::string* err = nullptr, const fs::path& errFile = {}) {
  const int raw = std::system((cmd + (errFile.empty() ? " 2>/dev/null" : " 2>" + ShellQuote(errFile.string()))).c_str());
  if (err && !errFile.empty()) *err = ReadAll(errFile);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

class RegeditProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = dir_ / "prefix";
    ASSERT_EQ(Shell(ShellQuote(KESTROVE_CLI_PATH) + " sample " + ShellQuote(prefix_.string()) + " >/dev/null"), 0);
  }
  int Regedit(const std::string& args, std::string* err = nullptr) {
    return Shell("TMPDIR=" + ShellQuote(dir_.path().string()) + " " + ShellQuote(KESTROVE_REGEDIT_PATH) + " --root " +
                   ShellQuote(prefix_.string()) + " " + args,
               err, dir_ / "err.txt");
  }
  std::string Hives() {
    return ReadAll(prefix_ / "system.reg") + ReadAll(prefix_ / "user.reg") + ReadAll(prefix_ / "userdef.reg");
  }
  TempFolder dir_;
  fs::path prefix_;
};

TEST_F(RegeditProgram, RestoresABackupAndExportsItAgain) {
  auto source = RegistryStore::CreateInMemory();
  Plant(*source, HKEY_CURRENT_USER, "Software\\Backup Test", EveryKind());
  Plant(*source, HKEY_CURRENT_USER, "Software\\Backup Test\\Sub", OutsideCodePage());
  const fs::path backup = dir_ / "backup.reg";
  ExportToRegFile(backup, *source, HKEY_CURRENT_USER, true, "", "Software\\Backup Test");

  std::string err;
  ASSERT_EQ(Regedit("/s " + ShellQuote(backup.string()), &err), 0) << err;
  auto restored = RegistryStore::OpenWinePrefix(prefix_);
  ExpectSameValues(*source, *restored, HKEY_CURRENT_USER, "Software\\Backup Test");
  ExpectSameValues(*source, *restored, HKEY_CURRENT_USER, "Software\\Backup Test\\Sub");

  const fs::path exported = dir_ / "exported.reg";
  ASSERT_EQ(Regedit("/e " + ShellQuote(exported.string()) + " \"HKCU\\Software\\Backup Test\"", &err), 0) << err;
  EXPECT_EQ(ReadAll(exported), ReadAll(backup));
  EXPECT_NE(Regedit("/e " + ShellQuote(exported.string()) + " HKCU\\Software\\NoSuchKey"), 0);
}

TEST_F(RegeditProgram, ABadLineOrARunningWineChangesNothing) {
  const std::string before = Hives();
  const fs::path bad = dir_.Write("bad.reg",
                                  "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Partial]\r\n\"ok\"=\"1\"\r\n"
                                  "\"broken\"=dword:xyz\r\n");
  std::string err;
  EXPECT_EQ(Regedit("/s " + ShellQuote(bad.string()), &err), 1);
  EXPECT_NE(err.find(bad.string() + ":5: "), std::string::npos) << err;
  EXPECT_EQ(Hives(), before);

  // A running wineserver of the prefix: its lock file, write-locked by this process.
  std::ofstream(prefix_ / "wineserver") << "wine-test-server\n";
  struct stat st {};
  ASSERT_EQ(::stat(prefix_.c_str(), &st), 0);
  char server[80];
  std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  const fs::path lockDir = dir_ / "wine-test-server" / server;
  fs::create_directories(lockDir);
  const int fd = ::open((lockDir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_len = 1;
  ASSERT_EQ(::fcntl(fd, F_SETLK, &fl), 0);
  const fs::path good = dir_.Write("good.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\New]\r\n\"v\"=\"1\"\r\n");
  EXPECT_EQ(Regedit("/s " + ShellQuote(good.string()), &err), 1);
  EXPECT_NE(err.find("Wine is running"), std::string::npos) << err;
  ::close(fd);
  EXPECT_EQ(Hives(), before);
  EXPECT_EQ(Regedit("/s " + ShellQuote(good.string()), &err), 0) << err;
  EXPECT_NE(Hives(), before);
}

// The file is read in pieces, twice: a line, a continued value or a UTF-16 unit cut where one
// piece ends must come out as a whole file gives it, in each of the three encodings.
TEST_F(RegeditProgram, ImportsALargeFileInEachEncoding) {
  std::string body;
  for (int k = 0; body.size() < (std::size_t{3} << 19); ++k) {  // 1.5 MB: more than one piece
    body += "\r\n[HKEY_CURRENT_USER\\Software\\Large\\K" + std::to_string(k) + "]\r\n\"Blob\"=hex:";
    for (int i = 0; i < 40; ++i) body += (i ? i % 13 == 0 ? ",\\\r\n  " : "," : "") + std::string(k % 2 ? "0a" : "a0");
    body += "\r\n\"Text\"=\"line " + std::to_string(k) + "\"\r\n";
  }
  body += "\r\n[HKEY_CURRENT_USER\\Software\\Large\\Caf\xC3\xA9]\r\n\"\xC3\xBC\"=\"\xE2\x82\xAC\"\r\n";
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n" + body;
  std::string utf16 = "\xFF\xFE";
  for (std::uint8_t b : Utf8ToUtf16Le(v5, false)) utf16 += char(b);
  std::string cp1252 = "REGEDIT4\r\n" + body;
  cp1252.replace(cp1252.find("Caf\xC3\xA9"), 5, "Caf\xE9");
  cp1252.replace(cp1252.find("\"\xC3\xBC\"=\"\xE2\x82\xAC\""), 10, "\"\xFC\"=\"\x80\"");
  std::vector<TRegFileProblem> problems;
  const auto expected = ParseRegFile(v5, problems);
  ASSERT_TRUE(expected);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"utf8.reg", v5}, {"utf16.reg", utf16}, {"cp1252.reg", cp1252}}) {
    TempFolder fresh;
    ASSERT_EQ(Shell(ShellQuote(KESTROVE_CLI_PATH) + " sample " + ShellQuote((fresh / "p").string()) + " >/dev/null"), 0);
    prefix_ = fresh / "p";
    std::string err;
    ASSERT_EQ(Regedit("/s " + ShellQuote(dir_.Write(name, bytes).string()), &err), 0) << name << err;
    auto want = RegistryStore::CreateInMemory();
    ASSERT_FALSE(ApplyRegFile(*want, *expected));
    auto got = RegistryStore::OpenWinePrefix(prefix_);
    const auto keys = want->SubKeyNames(HKEY_CURRENT_USER, "Software\\Large");
    ASSERT_TRUE(keys);
    for (const std::string& key : *keys) ExpectSameValues(*want, *got, HKEY_CURRENT_USER, "Software\\Large\\" + key);
    EXPECT_EQ(got->SubKeyNames(HKEY_CURRENT_USER, "Software\\Large"), keys) << name;
  }
}

// What must not take more than a pass over the file: a key nested 100,000 levels deep is made
// (one level at a time, each from the hive's root, never ended), and a large file that is no
// registry file is refused from its first bytes (read whole, it would not fit in memory).
TEST_F(RegeditProgram, DeepKeysAndHugeNonRegistryFiles) {
  std::string deep = "Software\\Deep";
  for (int i = 0; i < 100000; ++i) deep += "\\d";
  std::string err;
  ASSERT_EQ(Regedit("/s " + ShellQuote(dir_.Write("deep.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + deep +
                                                                   "]\r\n\"Depth\"=dword:000186a0\r\n").string()), &err), 0) << err;
  EXPECT_EQ(RegistryStore::OpenWinePrefix(prefix_)->QueryValue(HKEY_CURRENT_USER, deep, "Depth")->data,
            (Bytes{0xa0, 0x86, 0x01, 0x00}));

  const std::string before = Hives();
  const fs::path sparse = dir_ / "sparse.reg";
  {
    std::ofstream(sparse) << "";
    fs::resize_file(sparse, std::uint64_t{3} << 30);  // no disk taken: a file of zeros with holes
  }
  EXPECT_EQ(Regedit("/s " + ShellQuote(sparse.string()), &err), 1);
  EXPECT_NE(err.find(sparse.string() + ":1: not a registry file"), std::string::npos) << err;
  EXPECT_TRUE(Hives() == before);
}

// A file with machine and user keys whose user hive cannot be saved: the machine hive, saved
// first, must not keep its half of the file either.
TEST_F(RegeditProgram, AFailedSaveOfOneHiveKeepsTheOthers) {
  const std::string before = Hives();
  std::vector<TRegFileProblem> problems;
  auto contents = ParseRegFile(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Both]\r\n\"m\"=\"1\"\r\n"
      "\r\n[HKEY_CURRENT_USER\\Software\\Both]\r\n\"u\"=\"1\"\r\n",
      problems);
  ASSERT_TRUE(contents);
  // A folder where the new user.reg would be written, which cannot be cleared away.
  const fs::path blocker = prefix_ / (".user.reg.kestrove-" + std::to_string(::getpid()) + ".tmp");
  fs::create_directories(blocker / "x");
  {
    auto store = RegistryStore::OpenWinePrefix(prefix_);
    ASSERT_FALSE(ApplyRegFile(*store, *contents));
    EXPECT_THROW(store->Commit(), RegistryError);
    store->Discard();
  }
  EXPECT_TRUE(Hives() == before);  // not EXPECT_EQ: a diff of whole hives is too large to print
  fs::remove_all(blocker);
  EXPECT_FALSE(fs::exists(prefix_ / (".system.reg.kestrove-" + std::to_string(::getpid()) + ".tmp")));
}

// Wine's own regedit reads the same backup back with the same types and data.
TEST(RegFileWine, WineRegeditRestoresTheBackup) {
  if (Shell("command -v wine >/dev/null && command -v wineserver >/dev/null") != 0)
    GTEST_SKIP() << "wine is not installed";
  TempFolder dir;
  const fs::path prefix = dir / "prefix";
  const std::string env = "WINEDEBUG=-all WINEPREFIX=" + ShellQuote(prefix.string()) + " ";
  ASSERT_EQ(Shell(env + "wineboot -i >/dev/null 2>&1; " + env + "wineserver -w"), 0);
  if (!fs::exists(prefix / "system.reg")) GTEST_SKIP() << "wineboot made no prefix";

  auto source = RegistryStore::CreateInMemory();
  Plant(*source, HKEY_CURRENT_USER, "Software\\Ansi", AsciiOnly(EveryKind()));
  const fs::path ansi = dir / "ansi.reg";
  ExportToRegFile(ansi, *source, HKEY_CURRENT_USER, true, "", "Software\\Ansi");
  ASSERT_EQ(ReadAll(ansi).rfind("REGEDIT4\r\n", 0), 0u);
  Plant(*source, HKEY_CURRENT_USER, "Software\\Wide", EveryKind());
  Plant(*source, HKEY_CURRENT_USER, "Software\\Wide\\Sub", OutsideCodePage());
  const fs::path wide = dir / "wide.reg";
  ExportToRegFile(wide, *source, HKEY_CURRENT_USER, true, "", "Software\\Wide");
  ASSERT_EQ(ReadAll(wide).substr(0, 2), "\xFF\xFE");
  Plant(*source, HKEY_CURRENT_USER, "Software\\Wide Appended", OutsideCodePage());  // added to a Unicode file
  ExportToRegFile(wide, *source, HKEY_CURRENT_USER, true, "", "Software\\Wide Appended");
  for (const fs::path& file : {ansi, wide})
    ASSERT_EQ(Shell(env + "wine regedit /s " + ShellQuote(file.string()) + " >/dev/null 2>&1; " + env + "wineserver -w"), 0);

  auto restored = RegistryStore::OpenWinePrefix(prefix);
  // Wine terminates string data that has no terminator and refuses a name with a zero;
  // everything else must be identical.
  auto expectSame = [&](const std::string& path) {
    auto values = source->Values(HKEY_CURRENT_USER, path);
    ASSERT_TRUE(values);
    for (const RegValue& v : *values) {
      if (v.name == "Unterminated" || v.name.find('\0') != std::string::npos) continue;  // Wine drops such names
      auto back = restored->QueryValue(HKEY_CURRENT_USER, path, v.name);
      ASSERT_TRUE(back) << path << " lacks \"" << v.name << "\"";
      EXPECT_EQ(back->type, v.type) << path << " " << v.name;
      EXPECT_EQ(back->data, v.data) << path << " " << v.name;
    }
  };
  expectSame("Software\\Ansi");
  expectSame("Software\\Wide");
  expectSame("Software\\Wide\\Sub");
  expectSame("Software\\Wide Appended");
}

// A backup of text Windows-1252 has, imported by Wine's regedit under a Russian locale, gives
// back the same text: a "REGEDIT4" file would be read in Windows-1251 there, "caf\xC3\xA9 \xE2\x82\xAC"
// coming back as "caf\xD0\xB9 \xD0\x82".
TEST(RegFileWine, BackupTextSurvivesAnotherCodePage) {
  if (Shell("command -v wine >/dev/null && command -v wineserver >/dev/null") != 0)
    GTEST_SKIP() << "wine is not installed";
  TempFolder dir;
  // The system's own locale, or one built here (LOCPATH points Wine's C library at it).
  std::string russian = "LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 ";
  if (Shell("locale -a | grep -qix 'ru_RU.utf-\\?8'") != 0) {
    const fs::path locales = dir / "locales";
    fs::create_directories(locales);
    if (Shell("localedef -i ru_RU -f UTF-8 " + ShellQuote((locales / "ru_RU.UTF-8").string()) + " >/dev/null") != 0)
      GTEST_SKIP() << "no ru_RU.UTF-8 locale, and none can be built";
    russian = "LOCPATH=" + ShellQuote(locales.string()) + " " + russian;
  }
  const fs::path prefix = dir / "prefix";
  const std::string env = "WINEDEBUG=-all WINEPREFIX=" + ShellQuote(prefix.string()) + " ";
  ASSERT_EQ(Shell(env + "wineboot -i >/dev/null 2>&1; " + env + "wineserver -w"), 0);
  if (!fs::exists(prefix / "system.reg")) GTEST_SKIP() << "wineboot made no prefix";

  const std::string cafe = "caf\xC3\xA9 \xE2\x82\xAC";
  const std::string key = "Software\\Kestrove " + cafe;
  auto source = RegistryStore::CreateInMemory();
  Plant(*source, HKEY_CURRENT_USER, key, {{cafe, REG_SZ, Str(cafe)}, {"", REG_EXPAND_SZ, Str("%TEMP%\\" + cafe)}});
  const fs::path backup = dir / "2024_05_06_070809.reg";
  ExportToRegFile(backup, *source, HKEY_CURRENT_USER, true, "", key);
  ASSERT_EQ(Shell(russian + env + "wine regedit /s " + ShellQuote(backup.string()) + " >/dev/null 2>&1; " + env +
                  "wineserver -w"),
            0);

  auto restored = RegistryStore::OpenWinePrefix(prefix);
  const auto values = source->Values(HKEY_CURRENT_USER, key);
  ASSERT_TRUE(values && values->size() == 2);
  for (const RegValue& v : *values) {
    auto back = restored->QueryValue(HKEY_CURRENT_USER, key, v.name);
    ASSERT_TRUE(back) << "\"" << v.name << "\" did not come back";
    EXPECT_EQ(back->type, v.type) << v.name;
    EXPECT_EQ(Utf16LeToUtf8(back->data), Utf16LeToUtf8(v.data)) << v.name;
    EXPECT_EQ(back->data, v.data) << v.name;
  }
}

}  // namespace
}  // namespace kestrove

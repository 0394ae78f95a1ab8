// The regf reader against hives nobody here wrote, as hivexregedit reads them, and against
// damaged hives made by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/RegistryTree.h"
#include "platform/regf/RegfFormat.h"
#include "platform/regf/RegfReader.h"

namespace {

namespace fs = std::filesystem;
using kestrove::RegistryError;
using kestrove::regtree::Hive;
using kestrove::regtree::Node;
namespace regf = kestrove::regf;

fs::path RegfData() { return fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "regf"; }

bool HaveTool(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command; its output, and its exit status in `status`.
std::string Run(const std::string& command, int& status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) {
    status = -1;
    return out;
  }
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  status = ::pclose(p);
  return out;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder of its own for each test, removed after it.
struct TTempDir {
  fs::path path;
  TTempDir() {
    char tmpl[] = "/tmp/kestrove-regf-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// The regipy hives come xz-compressed: unpacked into `dir` under their own names.
bool Unxz(const fs::path& from, const fs::path& to) {
  int status = 0;
  Run("xz -dc " + Quote(from.string()) + " > " + Quote(to.string()), status);
  return status == 0;
}

struct TLoaded {
  Hive hive;
  Node root;
  regf::TRegfLoadReport report;
  TLoaded() {
    hive.root = &root;
    root.hive = &hive;
  }
};

// A key tree as hivexregedit --export prints it, one line per key and per value, each value
// line prefixed with its key's line; sorted, since the two order names differently.
std::vector<std::string> ExportLines(const Hive& hive, Node& root) {
  std::vector<std::string> lines;
  std::vector<std::pair<Node*, std::string>> pending{{&root, "\\"}};
  char hex[16];
  while (!pending.empty()) {
    auto [n, path] = pending.back();
    pending.pop_back();
    const std::string keyLine = "[" + path + "]";
    lines.push_back(keyLine);
    if (!n->valuesReady) regf::LoadRegfValues(hive, *n);
    for (const auto& v : n->values) {
      std::string line = keyLine + "\t";
      if (v.name.empty()) {
        line += "@=";
      } else {
        line += '"';
        for (char c : v.name) line += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
        line += "\"=";
      }
      if (v.type == kestrove::REG_DWORD && v.data.size() == 4) {
        std::snprintf(hex, sizeof hex, "dword:%08x", static_cast<unsigned>(regf::Get32(v.data.data())));
        line += hex;
      } else {
        std::snprintf(hex, sizeof hex, "hex(%x):", v.type);
        line += hex;
        for (std::size_t i = 0; i < v.data.size(); ++i) {
          std::snprintf(hex, sizeof hex, i ? ",%02x" : "%02x", v.data[i]);
          line += hex;
        }
      }
      lines.push_back(std::move(line));
    }
    for (auto& c : n->children) pending.push_back({c.get(), (path == "\\" ? path : path + "\\") + c->name});
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// hivexregedit's export of `file` in the same form; nullopt when hivex refuses the file.
std::optional<std::vector<std::string>> HivexLines(const fs::path& file) {
  int status = 0;
  const std::string out =
      Run("perl -CO /usr/bin/hivexregedit --export " + Quote(file.string()) + " '\\' 2>/dev/null", status);
  if (status != 0) return std::nullopt;
  std::vector<std::string> lines;
  std::string key;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line.rfind("Windows Registry Editor", 0) == 0) continue;
    if (line[0] == '[') {
      key = line;
      lines.push_back(key);
    } else {
      lines.push_back(key + "\t" + line);
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Names the first line where two exports part, for a readable failure.
std::string FirstDifference(const std::vector<std::string>& ours, const std::vector<std::string>& theirs) {
  std::vector<std::string> onlyOurs, onlyTheirs;
  std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(), std::back_inserter(onlyOurs));
  std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(), std::back_inserter(onlyTheirs));
  std::string s = std::to_string(onlyOurs.size()) + " lines only ours, " + std::to_string(onlyTheirs.size()) +
                  " only hivex's";
  if (!onlyOurs.empty()) s += "\n ours: " + onlyOurs.front().substr(0, 300);
  if (!onlyTheirs.empty()) s += "\n hivex: " + onlyTheirs.front().substr(0, 300);
  return s;
}

struct THiveCase {
  const char* file;  // below the regf test data; ".xz" ones are unpacked first
  long refusedAt;    // -1: read as hivex reads it; else refused, naming this byte offset
};

// Every real hive of the test data: keys and values as hivexregedit reads the primary file.
// Catches any fault in names (compressed, UTF-16, embedded NUL), classes of data storage
// (in the record, one cell, big data segments), subkey list kinds (lf, lh, li, ri) and types.
TEST(RegfReaderTest, ReadsEveryTestHiveAsHivexDoes) {
  if (!fs::is_directory(RegfData())) GTEST_SKIP() << "no regf test data at " << RegfData();
  if (!HaveTool("hivexregedit") || !HaveTool("xz")) GTEST_SKIP() << "hivexregedit or xz is not installed";
  // The damaged ones: a subkey list entry pointing at a free cell, a list naming one key twice,
  // and a file whose bins stop short of the size its base block gives.
  const THiveCase cases[] = {
      {"hivex-minimal", -1},
      {"hivex-special", -1},
      {"plaso-100_sub_keys.hiv", -1},
      {"plaso-NTUSER.DAT", -1},
      {"plaso-corrupt_sub_key_list.hiv", 21632},
      {"yarp-BadListHive", 5232},
      {"yarp-BigDataHive", -1},
      {"yarp-EmptyHive", -1},
      {"yarp-ManySubkeysHive", -1},
      {"yarp-MultiSzHive", -1},
      {"yarp-OffHive", -1},
      {"yarp-StringValuesHive", -1},
      {"yarp-UnicodeHive", -1},
      {"regipy/BCD.xz", -1},
      {"regipy/NTUSER-WSL.DAT.xz", -1},
      {"regipy/NTUSER.DAT.xz", -1},
      {"regipy/NTUSER_BAGMRU.DAT.xz", -1},
      {"regipy/NTUSER_modified.DAT.xz", -1},
      {"regipy/NTUSER_with_winscp.DAT.xz", -1},
      {"regipy/SAM.xz", -1},
      {"regipy/SECURITY.xz", -1},
      {"regipy/SYSTEM.xz", -1},
      {"regipy/SYSTEM_2.xz", -1},
      {"regipy/SYSTEM_B.xz", -1},
      {"regipy/SYSTEM_WIN_10_1709.xz", -1},
      {"regipy/UsrClass.dat.xz", -1},
      {"regipy/amcache.hve.xz", -1},
      {"regipy/corrupted_system_hive.xz", 106496},
      {"regipy/ntuser_software_partial.xz", -1},
      {"regipy/transactions_NTUSER.DAT.xz", -1},
  };

  TTempDir tmp;
  for (const THiveCase& c : cases) {
    SCOPED_TRACE(c.file);
    fs::path file = RegfData() / c.file;
    if (file.extension() == ".xz") {
      const fs::path to = tmp.path / file.stem();
      ASSERT_TRUE(Unxz(file, to));
      file = to;
    }
    const auto theirs = HivexLines(file);
    TLoaded ours;
    try {
      ours.report = regf::LoadRegfHiveData(ReadFile(file), {}, file.string(), ours.hive);
    } catch (const RegistryError& e) {
      const std::string what = e.what();
      EXPECT_NE(c.refusedAt, -1) << what;
      EXPECT_NE(what.find(file.string()), std::string::npos) << what;
      EXPECT_NE(what.find("byte offset " + std::to_string(c.refusedAt) + ":"), std::string::npos) << what;
      EXPECT_TRUE(ours.root.children.empty());
      continue;
    }
    if (!theirs) {
      EXPECT_NE(c.refusedAt, -1) << "hivex refuses a hive we read";
      continue;
    }
    EXPECT_EQ(c.refusedAt, -1) << "read a hive that should be refused";
    const auto lines = ExportLines(ours.hive, ours.root);
    EXPECT_TRUE(lines == *theirs) << FirstDifference(lines, *theirs);
  }
}

}  // namespace

namespace {

void Put32At(std::string& s, std::size_t at, std::uint32_t v) {
  regf::Put32(reinterpret_cast<unsigned char*>(s.data()) + at, v);
}

struct TDamageCase {
  const char* what;
  void (*damage)(std::string& hive);
  long refusedAt;        // -1: read, with writing refused
  const char* says;      // part of the message
};

// hivex-special: the root key's cell at 4128, its "lh" list of three keys at 5288, one bin.
// Each case catches a check that, missing, would read outside the file, loop for ever or
// read a tree that is not there.
TEST(RegfReaderTest, RefusesHandMadeDamageNamingTheOffset) {
  const fs::path source = RegfData() / "hivex-special";
  if (!fs::exists(source)) GTEST_SKIP() << "no regf test data at " << RegfData();
  const TDamageCase cases[] = {
      {"truncated inside its bin", [](std::string& h) { h.resize(6000); }, 6000, "truncated"},
      {"zero-filled", [](std::string& h) { h.assign(h.size(), '\0'); }, 0, "not a registry hive"},
      {"list reaching back to the root", [](std::string& h) { Put32At(h, 5288 + 8, 32); }, 4128, "loop"},
      {"cell size overrunning its bin", [](std::string& h) { Put32At(h, 4128, static_cast<std::uint32_t>(-8192)); },
       4128, "overruns its bin"},
      {"bin larger than the hive", [](std::string& h) { Put32At(h, 4096 + 8, 8192); }, 4104, "size is wrong"},
      {"index root holding itself",
       [](std::string& h) {
         h.replace(5288 + 4, 2, "ri");
         h[5288 + 6] = 1;
         Put32At(h, 5288 + 8, 1192);
       },
       5288, "nest too deep"},
      {"key inside a bin's header", [](std::string& h) { Put32At(h, 5288 + 8, 8); }, 4104, "bin's header"},
      {"base block checksum wrong", [](std::string& h) { h[100] ^= 0x55; }, -1, "damaged base block"},
  };
  const std::string clean = ReadFile(source);
  for (const TDamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string data = clean;
    c.damage(data);
    TLoaded loaded;
    try {
      loaded.report = regf::LoadRegfHiveData(data, {}, "damaged.hiv", loaded.hive);
    } catch (const RegistryError& e) {
      const std::string what = e.what();
      EXPECT_NE(c.refusedAt, -1) << what;
      EXPECT_NE(what.find("damaged.hiv is damaged at byte offset " + std::to_string(c.refusedAt) + ":"),
                std::string::npos)
          << what;
      EXPECT_NE(what.find(c.says), std::string::npos) << what;
      EXPECT_TRUE(loaded.root.children.empty() && !loaded.hive.source) << "half-loaded";
      continue;
    }
    ASSERT_EQ(c.refusedAt, -1) << "read a hive damaged so";
    ASSERT_EQ(loaded.root.children.size(), 3u);
    ASSERT_EQ(loaded.report.warnings.size(), 1u);
    EXPECT_NE(loaded.report.warnings[0].find(c.says), std::string::npos) << loaded.report.warnings[0];
    ASSERT_TRUE(loaded.report.writeRefusal);
    EXPECT_TRUE(loaded.report.writeRefusal->ends_with("boot Windows once, then try again"));
  }
}

struct TLogCase {
  const char* hive;                 // with its logs beside it, in regipy/, as regipy names them
  std::vector<const char*> logs;
  long lastSequence;                // -1: dirty and nothing applies
};

// Dirty hives and the logs Windows left beside them, read through LoadRegfHive: the entries
// run on from the hive's number through both logs (found whatever the letter case of their
// names), and the patched image is a hive that hivex reads as we read it. Catches entries
// applied out of order or at the wrong place, a log not found, and a dirty hive read
// without a refusal to write it.
TEST(RegfReaderTest, ReplaysTransactionLogs) {
  if (!fs::is_directory(RegfData() / "regipy")) GTEST_SKIP() << "no regf test data at " << RegfData();
  if (!HaveTool("hivexregedit") || !HaveTool("xz")) GTEST_SKIP() << "hivexregedit or xz is not installed";
  const TLogCase cases[] = {
      {"SYSTEM_B", {"SYSTEM_B.LOG1", "SYSTEM_B.LOG2"}, 2130},
      {"UsrClass.dat", {"UsrClass.dat.LOG1", "UsrClass.dat.LOG2"}, 300},
      {"transactions_NTUSER.DAT", {"transactions_ntuser.dat.log1", "transactions_ntuser.dat.log2"}, 588},
      {"NTUSER_BAGMRU.DAT", {}, -1},
  };
  for (const TLogCase& c : cases) {
    SCOPED_TRACE(c.hive);
    TTempDir tmp;
    ASSERT_TRUE(Unxz(RegfData() / "regipy" / (std::string(c.hive) + ".xz"), tmp.path / c.hive));
    for (const char* log : c.logs) ASSERT_TRUE(Unxz(RegfData() / "regipy" / (std::string(log) + ".xz"), tmp.path / log));
    TLoaded loaded;
    loaded.report = regf::LoadRegfHive(tmp.path / c.hive, loaded.hive);
    const auto* header = reinterpret_cast<const unsigned char*>(loaded.hive.header.data());
    ASSERT_EQ(loaded.hive.header.size(), regf::kBaseBlockSize);
    if (c.lastSequence < 0) {
      EXPECT_FALSE(loaded.report.logsApplied);
      ASSERT_TRUE(loaded.report.writeRefusal);
      EXPECT_TRUE(loaded.report.writeRefusal->ends_with("boot Windows once, then try again"));
      continue;
    }
    EXPECT_TRUE(loaded.report.logsApplied);
    EXPECT_FALSE(loaded.report.writeRefusal) << *loaded.report.writeRefusal;
    EXPECT_EQ(regf::Get32(header + regf::kOffPrimarySeq), static_cast<std::uint32_t>(c.lastSequence));
    EXPECT_EQ(regf::Get32(header + regf::kOffSecondarySeq), static_cast<std::uint32_t>(c.lastSequence));
    EXPECT_EQ(regf::Get32(header + regf::kOffChecksum), regf::BaseBlockChecksum(header));

    const std::string_view image = regf::RegfImage(loaded.hive);
    ASSERT_EQ(image.substr(0, regf::kBaseBlockSize), loaded.hive.header);
    const fs::path patched = tmp.path / "patched";
    std::ofstream(patched, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    const auto theirs = HivexLines(patched);
    ASSERT_TRUE(theirs) << "hivex refuses the replayed hive";
    const auto lines = ExportLines(loaded.hive, loaded.root);
    EXPECT_TRUE(lines == *theirs) << FirstDifference(lines, *theirs);
    const auto primary = HivexLines(tmp.path / c.hive);
    ASSERT_TRUE(primary);
    EXPECT_NE(lines, *primary) << "the logs changed nothing";
  }
}

// Files that are not plain hive files are refused by name without being read: a FIFO must
// not hang the open, a link is not followed.
TEST(RegfReaderTest, RefusesFilesThatAreNotPlainFiles) {
  TTempDir tmp;
  const fs::path fifo = tmp.path / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path link = tmp.path / "link";
  fs::create_symlink("/etc/hostname", link);
  const fs::path empty = tmp.path / "empty";
  std::ofstream{empty};
  const std::pair<fs::path, const char*> cases[] = {
      {fifo, "not a plain file"}, {link, "is a link"}, {tmp.path, "not a plain file"},
      {empty, "byte offset 0: the file is empty"}, {tmp.path / "absent", "cannot be opened"}};
  for (const auto& [file, says] : cases) {
    SCOPED_TRACE(file.string());
    TLoaded loaded;
    try {
      regf::LoadRegfHive(file, loaded.hive);
      ADD_FAILURE() << "read";
    } catch (const RegistryError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(file.string()), std::string::npos) << what;
      EXPECT_NE(what.find(says), std::string::npos) << what;
    }
  }
}

}  // namespace

namespace {

// An old-format log (a dirty vector of 512-byte pages, Windows until 8) made by hand for
// hivex-special, in which the dword "zero\0val" becomes 0x11223344 while the hive was left
// dirty. Catches pages put back at the wrong place or bit order, and a log of another state
// of the hive (another last-written time) applied, or a damaged base block not recovered.
TEST(RegfReaderTest, ReplaysOldFormatLog) {
  const fs::path source = RegfData() / "hivex-special";
  if (!fs::exists(source)) GTEST_SKIP() << "no regf test data at " << RegfData();
  std::string hive = ReadFile(source);
  const std::string valueName("zero\0val", 8);  // names with a NUL inside, as hivex-special has
  const std::size_t name = hive.find(valueName);
  ASSERT_NE(name, std::string::npos);
  const std::size_t dataField = name - regf::kValueFixed + 8;  // the data held in the record
  auto* h = reinterpret_cast<unsigned char*>(hive.data());
  // The hive was being written: its primary number ran ahead.
  regf::Put32(h + regf::kOffPrimarySeq, regf::Get32(h + regf::kOffSecondarySeq) + 1);
  regf::Put32(h + regf::kOffChecksum, regf::BaseBlockChecksum(h));

  enum class TVariant { SameState, OtherState, DamagedBaseBlock };
  for (const TVariant variant : {TVariant::SameState, TVariant::OtherState, TVariant::DamagedBaseBlock}) {
    SCOPED_TRACE(static_cast<int>(variant));
    const bool sameTime = variant != TVariant::OtherState;
    std::string log(512, '\0');
    log.replace(0, 512, hive, 0, 512);
    auto* l = reinterpret_cast<unsigned char*>(log.data());
    regf::Put32(l + regf::kOffFileType, static_cast<std::uint32_t>(regf::TFileType::Log));
    regf::Put32(l + regf::kOffSecondarySeq, regf::Get32(l + regf::kOffPrimarySeq));
    if (!sameTime) regf::Put64(l + regf::kOffLastWritten, regf::Get64(l + regf::kOffLastWritten) + 1);
    regf::Put32(l + regf::kOffChecksum, regf::BaseBlockChecksum(l));
    const std::size_t page = (dataField - regf::kBaseBlockSize) / 512;
    std::string vector = "DIRT" + std::string((regf::Get32(h + regf::kOffHiveBinsSize) / 512 + 7) / 8, '\0');
    vector[4 + page / 8] = static_cast<char>(1 << (page % 8));
    log += vector;
    log.resize(1024, '\0');
    std::string dirtyPage = hive.substr(regf::kBaseBlockSize + page * 512, 512);
    regf::Put32(reinterpret_cast<unsigned char*>(dirtyPage.data()) + (dataField - regf::kBaseBlockSize) % 512,
                0x11223344);
    log += dirtyPage;

    // A base block whose checksum is wrong is taken from the log, which then applies.
    std::string read = hive;
    if (variant == TVariant::DamagedBaseBlock) read[200] ^= 0x5A;
    TLoaded loaded;
    loaded.report = regf::LoadRegfHiveData(read, {std::string(), log}, "old.hiv", loaded.hive);
    EXPECT_EQ(loaded.report.warnings.size(), variant == TVariant::SameState ? 0u : 1u);
    Node* key = loaded.root.Find(std::string("zero\0key", 8));
    ASSERT_TRUE(key);
    if (!key->valuesReady) regf::LoadRegfValues(loaded.hive, *key);
    const kestrove::RegValue* v = key->FindValue(valueName);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->data.size(), 4u);
    EXPECT_EQ(regf::Get32(v->data.data()), sameTime ? 0x11223344u : 0u);
    EXPECT_EQ(loaded.report.logsApplied, sameTime);
    EXPECT_EQ(loaded.report.writeRefusal.has_value(), !sameTime);
  }
}

}  // namespace

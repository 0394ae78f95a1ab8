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

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/RegistryStore.h"
#include "platform/TRegistry.h"
#include "platform/wine/WineHive.h"

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

void MarkAllDirty(regtree::Hive& hive, regtree::Node& n) {
  if (!n.valuesReady) {
    wine::LoadValues(hive, n);
    n.valuesReady = true;
  }
  n.dirty = true;
  for (auto& c : n.children) MarkAllDirty(hive, *c);
}

// Serialises one parsed hive back to text; with `regenerate`, every key is written anew
// from its parsed form instead of being copied.
std::string RoundTrip(const std::string& text, const std::string& label = "test.reg", bool regenerate = false) {
  regtree::Node root;
  regtree::Hive hive;
  hive.label = label;
  hive.buffer = text;
  hive.root = &root;
  root.hive = &hive;
  wine::ParseHive(hive);
  if (regenerate) MarkAllDirty(hive, root);
  std::string out;
  wine::WriteHive(hive, [&](std::string_view s) { out += s; }, [&](regtree::Node& n) {
    wine::LoadValues(hive, n);
    n.valuesReady = true;
  });
  return out;
}

TEST(WineHive, RealPrefixFilesRoundTripByteForByte) {
  if (!fs::exists(FreshPrefixData())) GTEST_SKIP() << "shared test data not found at " << FreshPrefixData();
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    std::string text = ReadAll(FreshPrefixData() / name);
    EXPECT_EQ(RoundTrip(text, name), text) << name;
  }
}

// Writing every key anew must give Wine's own bytes: our writer formats exactly as Wine does.
TEST(WineHive, RegeneratedRealFilesMatchWineOutput) {
  if (!fs::exists(FreshPrefixData())) GTEST_SKIP() << "shared test data not found at " << FreshPrefixData();
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    std::string text = ReadAll(FreshPrefixData() / name);
    std::string out = RoundTrip(text, name, true);
    if (out != text) {
      std::size_t i = 0;
      while (i < out.size() && i < text.size() && out[i] == text[i]) ++i;
      std::size_t from = text.rfind('\n', i > 300 ? i - 300 : 0);
      ADD_FAILURE() << name << " differs at byte " << i << "\nexpected: " << text.substr(from, 500)
                    << "\nactual:   " << out.substr(from, 500);
    }
  }
}

}  // namespace
}  // namespace kestrove

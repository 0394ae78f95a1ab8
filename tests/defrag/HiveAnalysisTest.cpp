// The defrag's texts and arithmetic from their stated examples, and the safety of the swap:
// a copy that does not hold what its hive holds, or a hive that changed after its copy was
// made, is never put in place; a stopped analysis leaves no copy it did not finish.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "defrag/DefragApply.h"
#include "defrag/HiveAnalysis.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

TEST(HiveAnalysisText, FormatSizeKB) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0 KB"},        {1, "1 KB"},          {1023, "1 KB"},         {1024, "1 KB"},
      {1025, "2 KB"},     {1022976, "999 KB"},  {1024000, "1,000 KB"},  {1262343168, "1,232,757 KB"},
      {-1, "1 KB"},  // a file that exists but cannot be listed
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSizeKB(bytes), text) << bytes;
}

TEST(HiveAnalysisText, HiveListNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"Machine", "\\REGISTRY\\MACHINE"},
      {"Machine\\Software", "\\REGISTRY\\MACHINE\\SOFTWARE"},
      {"User\\.Default", "\\REGISTRY\\USER\\.DEFAULT"},
      {"User\\S-1-5-21-1-2-3-1001_Classes", "\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes"},
  };
  for (const auto& [mount, name] : cases) EXPECT_EQ(HiveListName(mount), name) << mount;
}

TEST(HiveAnalysisText, DevicePathToFile) {
  // C: is volume 2, D: (fixed) volume 12, E: a removable drive on volume 3.
  const std::map<std::string, std::string> device = {
      {"C:", "\\Device\\HarddiskVolume2"}, {"D:", "\\Device\\HarddiskVolume12"}, {"E:", "\\Device\\HarddiskVolume3"}};
  const std::vector<std::string> files = {"C:\\WINDOWS\\system32\\config\\software",
                                          "C:\\WINDOWS\\sysnative\\config\\software",
                                          "D:\\Users\\Ann\\NTUSER.DAT", "E:\\hive", "C:\\WINDOWS\\system32\\config\\SAM"};
  TDosDevices dos;
  dos.LogicalDrives = [] { return std::vector<std::string>{"C:\\", "D:\\", "E:\\"}; };
  dos.IsFixed = [](const std::string& root) { return root != "E:\\"; };
  dos.DeviceOf = [&](const std::string& d) -> std::optional<std::string> {
    auto it = device.find(d);
    return it == device.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  dos.FileExists = [&](const std::string& p) { return std::find(files.begin(), files.end(), p) != files.end(); };
  struct Case {
    const char* text;
    bool wow64;
    const char* file;
  };
  const Case cases[] = {
      {"\\Device\\HarddiskVolume2\\WINDOWS\\system32\\config\\software", false, "C:\\WINDOWS\\system32\\config\\software"},
      // Two digits: volume 12 is D:, not volume 1 of anything.
      {"\\Device\\HarddiskVolume12\\Users\\Ann\\NTUSER.DAT", false, "D:\\Users\\Ann\\NTUSER.DAT"},
      {"\\device\\harddiskvolume2\\WINDOWS\\system32\\config\\software", true, "C:\\WINDOWS\\sysnative\\config\\software"},
      // Under WOW64 only where the sysnative path exists.
      {"\\Device\\HarddiskVolume2\\WINDOWS\\system32\\config\\SAM", true, "C:\\WINDOWS\\system32\\config\\SAM"},
      {"\\Device\\HarddiskVolume3\\hive", false, ""},  // not a fixed drive
      {"\\Device\\HarddiskVolume2\\WINDOWS\\system32\\config\\gone", false, ""},
      {"", false, ""},  // a volatile hive
      {"\\Device\\Floppy0\\x", false, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(HiveDevicePathToFile(c.text, c.wow64, dos), c.file) << c.text;
}

TEST(HiveAnalysisText, Figures) {
  struct Case {
    std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
    std::vector<const char*> reductions;
    const char* reduction;
    const char* percent;
    bool advised;
  };
  const Case cases[] = {
      {{{100 << 10, 50 << 10}, {10 << 10, 20 << 10}}, {"50%", "0%"}, "40 KB", "36.4%", false},
      // A larger new size in total: no reduction at all.
      {{{10 << 10, 20 << 10}}, {"0%"}, "0 KB", "0%", false},
      // 3.0% exactly is not advised against; 2.9% is.
      {{{1000 << 10, 970 << 10}}, {"3%"}, "30 KB", "3.0%", false},
      {{{1000 << 10, 971 << 10}}, {"2%"}, "29 KB", "2.9%", true},
      // A hive file of no size: 0%, never a division by zero.
      {{{0, 0}}, {"0%"}, "0 KB", "0%", false},
  };
  for (const Case& c : cases) {
    const TDefragFigures f = ComputeDefragFigures(c.sizes);
    ASSERT_EQ(f.Rows.size(), c.reductions.size());
    for (std::size_t i = 0; i < f.Rows.size(); ++i) EXPECT_EQ(f.Rows[i].Reduction, c.reductions[i]) << c.percent;
    EXPECT_EQ(f.SizeReduction, c.reduction) << c.percent;
    EXPECT_EQ(f.CompactPercent, c.percent);
    EXPECT_EQ(f.LowFragmentRate, c.advised) << c.percent;
  }
  EXPECT_EQ(FragmentRateMessage("2.5%"),
            "The fragment rate of your registry is only 2.5%. We suggest that your registry does not need to be "
            "compacted at this time. If you select to compact the registry now, the same fragment rate may appear "
            "again.");
}

TEST(HiveAnalysisText, ProgressArithmetic) {
  // Three hives of 1000, 3000 and 6000 bytes (T = 10000).
  const std::int64_t sizes[] = {1000, 3000, 6000};
  auto sizeOf = [&](std::size_t k) { return sizes[k]; };
  struct Case {
    std::int64_t ms, firstCopy;
    bool wow64;
    std::int64_t step;
  };
  const Case cases[] = {
      {0, 900, false, 40},    // no time measured
      {0, 900, true, 17},     // 40 div 2 - 3
      {100, 900, false, 50},  // 900*10^6/(100*10^4) = 900, capped
      {1000, 50, false, 15},  // 5 < 10: +10
      {1000, 200, false, 30}, // 20 < 30: 2*20-10
      {1000, 350, false, 35},
      {1000, 350, true, 14},  // 35 div 2 - 3
  };
  for (const Case& c : cases) {
    TDefragProgress p;
    p.Start(10000);
    p.HiveSaved(c.ms, 1, 3, c.wow64, sizeOf, [&](std::size_t) { return c.firstCopy; });
    EXPECT_EQ(p.Step, c.step) << c.ms << " " << c.firstCopy;
    EXPECT_EQ(p.Position, 100);
    EXPECT_EQ(p.Cap, 400);
    EXPECT_EQ(p.Finished, 1u);
  }
  // Ticks: the copy of hive 1 has not started: the bar creeps by S up to C - S; once its copy
  // grows, the bar follows the copy's size.
  TDefragProgress p;
  p.Start(10000);
  p.HiveSaved(1000, 1, 3, false, sizeOf, [](std::size_t) { return 350; });  // S = 35
  std::int64_t copy1 = 0;
  auto copySize = [&](std::size_t) { return copy1; };
  std::vector<std::int64_t> seen;
  for (int i = 0; i < 10; ++i) {
    p.Tick(3, copySize);
    seen.push_back(p.Position);
  }
  EXPECT_EQ(seen.front(), 135);
  EXPECT_EQ(seen.back(), 380);  // no step once past C - S = 365
  copy1 = 2000;
  p.Tick(3, copySize);
  EXPECT_EQ(p.Position, 300);
  // The last hive: past 1000 the timer goes off.
  p.HiveSaved(1000, 2, 3, false, sizeOf, copySize);
  copy1 = 6000;
  p.Tick(3, copySize);
  EXPECT_EQ(p.Position, 1000);
  EXPECT_FALSE(p.TimerOn);
  // Hives of no size: the bar has nothing to divide by and stands at its end.
  TDefragProgress empty;
  empty.Start(0);
  empty.HiveSaved(5, 1, 2, false, [](std::size_t) { return 0; }, [](std::size_t) { return 0; });
  EXPECT_EQ(empty.Position, 1000);
}

class DefragSwap : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path templateFolder = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample";
    if (!fs::exists(templateFolder / "system.reg")) GTEST_SKIP() << "no sample template in " << templateFolder;
    std::string pattern = (fs::temp_directory_path() / "kestrove-defrag-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    wine::WriteSamplePrefix(dir / "prefix", templateFolder);
    target = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  }
  void TearDown() override {
    target.reset();
    fs::remove_all(dir);
  }
  static std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir;
  std::unique_ptr<TargetSystem> target;
};

// Each case spoils one hive's copy or the hive itself between the analysis and the swap;
// that hive keeps its file and is named, the others are compacted.
TEST_F(DefragSwap, ACopyThatIsNotTheHiveIsNeverPutInPlace) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& hive, const fs::path& copy)> spoil;
    const char* reason;
  };
  const Case cases[] = {
      {"a value changed in the copy",
       [](const fs::path&, const fs::path& copy) {
         std::string text = Slurp(copy);
         const std::size_t at = text.find("=\"", text.find("[Control Panel\\\\Desktop]"));
         text.insert(at + 2, "x");
         std::ofstream(copy, std::ios::binary | std::ios::trunc) << text;
       },
       "does not hold what"},
      {"the copy cut short",
       [](const fs::path&, const fs::path& copy) {
         // At a key's line, so that what is left reads as a hive missing its later keys.
         fs::resize_file(copy, Slurp(copy).find("\n[", fs::file_size(copy) / 2) + 1);
       },
       "does not hold what"},
      {"the hive changed after the copy",
       [](const fs::path& hive, const fs::path&) { std::ofstream(hive, std::ios::app) << "\n[Later] 1\n"; },
       "was changed since its copy was made"},
      {"the copy is gone", [](const fs::path&, const fs::path& copy) { fs::remove(copy); }, "Cannot read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TDefragAnalysis a = AnalyzeRegistry(*target);
    ASSERT_TRUE(a.Finished) << a.Refusal;
    std::size_t user = a.Table.size();
    for (std::size_t i = 0; i < a.Table.size(); ++i)
      if (a.Table.HostFiles[i].filename() == "user.reg") user = i;
    ASSERT_LT(user, a.Table.size());
    const fs::path hive = a.Table.HostFiles[user];
    c.spoil(hive, HiveCopyFile(hive));
    const std::string kept = Slurp(hive);
    const TDefragApplyResult r = ApplyDefrag(*target, a.Table, a.MadeFrom);
    ASSERT_EQ(r.Failures.size(), 1u);
    EXPECT_EQ(r.Failures[0].Message, "Failed to defrag the registry\\REGISTRY\\USER\\S-1-5-21-0-0-0-1000");
    EXPECT_NE(r.Failures[0].Reason.find(c.reason), std::string::npos) << r.Failures[0].Reason;
    EXPECT_EQ(r.Replaced, a.Table.size() - 1);
    EXPECT_EQ(Slurp(hive), kept);
    EXPECT_FALSE(fs::exists(hive.string() + ".bak"));
    RemoveHiveCopies(a.Table);
  }
}

// Stop after the first hive: the analysis does not count and the hives after it have no copy.
TEST_F(DefragSwap, StopEndsAfterTheHiveInProgress) {
  const THiveTable table = LoadHiveTable(*target);
  ASSERT_EQ(table.size(), 3u);
  // What an analysis killed half way left behind is cleared by the next one.
  std::ofstream(dir / "prefix" / ".user.reg.fdc.kestrove-99999.tmp") << "half a copy";
  std::vector<std::string> memo;
  std::size_t saved = 0;
  TScanDefragTaskThread* self = nullptr;
  TScanDefragTaskThread::TEvents events;
  events.SetMemo = [&](const std::string& text) { memo.push_back(text); };
  events.HiveSaved = [&](std::int64_t, std::size_t count) {
    saved = count;
    self->Terminate();
  };
  TScanDefragTaskThread worker(*target->Registry(), table, events);
  self = &worker;
  worker.Resume();
  worker.Wait();
  EXPECT_FALSE(worker.AllDone());
  EXPECT_EQ(saved, 1u);
  EXPECT_EQ(memo, std::vector<std::string>{table.Names[0]});
  EXPECT_TRUE(fs::exists(HiveCopyFile(table.HostFiles[0])));
  EXPECT_FALSE(fs::exists(HiveCopyFile(table.HostFiles[1])));
  EXPECT_FALSE(fs::exists(HiveCopyFile(table.HostFiles[2])));
  for (const auto& e : fs::directory_iterator(dir / "prefix"))
    EXPECT_EQ(e.path().filename().string().find(".fdc.kestrove-"), std::string::npos) << e.path();
}

}  // namespace
}  // namespace kestrove

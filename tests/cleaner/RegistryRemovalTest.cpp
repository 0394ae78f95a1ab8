#include "CleanJobTestSupport.h"
#include "cleaner/RegistryRemoval.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

using testing::LinesWith;

class RegistryRemoval : public ::testing::Test {
 protected:
  bool KeyExists(TRootKey root, const std::string& key) { return target.Registry()->KeyExists(root, key); }
  std::size_t ValueCount(TRootKey root, const std::string& key) {
    return target.Registry()->ValueNames(root, key).value_or(std::vector<std::string>{}).size();
  }
  // A key with `values` string values.
  void Fill(TRootKey root, const std::string& key, int values) {
    target.CreateKey(root, key);
    for (int i = 0; i < values; ++i) target.SetString(root, key, "v" + std::to_string(i), "data");
  }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
};

TEST_F(RegistryRemoval, StartRunTestCountsTheValuesAndLogsOneKeyLine) {
  const std::string runMru = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU";
  Fill(HKEY_CURRENT_USER, runMru, 5);
  const auto run = h.Run(TestRun, {"Windows - Start Run"});
  ASSERT_TRUE(run.Completed) << run.Error;
  EXPECT_EQ(run.Summary("Windows - Start Run").Count, 5);
  EXPECT_EQ(run.Summary("Windows - Start Run").KB, "0");
  EXPECT_EQ(LinesWith(run.Lines, "deleting"),
            std::vector<std::string>{"Test: deleting registry key HKEY_CURRENT_USER\\" + runMru});
  EXPECT_EQ(ValueCount(HKEY_CURRENT_USER, runMru), 5u);
}

TEST_F(RegistryRemoval, KeyCountsTheValuesBelowItAndAtLeastOne) {
  target.CreateKey(HKEY_CURRENT_USER, "Software\\Empty");
  Fill(HKEY_CURRENT_USER, "Software\\Full", 2);
  Fill(HKEY_CURRENT_USER, "Software\\Full\\Sub", 3);
  Fill(HKEY_CURRENT_USER, "Software\\Full\\Sub\\Deeper", 0);
  auto job = h.MakeJob(DirectClean);
  EXPECT_EQ(RemoveUserKey(*job, "Software\\Empty"), 1);
  EXPECT_EQ(RemoveKey(*job, "HKEY_CURRENT_USER", "Software\\Full"), 5);
  EXPECT_EQ(RemoveUserKey(*job, "Software\\Missing"), 0);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Empty"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Full"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));
  EXPECT_EQ(h.TakeLines(), (std::vector<std::string>{"Clean: deleting registry key HKEY_CURRENT_USER\\Software\\Empty",
                                                     "Clean: deleting registry key HKEY_CURRENT_USER\\Software\\Full"}));
}

TEST_F(RegistryRemoval, EmptyValueNameEmptiesTheKeyAndKeepsIt) {
  Fill(HKEY_CURRENT_USER, "Software\\App\\Cache", 2);
  Fill(HKEY_CURRENT_USER, "Software\\App\\Cache\\Sub", 4);
  auto job = h.MakeJob(DirectClean);
  EXPECT_EQ(RemoveUserValues(*job, "Software\\App\\Cache", ""), 6);
  EXPECT_EQ(h.TakeLines(),
            (std::vector<std::string>{"Clean: deleting registry value HKEY_CURRENT_USER\\Software\\App\\Cache\\v0",
                                      "Clean: deleting registry value HKEY_CURRENT_USER\\Software\\App\\Cache\\v1",
                                      "Clean: deleting registry key HKEY_CURRENT_USER\\Software\\App\\Cache\\Sub"}));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\App\\Cache"));
  EXPECT_EQ(ValueCount(HKEY_CURRENT_USER, "Software\\App\\Cache"), 0u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\App\\Cache\\Sub"));
}

TEST_F(RegistryRemoval, NamedValueIsOneEntryWhenItIsThere) {
  Fill(HKEY_LOCAL_MACHINE, "Software\\App", 2);
  auto test = h.MakeJob(TestRun);
  EXPECT_EQ(RemoveValues(*test, "HKEY_LOCAL_MACHINE", "Software\\App", "v1"), 1);
  EXPECT_EQ(ValueCount(HKEY_LOCAL_MACHINE, "Software\\App"), 2u);
  auto clean = h.MakeJob(DirectClean);
  EXPECT_EQ(RemoveValues(*clean, "HKEY_LOCAL_MACHINE", "Software\\App", "v1"), 1);
  EXPECT_EQ(RemoveValues(*clean, "HKEY_LOCAL_MACHINE", "Software\\App", "v1"), 0);
  EXPECT_EQ(RemoveValues(*clean, "HKEY_LOCAL_MACHINE", "Software\\Nowhere", "v0"), 0);
  EXPECT_EQ(ValueCount(HKEY_LOCAL_MACHINE, "Software\\App"), 1u);
  EXPECT_EQ(h.TakeLines(), (std::vector<std::string>{"Test: deleting registry value HKEY_LOCAL_MACHINE\\Software\\App\\v1",
                                                     "Clean: deleting registry value HKEY_LOCAL_MACHINE\\Software\\App\\v1"}));
}

TEST_F(RegistryRemoval, FastModeLogsNothingButCounts) {
  Fill(HKEY_CURRENT_USER, "Software\\A", 3);
  Fill(HKEY_CURRENT_USER, "Software\\B", 2);
  h.FastMode = true;
  auto job = h.MakeJob(DirectClean);
  EXPECT_EQ(RemoveUserKey(*job, "Software\\A"), 3);
  EXPECT_EQ(RemoveUserValues(*job, "Software\\B", ""), 2);
  EXPECT_TRUE(h.TakeLines().empty());
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\A"));
}

TEST_F(RegistryRemoval, RootNamesAreTheLongNamesInAnyCase) {
  Fill(HKEY_CURRENT_USER, "Software\\A", 1);
  auto job = h.MakeJob(TestRun);
  EXPECT_EQ(RemoveKey(*job, "hkey_current_user", "Software\\A"), 1);
  EXPECT_EQ(RemoveKey(*job, "HKCU", "Software\\A"), 0);
  EXPECT_EQ(RemoveKey(*job, "HKEY_NOWHERE", "Software\\A"), 0);
  EXPECT_EQ(RemoveValues(*job, "HKCU", "Software\\A", ""), 0);
  // The line shows the root as the caller named it.
  EXPECT_EQ(h.TakeLines(), std::vector<std::string>{"Test: deleting registry key hkey_current_user\\Software\\A"});
}

// An empty key path names the root itself: never emptied or removed as a whole.
TEST_F(RegistryRemoval, TheRootItselfIsNeverRemoved) {
  Fill(HKEY_CURRENT_USER, "Software\\A", 1);
  auto job = h.MakeJob(DirectClean);
  EXPECT_EQ(RemoveUserKey(*job, ""), 0);
  EXPECT_EQ(RemoveUserKey(*job, "\\"), 0);
  EXPECT_EQ(RemoveUserValues(*job, "", ""), 0);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\A"));
  EXPECT_TRUE(h.TakeLines().empty());
}

// A link key below is removed as itself: what it points to is neither counted nor removed.
TEST_F(RegistryRemoval, LinkBelowGoesAsItselfAndItsTargetStays) {
  Fill(HKEY_LOCAL_MACHINE, "Software\\Shared", 3);
  Fill(HKEY_CURRENT_USER, "Software\\App", 1);
  ASSERT_TRUE(target.Registry()->CreateLink(HKEY_CURRENT_USER, "Software\\App\\Shared",
                                            "\\Registry\\Machine\\Software\\Shared"));
  auto job = h.MakeJob(DirectClean);
  EXPECT_EQ(CountValues(*job, HKEY_CURRENT_USER, "Software\\App"), 1);
  EXPECT_EQ(RemoveUserKey(*job, "Software\\App"), 1);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\App"));
  EXPECT_EQ(ValueCount(HKEY_LOCAL_MACHINE, "Software\\Shared"), 3u);
}

TEST_F(RegistryRemoval, CountValuesOfAKeyThatIsNotThereIsZero) {
  Fill(HKEY_CURRENT_USER, "Software\\A", 2);
  Fill(HKEY_CURRENT_USER, "Software\\A\\B", 2);
  auto job = h.MakeJob(TestRun);
  EXPECT_EQ(CountValues(*job, HKEY_CURRENT_USER, "Software\\A"), 4);
  EXPECT_EQ(CountValues(*job, HKEY_CURRENT_USER, "Software\\Nowhere"), 0);
  EXPECT_EQ(CountValues(*job, HKEY_CLASSES_ROOT, "Software\\A"), 0);
}

}  // namespace
}  // namespace kestrove

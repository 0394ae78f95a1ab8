// reg delete, and the command-line checks every operation shares.
#include "RegToolTestSupport.h"

namespace kestrove::testing {
namespace {

class RegToolDelete : public RegToolFixture {
 protected:
  void SetUp() override {
    Set("Software\\Del", "", REG_DWORD, Dword(1));
    Set("Software\\Del", "foo", REG_DWORD, Dword(2));
    Set("Software\\Del", "bar", REG_SZ, Sz("b"));
    Set("Software\\Del\\Sub\\Deeper", "x", REG_SZ, Sz("x"));
  }
  bool Exists(std::string_view path) { return store_->KeyExists(HKEY_CURRENT_USER, path); }
};

TEST_F(RegToolDelete, KeyGoesWithEverythingBelowAfterYes) {
  const RegRun r = Reg({"delete", "HKCU\\Software\\Del"}, "yes\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\Del (Yes/No)? \n"
            "The operation completed successfully.\n");
  EXPECT_FALSE(Exists("Software\\Del"));
  EXPECT_FALSE(Exists("Software\\Del\\Sub\\Deeper"));
  EXPECT_TRUE(Exists("Software"));
  EXPECT_FALSE(store_->HasUncommittedChanges());
}

TEST_F(RegToolDelete, AnythingButYesKeepsTheKey) {
  for (const char* answer : {"n\n", "", "ja\n"}) {
    const RegRun r = Reg({"delete", "HKCU\\Software\\Del"}, answer);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\Del (Yes/No)? \n"
              "The operation was canceled by the user.\n");
  }
  EXPECT_TRUE(Exists("Software\\Del\\Sub\\Deeper"));
  EXPECT_FALSE(store_->HasUncommittedChanges());
}

TEST_F(RegToolDelete, OneValueTheDefaultOrAllValues) {
  RegRun r = Reg({"delete", "HKCU\\Software\\Del", "/v", "BAR"}, "y\n");
  EXPECT_EQ(r.out, "Delete the registry value BAR (Yes/No)? \nThe operation completed successfully.\n");
  EXPECT_FALSE(Get("Software\\Del", "bar"));
  EXPECT_TRUE(Get("Software\\Del", "foo"));

  r = Reg({"delete", "HKCU\\Software\\Del", "/ve"}, "y\n");
  EXPECT_EQ(r.out, "Delete the registry value (Default) (Yes/No)? \nThe operation completed successfully.\n");
  EXPECT_FALSE(Get("Software\\Del", ""));

  Set("Software\\Del", "", REG_SZ, Sz("again"));
  r = Reg({"delete", "hkey_current_user\\Software\\Del", "/va"}, "y\n");
  EXPECT_EQ(r.out,
            "Delete all values under the registry key HKEY_CURRENT_USER\\Software\\Del (Yes/No)? \n"
            "The operation completed successfully.\n");
  EXPECT_EQ(store_->ValueNames(HKEY_CURRENT_USER, "Software\\Del")->size(), 0u);
  EXPECT_TRUE(Exists("Software\\Del\\Sub\\Deeper"));  // subkeys stay
  EXPECT_FALSE(store_->HasUncommittedChanges());
}

TEST_F(RegToolDelete, ForceAsksNothing) {
  const RegRun r = Reg({"delete", "HKCU\\Software\\Del", "-V", "foo", "-F"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  EXPECT_FALSE(Get("Software\\Del", "foo"));
}

TEST_F(RegToolDelete, MissingKeyOrValueFailsWithoutAsking) {
  const std::string notFound = "ERROR: The system was unable to find the specified registry key or value.\n";
  for (const cli::Args& args : {cli::Args{"delete", "HKCU\\Software\\Nope"},
                                cli::Args{"delete", "HKCU\\Software\\Del", "/v", "nope"},
                                cli::Args{"delete", "HKCU\\Software\\Del\\Sub", "/ve"},
                                cli::Args{"delete", "HKCU\\Software\\Nope", "/va", "/f"}}) {
    const RegRun r = Reg(args, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, notFound);
  }
  EXPECT_FALSE(store_->HasUncommittedChanges());
}

TEST_F(RegToolDelete, RootsAndHivesStay) {
  EXPECT_EQ(Reg({"delete", "HKCU", "/f"}).err, "ERROR: Invalid key name.\nType \"REG DELETE /?\" for usage.\n");
  EXPECT_EQ(opened_, 0);
  const RegRun hive = Reg({"delete", "HKU\\" + store_->UserSid(), "/f"});
  EXPECT_EQ(hive.status, 1);
  EXPECT_EQ(hive.err, "ERROR: Access is denied.\n");
  EXPECT_TRUE(Exists("Software\\Del"));
}

// ---- Command-line checks ----------------------------------------------------------------

class RegToolSyntax : public RegToolFixture {};

TEST_F(RegToolSyntax, BadSwitchesAreInvalidSyntaxAndOpenNothing) {
  const struct {
    cli::Args args;
    const char* op;
  } cases[] = {
      {{"query", "HKCU\\Software", "/v"}, "QUERY"},
      {{"query", "HKCU\\Software", "/v", "a", "/v", "b"}, "QUERY"},
      {{"query", "HKCU\\Software", "/v", "a", "/ve"}, "QUERY"},
      {{"query", "HKCU\\Software", "/s", "/S"}, "QUERY"},
      {{"query", "HKCU\\Software", "/k"}, "QUERY"},
      {{"query", "HKCU\\Software", "/f", "x", "/v", "a"}, "QUERY"},
      {{"query", "HKCU\\Software", "/t", "REG_NOPE"}, "QUERY"},
      {{"query", "HKCU\\Software", "extra"}, "QUERY"},
      {{"query", "HKCU\\Software", "/reg:32"}, "QUERY"},
      {{"query"}, "QUERY"},
      {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "1", "/v", "b"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/d", "1", "/d", "2"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/f", "/f"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/v", "a", "/ve"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/d", "Test", "/f", "/v"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/v", "a", "/ae"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/v", "a", "/"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/v", "a", "-"}, "ADD"},
      {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "", "/d", "x"}, "ADD"},
      {{"delete", "HKCU\\Software\\X", "/v", "a", "/va"}, "DELETE"},
      {{"delete", "HKCU\\Software\\X", "/ve", "/va"}, "DELETE"},
      {{"delete", "HKCU\\Software\\X", "/va", "/va"}, "DELETE"},
      {{"delete", "HKCU\\Software\\X", "/f", "/v"}, "DELETE"},
      {{"frob", "HKCU\\Software"}, nullptr},
      {{}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RegRun r = Reg(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("ERROR: Invalid syntax.\nType \"REG ") + (c.op ? c.op + std::string(" ") : "") +
                         "/?\" for usage.\n");
  }
  EXPECT_EQ(opened_, 0);
  EXPECT_FALSE(store_->KeyExists(HKEY_CURRENT_USER, "Software\\X"));
}

TEST_F(RegToolSyntax, KeyNamesRegExeRefuses) {
  for (const char* key : {"HKCU\\", "HKEY_CURRENT_USER\\", "HKCU\\A\\\\", "HKCU\\\\A", "HKCU\\A\\\\B", "HKXX\\A",
                          "HKCUX\\A", "\\HKCU\\A", "\\\\host\\HKLM\\A", "HKEY_DYN_DATA\\A", ""}) {
    SCOPED_TRACE(key);
    const RegRun r = Reg({"add", key, "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n");
  }
  EXPECT_EQ(opened_, 0);
  auto key = cli::ParseRegKey("hkcc\\System\\");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->root, HKEY_CURRENT_CONFIG);
  EXPECT_EQ(key->path, "System");
  EXPECT_EQ(key->display, "HKEY_CURRENT_CONFIG\\System");
}

TEST_F(RegToolSyntax, HelpForTheToolAndEachOperation) {
  for (const char* help : {"/?", "-?", "/h", "-H"}) {
    RegRun r = Reg({help});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("QUERY | ADD | DELETE"), std::string::npos);
    r = Reg({"Query", help});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("REG QUERY KEY", 0), 0u);
    EXPECT_EQ(Reg({"ADD", help}).out.rfind("REG ADD KEY", 0), 0u);
    EXPECT_EQ(Reg({"delete", help}).out.rfind("REG DELETE KEY", 0), 0u);
    // Help asked for alongside other parameters is a syntax error.
    EXPECT_EQ(Reg({"query", "HKCU", help}).status, 1);
  }
  EXPECT_EQ(opened_, 0);
}

}  // namespace
}  // namespace kestrove::testing

// The rows kestrove-cli writes for scripts: JSON strings stay valid JSON whatever bytes a
// path or registry value holds, TSV fields never split a row, and a JSON array is closed on
// every way out.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/OutputFormat.h"

namespace kestrove::cli {
namespace {

TEST(OutputFormat, JsonStringEscapesAndReplacesWhatIsNotUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"C:\\Temp\\a \"b\".txt", R"("C:\\Temp\\a \"b\".txt")"},
      {"line\nbreak\r\ttab", R"("line\nbreak\r\ttab")"},
      {std::string("nul\0bell\x07\x1f", 10), R"("nul\u0000bell\u0007\u001f")"},
      {"\x7f", "\"\x7f\""},
      // Valid sequences of two, three and four bytes pass as they are.
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xed\x9f\xbf\xf4\x8f\xbf\xbf", "\"\xed\x9f\xbf\xf4\x8f\xbf\xbf\""},  // U+D7FF, U+10FFFF
      // Each byte that starts no valid sequence is one U+FFFD; what follows is read afresh.
      {"a\x80z", R"("a\ufffdz")"},                    // a lone continuation byte
      {"\xc0\xaf", R"("\ufffd\ufffd")"},              // an overlong '/'
      {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")"},    // overlong in three bytes
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},    // a UTF-16 surrogate
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
      {"\xf5", R"("\ufffd")"},
      {"\xe2\x82", R"("\ufffd\ufffd")"},              // cut short at the end
      {"\xe2\x82z", R"("\ufffd\ufffdz")"},            // cut short by an ASCII byte
      {"\xc3\xa9\xe9", "\"\xc3\xa9\\ufffd\""},          // Latin-1 after valid UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.in), c.out) << c.in;
}

TEST(OutputFormat, TsvFieldsNeverSplitARow) {
  EXPECT_EQ(TsvField("a\tb\nc\r\nd"), "a b c  d");
  EXPECT_EQ(TsvField("C:\\x y\\z"), "C:\\x y\\z");  // backslashes, the paths' separator, stay
}

// Every kind of value in both forms, and the empty and the unfinished array.
TEST(OutputFormat, RowsInBothFormats) {
  const std::vector<std::string> fields = {"name", "size", "ok", "files", "system"};
  const std::vector<TValue> row = {"a\tb", std::uint64_t{18446744073709551615u}, TValue::Bool(false),
                                   TValue::List({"user.reg", "system.reg"}), TValue::Null()};
  std::ostringstream tsv, json, empty, emptyTsv;
  {
    TRecordWriter t(tsv, TOutputFormat::Tsv, fields);
    t.Row(row);
    TRecordWriter j(json, TOutputFormat::Json, fields);
    j.Row(row);
    j.Row({"second", 1, TValue::Bool(true), TValue::List({}), "x"});
    TRecordWriter e(empty, TOutputFormat::Json, fields);
    TRecordWriter et(emptyTsv, TOutputFormat::Tsv, fields);
  }  // closed by the destructors
  EXPECT_EQ(tsv.str(), "name\tsize\tok\tfiles\tsystem\na b\t18446744073709551615\tfalse\tuser.reg system.reg\t\n");
  EXPECT_EQ(json.str(),
            "[\n"
            "  {\"name\": \"a\\tb\", \"size\": 18446744073709551615, \"ok\": false, "
            "\"files\": [\"user.reg\", \"system.reg\"], \"system\": null},\n"
            "  {\"name\": \"second\", \"size\": 1, \"ok\": true, \"files\": [], \"system\": \"x\"}\n"
            "]\n");
  EXPECT_EQ(empty.str(), "[]\n");
  EXPECT_EQ(emptyTsv.str(), "name\tsize\tok\tfiles\tsystem\n");
}

}  // namespace
}  // namespace kestrove::cli

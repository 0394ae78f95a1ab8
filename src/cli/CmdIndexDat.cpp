// kestrove-cli index-dat FILE: the rows the index.dat viewer shows, one per line (URL, a tab,
// the time text), or as rows for scripts. FILE is a path of this machine; no target is needed.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "cli/Commands.h"
#include "cli/OutputFormat.h"
#include "tools/IndexDat.h"

namespace kestrove::cli {

namespace {

// The record's kind by its signature: "URL ", "LEAK" or "REDR".
const char* KindWord(TIndexDatRecordKind kind) {
  switch (kind) {
    case TIndexDatRecordKind::Leak: return "leak";
    case TIndexDatRecordKind::Redirect: return "redirect";
    case TIndexDatRecordKind::Url: break;
  }
  return "url";
}

}  // namespace

int CmdIndexDat(CliContext& ctx, const Args& args) {
  Args words = args;
  TOutputFormat format = TOutputFormat::Plain;
  if (!TakeFormatOption(words, format, ctx.err)) return 2;
  for (const std::string& a : words)
    if (IsOption(a)) return UnknownOption(ctx, a);
  if (words.size() != 1 || words[0].empty()) {
    ctx.err << "Usage: kestrove-cli index-dat FILE [--format tsv|json]\n";
    return 2;
  }
  const std::string& path = words[0];
  std::vector<TIndexDatRecord> records;
  errno = 0;
  if (!ReadIndexDat(path, records)) {
    const int error = errno;
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    std::string why;
    if (!std::filesystem::exists(status))
      why = "no such file";
    else if (!std::filesystem::is_regular_file(status))
      why = "not a regular file";
    else
      why = error != 0 ? std::strerror(error) : "cannot be read";
    ctx.err << "kestrove-cli: " << path << ": " << why << "\n";
    return 1;
  }
  if (format != TOutputFormat::Plain) {
    TRecordWriter rows(ctx.out, format, {"url", "time", "filetime", "kind"});
    for (const TIndexDatRecord& r : records)
      rows.Row({r.Url, IndexDatTimeText(r.FileTime), r.FileTime, KindWord(r.Kind)});
    return 0;
  }
  std::string text;
  for (const TIndexDatRecord& r : records) {
    text += r.Url;
    text += '\t';
    text += IndexDatTimeText(r.FileTime);
    text += '\n';
  }
  ctx.out << text;
  return 0;
}

}  // namespace kestrove::cli

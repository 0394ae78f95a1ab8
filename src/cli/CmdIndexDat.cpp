// kestrove-cli index-dat FILE: the rows the index.dat viewer shows, one per line (URL, a tab,
// the time text). FILE is a path of this machine; no target is needed.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "cli/Commands.h"
#include "tools/IndexDat.h"

namespace kestrove::cli {

int CmdIndexDat(CliContext& ctx, const Args& args) {
  if (args.size() != 1 || args[0].empty()) {
    ctx.err << "Usage: kestrove-cli index-dat FILE\n";
    return 2;
  }
  const std::string& path = args[0];
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

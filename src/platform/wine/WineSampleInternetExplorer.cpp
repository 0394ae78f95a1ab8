#include "platform/wine/WineSampleInternetExplorer.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "platform/UrlCache.h"

namespace kestrove::wine {

namespace fs = std::filesystem;

namespace {

// Copies a folder of the template into a folder of the sample, file by file.
void CopyInto(SampleBuilder& b, const fs::path& from, const std::string& windowsFolder) {
  std::error_code ec;
  if (!fs::is_directory(from, ec)) return;
  for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string relative = fs::relative(it->path(), from, ec).generic_string();
    for (char& c : relative)
      if (c == '/') c = '\\';
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) throw SampleError("Cannot read " + it->path().string());
    b.File(windowsFolder + "\\" + relative, bytes.str());
  }
}

}  // namespace

void InternetExplorerTraces(SampleBuilder& b, const fs::path& templateFolder) {
  TargetSystem& t = b.Target();
  const fs::path ie = templateFolder / "ie";
  const std::string local = t.UserProfileFolder() + "\\AppData\\Local\\Microsoft\\Windows\\";
  const std::string cache = t.ShellFolder("Cache").value_or(local + "INetCache");
  CopyInto(b, ie / "INetCache", cache);
  // wininet stores no page while a cache folder its index names is missing, and the template
  // cannot hold the empty ones.
  std::ifstream in(ie / "INetCache" / "Content.IE5" / "index.dat", std::ios::binary);
  const std::vector<std::uint8_t> index{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (auto parsed = TUrlCacheIndex::Parse(index))
    for (const std::string& name : parsed->Folders()) b.Folder(cache + "\\Content.IE5\\" + name);
  CopyInto(b, ie / "INetCookies", t.ShellFolder("Cookies").value_or(local + "INetCookies"));
  CopyInto(b, ie / "History", t.ShellFolder("History").value_or(local + "History"));
  const char* key = "Software\\Microsoft\\Internet Explorer";
  b.String(HKEY_CURRENT_USER, key, "Download Directory", "C:\\users\\Public\\Downloads");
  b.String(HKEY_CURRENT_USER,
           "Software\\Microsoft\\Internet Explorer\\Explorer Bars\\{C4EE31F3-4768-11D2-BE5C-00A0C9A83DA1}\\FilesNamedMRU",
           "000", "budget.xls");
}

}  // namespace kestrove::wine

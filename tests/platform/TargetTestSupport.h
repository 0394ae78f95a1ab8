// Helpers shared by the target-system tests: temporary folders and a copy of the real fresh
// Wine prefix's registry files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

  // Writes a file below the folder, creating its parents.
  std::filesystem::path Write(const std::filesystem::path& rel, std::string_view contents = "") const {
    const std::filesystem::path p = path_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << contents;
    return p;
  }
  std::filesystem::path Mkdir(const std::filesystem::path& rel) const {
    std::filesystem::create_directories(path_ / rel);
    return path_ / rel;
  }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path FreshPrefixData() {
  return std::filesystem::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "wine-8.0-fresh";
}

// Builds a Wine prefix in `folder` from the real fresh prefix's registry files: dosdevices
// with c: -> ../drive_c and z: -> /, and an empty drive_c. False when the data is absent.
inline bool MakeFreshPrefix(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  const fs::path data = FreshPrefixData();
  if (!fs::is_regular_file(data / "system.reg")) return false;
  fs::create_directories(folder / "dosdevices");
  fs::create_directories(folder / "drive_c");
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    fs::copy_file(data / name, folder / name, fs::copy_options::overwrite_existing);
    fs::permissions(folder / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  }
  fs::create_symlink("../drive_c", folder / "dosdevices" / "c:");
  fs::create_symlink("/", folder / "dosdevices" / "z:");
  return true;
}

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kestrove::testing

// INI files: any bytes read without fault; a written value reads back as written and
// leaves every other section's values as they were.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "app/IniFile.h"

namespace {

// Keeps the one file in memory so that the fuzzer never touches the disk.
class MemoryEnv : public kestrove::Env {
 public:
  std::string content;
  bool exists = true;

  std::optional<std::string> ReadFile(const std::filesystem::path&, std::uint64_t, std::string& error,
                                      kestrove::ReadFailure* why = nullptr) override {
    if (!exists) {
      error = "missing";
      if (why) *why = kestrove::ReadFailure::Missing;
      return std::nullopt;
    }
    return content;
  }
  std::optional<std::string> ReadFileHead(const std::filesystem::path&, std::size_t maxBytes) override {
    if (!exists) return std::nullopt;
    return content.substr(0, maxBytes);
  }
  std::optional<kestrove::FileStamp> Stat(const std::filesystem::path&) override {
    if (!exists) return std::nullopt;
    kestrove::FileStamp s;
    s.size = static_cast<std::int64_t>(content.size());
    return s;
  }
  std::unique_ptr<kestrove::WritableFile> NewWritableFile(const std::filesystem::path&, std::string&) override {
    return std::make_unique<File>(pending);
  }
  bool Rename(const std::filesystem::path&, const std::filesystem::path&, std::string&) override {
    content = pending;
    exists = true;
    return true;
  }
  bool Remove(const std::filesystem::path&) override { return true; }

 private:
  class File : public kestrove::WritableFile {
   public:
    explicit File(std::string& out) : out_(out) { out_.clear(); }
    bool Append(std::string_view data) override {
      out_.append(data);
      return true;
    }
    bool Sync() override { return true; }
    bool Close() override { return true; }
    const std::string& Error() const override { return error_; }

   private:
    std::string& out_;
    std::string error_;
  };
  std::string pending;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto env = std::make_shared<MemoryEnv>();
  env->content.assign(reinterpret_cast<const char*>(data), size);
  kestrove::TIniFile ini("/fuzz/options.ini", env);
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> before;
  for (const std::string& section : ini.ReadSections()) {
    before[section] = ini.ReadSectionValues(section);
    for (const std::string& key : ini.ReadSection(section)) {
      (void)ini.ReadInteger(section, key, 7);
      (void)ini.ReadBool(section, key, true);
    }
  }
  try {
    ini.WriteString("Fuzz Section", "Fuzz Key", "value \"quoted\" ");
  } catch (const kestrove::EIniFileError&) {
    return 0;  // a file it cannot change safely is refused, never damaged
  }
  if (ini.ReadString("fuzz section", "FUZZ KEY", "") != "value \"quoted\" ") std::abort();
  auto isFuzzSection = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s == "fuzz section";
  };
  for (auto& [section, values] : before) {
    if (!ini.SectionExists(section)) std::abort();
    if (isFuzzSection(section)) continue;
    if (ini.ReadSectionValues(section) != values) std::abort();
  }
  return 0;
}

#include "app/CookieKeepList.h"

#include <map>

#include "app/IniFile.h"

namespace kestrove {

namespace {

// Serves the one copy of the file that was checked, so that the parse sees exactly those bytes.
class TSnapshotEnv : public EnvWrapper {
 public:
  TSnapshotEnv(std::shared_ptr<Env> inner, std::string text) : EnvWrapper(std::move(inner)), text_(std::move(text)) {}
  std::optional<std::string> ReadFile(const std::filesystem::path&, std::uint64_t, std::string&,
                                      ReadFailure* why) override {
    if (why) *why = ReadFailure::None;
    return text_;
  }

 private:
  std::string text_;
};

TCookieKeepList Damaged(const std::filesystem::path& file, const std::string& why) {
  TCookieKeepList list;
  list.Ok = false;
  list.Error = "the cookie keep list " + file.string() + " " + why;
  return list;
}

}  // namespace

TCookieKeepList ReadCookieKeepList(const std::filesystem::path& file, std::shared_ptr<Env> env) {
  std::string error;
  ReadFailure why = ReadFailure::None;
  auto text = env->ReadFile(file, kMaxSettingsFileBytes, error, &why);
  if (!text) {
    if (why == ReadFailure::Missing) {
      // A link whose file is gone is a list the user made and lost, not "no list": read as
      // empty it would take every cookie.
      std::error_code ec;
      if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, ec)))
        return Damaged(file, "is a link to a file that is not there");
      return {};
    }
    if (why == ReadFailure::Refused) return Damaged(file, "is not a regular file of a sensible size");
    return Damaged(file, "cannot be read" + (error.empty() ? std::string() : " (" + error + ")"));
  }
  if (text->find('\0') != std::string::npos) return Damaged(file, "is damaged (it holds binary data)");

  TIniFile ini(file, std::make_shared<TSnapshotEnv>(env, std::move(*text)));
  std::int32_t count = 0;
  try {
    const bool counted = ini.ValueExists(kCookieKeepListSection, "Count");
    if (counted) {
      const auto parsed = ParseIniInteger(ini.ReadString(kCookieKeepListSection, "Count", ""));
      if (!parsed || *parsed < 0) return Damaged(file, "is damaged (its Count is not a number of cookies)");
      count = *parsed;
    }
    std::map<std::int64_t, std::string> byIndex;
    for (auto& [key, value] : ini.ReadSectionValues(kCookieKeepListSection)) {
      const auto index = ParseIniInteger(key);
      if (!index || key.find_first_not_of("0123456789") != std::string::npos) continue;
      // The dialog always writes Count with the names: names without it are a list cut
      // short or edited by hand, which cannot say how many of them are meant.
      if (!counted && !value.empty()) return Damaged(file, "is damaged (it names cookies but has no Count)");
      // Keys past Count are left over from a longer list the Options dialog wrote before:
      // they are not part of the list.
      if (value.empty() || *index >= count) continue;
      byIndex[*index] = value;
    }
    TCookieKeepList list;
    for (auto& [index, name] : byIndex) list.Names.push_back(std::move(name));
    return list;
  } catch (const std::exception& e) {
    return Damaged(file, std::string("cannot be read (") + e.what() + ")");
  }
}

// The dialog writes the section as "Cookies to Keep"; section names match regardless of case.
constexpr const char* kDialogSection = "Cookies to Keep";

std::vector<std::string> CookieKeepListNames(const std::filesystem::path& file) {
  const TIniFile ini(file);
  const std::int32_t count = ini.ReadInteger(kDialogSection, "Count", 0);
  // Only the keys the file holds are read, in number order: a huge Count costs nothing.
  std::map<std::uint32_t, std::string> filed;
  for (const std::string& key : ini.ReadSection(kDialogSection)) {
    if (key.empty() || key.size() > 9 || key.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto index = static_cast<std::uint32_t>(std::stoul(key));
    if (std::to_string(index) == key && static_cast<std::int64_t>(index) < count)
      filed[index] = ini.ReadString(kDialogSection, key, "");
  }
  std::vector<std::string> names;
  for (auto& [index, name] : filed)
    if (!name.empty()) names.push_back(std::move(name));
  return names;
}

void WriteCookieKeepList(const std::filesystem::path& file, const std::vector<std::string>& names) {
  TIniFile ini(file);
  ini.WriteInteger(kDialogSection, "Count", static_cast<std::int32_t>(names.size()));
  for (std::size_t i = 0; i < names.size(); ++i) ini.WriteString(kDialogSection, std::to_string(i), names[i]);
  // The names of a longer list written before go, so the file holds this list only.
  for (const std::string& key : ini.ReadSection(kDialogSection)) {
    if (key.empty() || key.find_first_not_of("0123456789") != std::string::npos) continue;
    if (key.size() > 9 || std::stoul(key) >= names.size()) ini.DeleteKey(kDialogSection, key);
  }
}

}  // namespace kestrove

#include "cleaner/CleanCatalogue.h"

#include <algorithm>
#include <cctype>

#include "app/Helpers.h"
#include "app/IniFile.h"
#include "platform/TRegistry.h"

namespace kestrove {

TCleanCatalogue::TCleanCatalogue() {
  AddCategory("Internet Explorer", 1,
              {"Recently Typed URLs", "Cookies", "Visited URL History", "Last Download Location",
               "Temporary Internet Files", "Index.dat Files", "Autocomplete History"});
  AddCategory("Windows", 2,
              {"Recent Documents", "Start Run", "Search Assistant", "Empty Recycle Bin", "Temporary Files",
               "Clipboard", "Memory Dumps", "Chkdsk File Fragments", "Windows Log Files"});
  AddCategory("Netscape", 3,
              {"Cookies", "Visited URL History", "Temporary Internet Files", "Preferences", "Saved Form Information"});
  AddCategory("Opera", 4,
              {"Recently Typed URLs", "Cookies", "Visited URL History", "Temporary Internet Files",
               "Autocomplete History", "Transfers"});
  AddCategory("Mozilla Firefox", 5,
              {"Cookies", "Visited URL History", "Download Manager", "Temporary Internet Files",
               "Autocomplete History", "Preferences", "Saved Form Information"});
  AddCategory("Google Chrome", 11,
              {"Temporary Internet Files", "Cookies", "Visited URL History", "Stored passwords in Forms"});
  AddCategory("Advanced", 6,
              {"Open File History", "Menu Order Cache", "Tray Notifications Cache", "User Assist History", "Paint",
               "Google Toolbar History", "MSN Toolbar History", "Yahoo! Toolbar History"});
  AddCategory("Microsoft Office", 7, {"Access", "Excel", "FrontPage", "Powerpoint", "Word", "Recent Files"});
  AddCategory("Instant Messengers", 8,
              {"MSN Messenger", "Yahoo! Messenger", "ICQ", "AOL Instant Messenger", "Skype"});
  AddCategory("Applications", 9, {});
  AddCategory("Custom Lists", 10, {"<New List>"});
}

TCatalogueNode& TCleanCatalogue::AddCategory(const std::string& text, int imageIndex,
                                             const std::vector<std::string>& items) {
  auto category = std::make_unique<TCatalogueNode>();
  category->Text = text;
  category->ImageIndex = imageIndex;
  for (const std::string& item : items) {
    auto node = std::make_unique<TCatalogueNode>();
    node->Text = item;
    node->Parent = category.get();
    category->Children.push_back(std::move(node));
  }
  categories_.push_back(std::move(category));
  return *categories_.back();
}

TCatalogueNode* TCleanCatalogue::FindCategory(const std::string& text) const {
  for (const auto& c : categories_)
    if (UpperCase(c->Text) == UpperCase(text)) return c.get();
  return nullptr;
}

void TCleanCatalogue::FillApplications(const std::vector<std::string>& sectionNames,
                                       const std::vector<std::string>& displayNames) {
  TCatalogueNode* apps = FindCategory("Applications");
  if (!apps) return;
  for (const std::string& display : displayNames) {
    if (display.empty()) continue;
    const std::string displayUpper = UpperCase(display);
    for (const std::string& section : sectionNames) {
      const std::string sectionUpper = UpperCase(section);
      if (sectionUpper.find(displayUpper) == std::string::npos && displayUpper.find(sectionUpper) == std::string::npos)
        continue;
      bool present = std::any_of(apps->Children.begin(), apps->Children.end(),
                                 [&](const auto& child) { return UpperCase(child->Text) == sectionUpper; });
      if (present) continue;
      auto node = std::make_unique<TCatalogueNode>();
      node->Text = section;
      node->Parent = apps;
      apps->Children.push_back(std::move(node));
    }
  }
}

std::vector<std::string> InstalledDisplayNames(TargetSystem& target) {
  static const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  std::vector<std::string> names;
  TRegistry reg(target.Registry());
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(kUninstall, false)) return names;
  std::vector<std::string> subkeys;
  reg.GetKeyNames(subkeys);
  for (const std::string& subkey : subkeys) {
    TRegistry entry(target.Registry());
    entry.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!entry.OpenKey(kUninstall + "\\" + subkey, false)) continue;
    try {
      names.push_back(entry.ReadString("DisplayName"));
    } catch (const ERegistryException&) {
      names.emplace_back();  // not a string: treated as missing
    }
  }
  return names;
}

void TCleanCatalogue::FillApplications(TargetSystem& target, const std::string& programFolder) {
  TIniFile definitions(programFolder + "qvtk.dat");
  FillApplications(definitions.ReadSections(), InstalledDisplayNames(target));
}

void TCleanCatalogue::ToggleState(TCatalogueNode& node) {
  if (node.StateIndex == kStateUnchecked)
    node.StateIndex = kStateChecked;
  else if (node.StateIndex == kStateChecked)
    node.StateIndex = kStateUnchecked;
  else
    return;
  if (!node.Parent) {
    for (auto& child : node.Children) child->StateIndex = node.StateIndex;
    return;
  }
  bool any = std::any_of(node.Parent->Children.begin(), node.Parent->Children.end(),
                         [](const auto& child) { return child->StateIndex == kStateChecked; });
  node.Parent->StateIndex = any ? kStateChecked : kStateUnchecked;
}

std::string TCleanCatalogue::ItemName(const TCatalogueNode& node) {
  return node.Parent ? node.Parent->Text + " - " + node.Text : node.Text;
}

std::vector<std::string> TCleanCatalogue::CollectSelection() const {
  std::vector<std::string> names;
  for (const auto& category : categories_)
    for (const auto& item : category->Children)
      if (item->StateIndex == kStateChecked) names.push_back(ItemName(*item));
  return names;
}

bool TCleanCatalogue::MarkByName(const std::string& name) {
  for (const auto& category : categories_) {
    if (category->Text == name) {
      category->StateIndex = kStateChecked;
      return true;
    }
    for (const auto& item : category->Children) {
      if (ItemName(*item) == name) {
        item->StateIndex = kStateChecked;
        return true;
      }
    }
  }
  return false;
}

void TCleanCatalogue::ClearMarks() {
  for (const auto& category : categories_) {
    category->StateIndex = kStateUnchecked;
    for (const auto& item : category->Children) item->StateIndex = kStateUnchecked;
  }
}

bool TCleanCatalogue::FirefoxCategoryChecked() const {
  return std::any_of(categories_.begin(), categories_.end(), [](const auto& c) {
    return c->Text == "Mozilla Firefox" && c->StateIndex == kStateChecked;
  });
}

}  // namespace kestrove

#include "cleaner/ItemIds.h"

#include <set>

#include "platform/Text.h"

namespace kestrove {

std::string IdWord(std::string_view text) {
  std::string word;
  bool gap = false;
  for (const char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) {
      gap = !word.empty();
      continue;
    }
    if (gap) word += '-';
    gap = false;
    word += AsciiLower(c);
  }
  return word.empty() ? "item" : word;
}

std::vector<TCatalogueId> CatalogueIds(const TCleanCatalogue& catalogue) {
  std::vector<TCatalogueId> ids;
  std::set<std::string> used;
  const auto unique = [&](const std::string& id) {
    std::string candidate = id;
    for (int n = 2; !used.insert(candidate).second; ++n) candidate = id + "-" + std::to_string(n);
    return candidate;
  };
  for (const auto& category : catalogue.Categories()) {
    const std::string categoryId = unique(IdWord(category->Text));
    ids.push_back({category.get(), categoryId});
    for (const auto& item : category->Children)
      ids.push_back({item.get(), unique(categoryId + "." + IdWord(item->Text))});
  }
  return ids;
}

const TCatalogueNode* FindById(const std::vector<TCatalogueId>& ids, std::string_view id) {
  const std::string wanted = AsciiLower(id);
  for (const TCatalogueId& entry : ids)
    if (entry.Id == wanted) return entry.Node;
  return nullptr;
}

std::string IdOf(const std::vector<TCatalogueId>& ids, const TCatalogueNode& node) {
  for (const TCatalogueId& entry : ids)
    if (entry.Node == &node) return entry.Id;
  return {};
}

}  // namespace kestrove

// Ids of the clean items for scripts and the command line: the category's and the item's
// text, lower case, each run of other characters than ASCII letters and digits one '-'
// ("Windows - Recent Documents" is windows.recent-documents, the category Windows is
// windows). They follow from the texts alone, so they stay the same from one run to the next;
// the rare texts that fold to the same id (application items from the definition file such as
// "Foo+" and "Foo-") are told apart by "-2", "-3"... in tree order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cleaner/CleanCatalogue.h"

namespace kestrove {

struct TCatalogueId {
  const TCatalogueNode* Node = nullptr;  // a category or an item
  std::string Id;
};

// One text's part of an id: "Index.dat Files" -> "index-dat-files"; "item" when nothing of
// the text is left (a name in another script).
std::string IdWord(std::string_view text);

// Every category and item of `catalogue` with its id, in tree order (a category, then its
// items).
std::vector<TCatalogueId> CatalogueIds(const TCleanCatalogue& catalogue);

// The node whose id is `id`, in any case; nullptr when none is.
const TCatalogueNode* FindById(const std::vector<TCatalogueId>& ids, std::string_view id);

// The id of `node`; "" when it is not in `ids`.
std::string IdOf(const std::vector<TCatalogueId>& ids, const TCatalogueNode& node);

}  // namespace kestrove

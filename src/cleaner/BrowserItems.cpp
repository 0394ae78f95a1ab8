// The browser items are built later; until then they find nothing.
#include "cleaner/ItemOperations.h"

namespace kestrove {

std::vector<TItemEntry> BrowserItemOperations() { return {}; }

}  // namespace kestrove

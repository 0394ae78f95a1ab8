// Placeholder until the Windows, Advanced, Office and messenger items are built.
#include "cleaner/ItemOperations.h"

namespace kestrove {

std::vector<TItemEntry> WindowsItemOperations() { return {}; }

}  // namespace kestrove

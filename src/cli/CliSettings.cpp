// The stored settings for the commands that have no clean items to tick.
#include "app/CheckTree.h"
#include "cli/Commands.h"

namespace kestrove::cli {

namespace {

// Loading the settings marks the cleaner's tree; these commands have none.
class TNoItemTree : public ICheckTree {
 public:
  std::size_t TopCount() const override { return 0; }
  Node Top(std::size_t) const override { return 0; }
  std::size_t ChildCount(Node) const override { return 0; }
  Node Child(Node, std::size_t) const override { return 0; }
  std::string Text(Node) const override { return {}; }
  int ImageIndex(Node) const override { return 0; }
  bool Checked(Node) const override { return false; }
  void SetChecked(Node, bool) override {}
  bool Expanded(Node) const override { return false; }
  void SetExpanded(Node, bool) override {}
};

}  // namespace

TOptionsSetting LoadSettingsWithoutItems(const TIniFile& ini) {
  TOptionsSetting options;
  TNoItemTree tree;
  options.Load(ini, tree, TWindowDefaults{});
  return options;
}

}  // namespace kestrove::cli

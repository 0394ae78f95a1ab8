// The clean items as a two-level tree: categories, and the items below them. The command-
// line tool and the tests use it as it is; the window shows it in its tree view.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/CheckTree.h"
#include "platform/TargetSystem.h"

namespace kestrove {

// State images: 1 an empty check box, 2 a ticked one.
inline constexpr int kStateUnchecked = 1;
inline constexpr int kStateChecked = 2;

struct TCatalogueNode {
  std::string Text;
  int ImageIndex = 0;
  int StateIndex = kStateUnchecked;
  bool Expanded = false;
  TCatalogueNode* Parent = nullptr;
  std::vector<std::unique_ptr<TCatalogueNode>> Children;
};

class TCleanCatalogue : public ICheckTree {
 public:
  // The whole catalogue in tree order, nothing checked, "Applications" empty.
  TCleanCatalogue();

  const std::vector<std::unique_ptr<TCatalogueNode>>& Categories() const { return categories_; }
  TCatalogueNode* FindCategory(const std::string& text) const;  // without regard to case

  // Fills "Applications" with the sections of qvtk.dat that match an installed program's
  // display name (either contains the other, compared in upper case), each once.
  void FillApplications(const std::vector<std::string>& sectionNames, const std::vector<std::string>& displayNames);
  // The same from the program's qvtk.dat and the target's Uninstall entries.
  void FillApplications(TargetSystem& target, const std::string& programFolder);

  // A click on a node's check box: toggles it; a category passes its new state to its
  // items; an item sets its category checked when any of its siblings is.
  void ToggleState(TCatalogueNode& node);
  // Item names ("Category - Item") of the checked items, in tree order.
  std::vector<std::string> CollectSelection() const;
  // Checks an item by its item name, or a category by its text (exact comparison).
  bool MarkByName(const std::string& name);
  void ClearMarks();
  bool FirefoxCategoryChecked() const;
  // The item name of a node.
  static std::string ItemName(const TCatalogueNode& node);

  // ICheckTree
  std::size_t TopCount() const override { return categories_.size(); }
  Node Top(std::size_t index) const override { return reinterpret_cast<Node>(categories_[index].get()); }
  std::size_t ChildCount(Node node) const override { return N(node)->Children.size(); }
  Node Child(Node node, std::size_t index) const override {
    return reinterpret_cast<Node>(N(node)->Children[index].get());
  }
  std::string Text(Node node) const override { return N(node)->Text; }
  int ImageIndex(Node node) const override { return N(node)->ImageIndex; }
  bool Checked(Node node) const override { return N(node)->StateIndex == kStateChecked; }
  void SetChecked(Node node, bool checked) override { N(node)->StateIndex = checked ? kStateChecked : kStateUnchecked; }
  bool Expanded(Node node) const override { return N(node)->Expanded; }
  void SetExpanded(Node node, bool expanded) override { N(node)->Expanded = expanded; }

 private:
  static TCatalogueNode* N(Node node) { return reinterpret_cast<TCatalogueNode*>(node); }
  TCatalogueNode& AddCategory(const std::string& text, int imageIndex, const std::vector<std::string>& items);
  std::vector<std::unique_ptr<TCatalogueNode>> categories_;
};

// The Uninstall entries' display names of a target, in the order listed.
std::vector<std::string> InstalledDisplayNames(TargetSystem& target);

}  // namespace kestrove

// A tree of nodes with check marks, as the settings store and the jobs see the window's two
// trees (the cleaner items and the registry sections). The window implements it over its
// tree widgets, the command-line tool over the item catalogue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kestrove {

class ICheckTree {
 public:
  // An opaque handle the tree gives out; valid while the tree's shape does not change.
  using Node = std::uintptr_t;

  virtual ~ICheckTree() = default;

  // The top-level nodes and the children of a node, in tree order.
  virtual std::size_t TopCount() const = 0;
  virtual Node Top(std::size_t index) const = 0;
  virtual std::size_t ChildCount(Node node) const = 0;
  virtual Node Child(Node node, std::size_t index) const = 0;

  virtual std::string Text(Node node) const = 0;
  virtual int ImageIndex(Node node) const = 0;

  // The node's own mark: setting it changes no other node.
  virtual bool Checked(Node node) const = 0;
  virtual void SetChecked(Node node, bool checked) = 0;

  virtual bool Expanded(Node node) const = 0;
  virtual void SetExpanded(Node node, bool expanded) = 0;
};

// Calls visit for every node, depth-first in tree order. depth is 0 for top-level nodes;
// parent is the node above (meaningless at depth 0).
void WalkCheckTree(const ICheckTree& tree,
                   const std::function<void(ICheckTree::Node node, ICheckTree::Node parent, int depth)>& visit);

// The name by which a checked node is stored and handed to the jobs: a second-level node's
// category text, " - " and its own text; any other node's own text.
std::string CheckTreeItemName(const ICheckTree& tree, ICheckTree::Node node, ICheckTree::Node parent, int depth);

}  // namespace kestrove

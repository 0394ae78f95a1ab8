#include "app/CheckTree.h"

namespace kestrove {

namespace {

void WalkChildren(const ICheckTree& tree, ICheckTree::Node parent, int depth,
                  const std::function<void(ICheckTree::Node, ICheckTree::Node, int)>& visit) {
  std::size_t count = tree.ChildCount(parent);
  for (std::size_t i = 0; i < count; ++i) {
    ICheckTree::Node child = tree.Child(parent, i);
    visit(child, parent, depth);
    WalkChildren(tree, child, depth + 1, visit);
  }
}

}  // namespace

void WalkCheckTree(const ICheckTree& tree,
                   const std::function<void(ICheckTree::Node node, ICheckTree::Node parent, int depth)>& visit) {
  std::size_t count = tree.TopCount();
  for (std::size_t i = 0; i < count; ++i) {
    ICheckTree::Node top = tree.Top(i);
    visit(top, ICheckTree::Node{}, 0);
    WalkChildren(tree, top, 1, visit);
  }
}

std::string CheckTreeItemName(const ICheckTree& tree, ICheckTree::Node node, ICheckTree::Node parent, int depth) {
  if (depth == 1) return tree.Text(parent) + " - " + tree.Text(node);
  return tree.Text(node);
}

}  // namespace kestrove

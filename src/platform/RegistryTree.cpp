#include "platform/RegistryTree.h"

#include <algorithm>
#include <chrono>

namespace kestrove::regtree {

namespace {
// First child whose name is not less than `name`.
template <typename Vec, typename GetName>
std::size_t LowerBound(const Vec& v, std::string_view name, GetName get) {
  std::size_t lo = 0, hi = v.size();
  while (lo < hi) {
    std::size_t mid = (lo + hi) / 2;
    if (CompareNames(get(v[mid]), name) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}
}  // namespace

Node::~Node() {
  // Every node taken off the stack hands its children to the stack first, so it is freed
  // without any below it and no destructor nests inside another.
  std::vector<std::unique_ptr<Node>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
    node->children.clear();
  }
}

Node* Node::Find(std::string_view childName) const {
  auto get = [](const std::unique_ptr<Node>& n) -> std::string_view { return n->name; };
  std::size_t i = LowerBound(children, childName, get);
  if (i < children.size() && CompareNames(children[i]->name, childName) == 0) return children[i].get();
  return nullptr;
}

Node* Node::FindOrAdd(std::string_view childName, bool& created) {
  created = false;
  // Hive files list keys in order, so the new child usually goes last.
  bool last = true;
  if (!children.empty()) {
    int c = CompareNames(children.back()->name, childName);
    if (c == 0) return children.back().get();
    if (c > 0) {
      if (Node* found = Find(childName)) return found;
      last = false;
    }
  }
  auto node = std::make_unique<Node>();
  node->name = std::string(childName);
  node->parent = this;
  Node* raw = node.get();
  created = true;
  if (last) {
    children.push_back(std::move(node));
    return raw;
  }
  auto get = [](const std::unique_ptr<Node>& n) -> std::string_view { return n->name; };
  std::size_t at = LowerBound(children, childName, get);
  children.insert(children.begin() + static_cast<std::ptrdiff_t>(at), std::move(node));
  return raw;
}

void Node::Clear() {
  children.clear();
  values.clear();
  extra.reset();
  rawBegin = rawEnd = 0;
  dirty = false;
  isLink = false;
  valuesReady.store(true);
}

bool Node::Remove(const Node* child) {
  for (auto it = children.begin(); it != children.end(); ++it) {
    if (it->get() == child) {
      children.erase(it);
      return true;
    }
  }
  return false;
}

RegValue* Node::FindValue(std::string_view valueName) {
  auto get = [](const RegValue& v) -> std::string_view { return v.name; };
  std::size_t i = LowerBound(values, valueName, get);
  if (i < values.size() && CompareNames(values[i].name, valueName) == 0) return &values[i];
  return nullptr;
}

std::uint64_t NowFileTime() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<std::uint64_t>(ns / 100) + 116444736000000000ull;
}

}  // namespace kestrove::regtree

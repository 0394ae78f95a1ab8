// Small helpers shared by the tests of src/app: a temporary folder, whole-file reads and
// writes, and a tree of check boxes held in memory.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/CheckTree.h"
#include "platform/Env.h"

namespace kestrove::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-app-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // The folder as the program names folders: with a trailing separator.
  std::string folder() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteAll(const std::filesystem::path& p, const std::string& content) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::vector<std::string> FolderEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

// A tree held in memory; node handles are indices + 1.
class MemoryCheckTree : public ICheckTree {
 public:
  Node AddTop(const std::string& text, int image = 0) {
    Node n = NewItem(text, image);
    tops_.push_back(n);
    return n;
  }
  Node AddChild(Node parent, const std::string& text, int image = 0) {
    Node n = NewItem(text, image);
    item(parent).children.push_back(n);
    return n;
  }
  // The node with this path of texts, e.g. {"Windows", "Clipboard"}.
  Node Find(const std::vector<std::string>& path) const {
    const std::vector<Node>* group = &tops_;
    Node found = 0;
    for (const std::string& text : path) {
      found = 0;
      for (Node n : *group)
        if (item(n).text == text) found = n;
      if (!found) throw std::runtime_error("no node " + text);
      group = &item(found).children;
    }
    return found;
  }
  std::vector<std::string> CheckedNames() const {
    std::vector<std::string> names;
    WalkCheckTree(*this, [&](Node node, Node parent, int depth) {
      if (Checked(node)) names.push_back(CheckTreeItemName(*this, node, parent, depth));
    });
    return names;
  }

  std::size_t TopCount() const override { return tops_.size(); }
  Node Top(std::size_t index) const override { return tops_.at(index); }
  std::size_t ChildCount(Node node) const override { return item(node).children.size(); }
  Node Child(Node node, std::size_t index) const override { return item(node).children.at(index); }
  std::string Text(Node node) const override { return item(node).text; }
  int ImageIndex(Node node) const override { return item(node).image; }
  bool Checked(Node node) const override { return item(node).checked; }
  void SetChecked(Node node, bool checked) override { item(node).checked = checked; }
  bool Expanded(Node node) const override { return item(node).expanded; }
  void SetExpanded(Node node, bool expanded) override { item(node).expanded = expanded; }

 private:
  struct Item {
    std::string text;
    int image = 0;
    bool checked = false;
    bool expanded = false;
    std::vector<Node> children;
  };
  Node NewItem(const std::string& text, int image) {
    items_.push_back(Item{text, image, false, false, {}});
    return items_.size();
  }
  Item& item(Node n) { return items_.at(n - 1); }
  const Item& item(Node n) const { return items_.at(n - 1); }

  std::vector<Item> items_;
  std::vector<Node> tops_;
};

// The real file system with one injected fault: creating the temporary file fails (from the
// n-th creation on), syncing it fails, renaming it fails, or reading fails.
class FaultyEnv : public EnvWrapper {
 public:
  enum class Fault { None, Create, Sync, Rename, Read };
  explicit FaultyEnv(Fault fault, int fromCreation = 1) : EnvWrapper(Env::Default()), fault_(fault), from_(fromCreation) {}

  int creations = 0;
  int renames = 0;

  std::optional<std::string> ReadFile(const std::filesystem::path& path, std::uint64_t maxBytes, std::string& error,
                                      ReadFailure* why = nullptr) override {
    if (fault_ == Fault::Read) {
      error = "injected read failure";
      if (why) *why = ReadFailure::Failed;
      return std::nullopt;
    }
    return target().ReadFile(path, maxBytes, error, why);
  }
  std::unique_ptr<WritableFile> NewWritableFile(const std::filesystem::path& path, std::string& error) override {
    ++creations;
    if (fault_ == Fault::Create && creations >= from_) {
      error = "injected create failure";
      return nullptr;
    }
    auto file = target().NewWritableFile(path, error);
    if (file && fault_ == Fault::Sync) return std::make_unique<NoSyncFile>(std::move(file));
    return file;
  }
  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    ++renames;
    if (fault_ == Fault::Rename) {
      error = "injected rename failure";
      return false;
    }
    return target().Rename(from, to, error);
  }

 private:
  class NoSyncFile : public WritableFile {
   public:
    explicit NoSyncFile(std::unique_ptr<WritableFile> f) : f_(std::move(f)) {}
    bool Append(std::string_view data) override { return f_->Append(data); }
    bool Sync() override { return false; }
    bool Close() override { return f_->Close(); }
    const std::string& Error() const override { return error_; }

   private:
    std::unique_ptr<WritableFile> f_;
    std::string error_ = "injected sync failure";
  };

  Fault fault_;
  int from_;
};

}  // namespace kestrove::testing

// The operating-system services the registry store needs for its files, behind one
// interface so that tests can inject faults (disk full, read-only folder, failed rename).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrove {

struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// A file being written. Every call reports failure by returning false and setting
// the error text; nothing throws.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual bool Append(std::string_view data) = 0;
  // Flushes buffered data and forces it to disk.
  virtual bool Sync() = 0;
  virtual bool Close() = 0;
  virtual const std::string& Error() const = 0;
};

class Env {
 public:
  virtual ~Env() = default;
  // Reads a whole file. Returns nullopt and sets error when it cannot be read.
  virtual std::optional<std::string> ReadFile(const std::filesystem::path& path, std::string& error) = 0;
  // Stamp of a file; nullopt when it does not exist.
  virtual std::optional<FileStamp> Stat(const std::filesystem::path& path) = 0;
  // Creates a new, empty file for writing (never an existing one).
  virtual std::unique_ptr<WritableFile> NewWritableFile(const std::filesystem::path& path, std::string& error) = 0;
  // Atomically replaces `to` by `from`.
  virtual bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) = 0;
  virtual bool Remove(const std::filesystem::path& path) = 0;

  // The process-wide POSIX implementation.
  static std::shared_ptr<Env> Default();
};

// Forwards every call to another Env; tests derive from it to inject faults.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(std::shared_ptr<Env> target) : target_(std::move(target)) {}
  std::optional<std::string> ReadFile(const std::filesystem::path& path, std::string& error) override {
    return target_->ReadFile(path, error);
  }
  std::optional<FileStamp> Stat(const std::filesystem::path& path) override { return target_->Stat(path); }
  std::unique_ptr<WritableFile> NewWritableFile(const std::filesystem::path& path, std::string& error) override {
    return target_->NewWritableFile(path, error);
  }
  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    return target_->Rename(from, to, error);
  }
  bool Remove(const std::filesystem::path& path) override { return target_->Remove(path); }

 protected:
  Env& target() { return *target_; }

 private:
  std::shared_ptr<Env> target_;
};

}  // namespace kestrove

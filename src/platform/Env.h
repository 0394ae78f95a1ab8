// The operating-system services the registry store needs for its files, behind one
// interface so that tests can inject faults (disk full, read-only folder, failed rename).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// The largest files read from outside the program. Settings and definition files are a few
// kilobytes to a few megabytes; Wine's registry files reach tens of megabytes on a busy
// system; a shortcut is a few kilobytes.
inline constexpr std::uint64_t kMaxSettingsFileBytes = std::uint64_t{64} << 20;  // options.ini, Cookies.ini, *.dat
inline constexpr std::uint64_t kMaxHiveFileBytes = std::uint64_t{4} << 30;      // system.reg, user.reg, userdef.reg
inline constexpr std::uint64_t kMaxShortcutFileBytes = std::uint64_t{1} << 20;  // .lnk
inline constexpr std::uint64_t kNoSizeLimit = ~std::uint64_t{0};

// Why a file could not be read.
enum class ReadFailure {
  None,
  Missing,  // no such file
  Refused,  // exists, but is not a regular file or is over the size limit: never read
  Failed,   // any other error (permissions, I/O)
};

// Opens a file that comes from outside the program (settings, definitions, hives, shortcuts,
// Wine's own files) for reading, without ever waiting: the open does not block (a FIFO with
// no writer would hang a plain open), and anything but a regular file is refused before a
// single byte is read, as is a file over `maxBytes`. Returns the descriptor, or -1 with
// `error` naming the file and `why` set.
int OpenInputFile(const std::filesystem::path& path, std::uint64_t maxBytes, std::string& error,
                  ReadFailure* why = nullptr);

// Reads a whole outside file under the rules of OpenInputFile; never more than `maxBytes` are
// read, even from a file that grows meanwhile.
std::optional<std::string> ReadInputFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                         std::string& error, ReadFailure* why = nullptr);

// Piece by piece: one buffer is reused for every piece, so a large file that is only looked
// through never has to live in memory. Each piece is handed to `fn` in file order. False (with
// `error` and `why` set) when the file cannot be read; `fn` may then have seen part of it.
using FilePieceFn = std::function<void(std::string_view)>;
bool ReadInputFilePieces(const std::filesystem::path& path, std::uint64_t maxBytes, const FilePieceFn& fn,
                         std::string& error, ReadFailure* why = nullptr);

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
  // Reads a whole file as ReadInputFile does. Returns nullopt and sets error (and why, when
  // given) when it cannot be read.
  virtual std::optional<std::string> ReadFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                              std::string& error, ReadFailure* why = nullptr) = 0;
  // The first `maxBytes` bytes of a file (fewer when it is shorter); nullopt when it cannot
  // be read. For a file's header line, without reading a large file whole.
  virtual std::optional<std::string> ReadFileHead(const std::filesystem::path& path, std::size_t maxBytes) = 0;
  // Reads a whole file as ReadInputFilePieces does; this default reads it whole first.
  virtual bool ReadFilePieces(const std::filesystem::path& path, std::uint64_t maxBytes, const FilePieceFn& fn,
                              std::string& error, ReadFailure* why = nullptr);
  // Stamp of a file; nullopt when it does not exist.
  virtual std::optional<FileStamp> Stat(const std::filesystem::path& path) = 0;
  // Creates a new, empty file for writing (never an existing one).
  virtual std::unique_ptr<WritableFile> NewWritableFile(const std::filesystem::path& path, std::string& error) = 0;
  // Atomically replaces `to` by `from`.
  virtual bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) = 0;
  virtual bool Remove(const std::filesystem::path& path) = 0;
  // Gives the file `from` a second name `to` (a hard link). False where that cannot be done;
  // this default never can.
  virtual bool Link(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error);

  // The process-wide POSIX implementation.
  static std::shared_ptr<Env> Default();
};

// Forwards every call to another Env; tests derive from it to inject faults.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(std::shared_ptr<Env> target) : target_(std::move(target)) {}
  std::optional<std::string> ReadFile(const std::filesystem::path& path, std::uint64_t maxBytes, std::string& error,
                                      ReadFailure* why = nullptr) override {
    return target_->ReadFile(path, maxBytes, error, why);
  }
  std::optional<std::string> ReadFileHead(const std::filesystem::path& path, std::size_t maxBytes) override {
    return target_->ReadFileHead(path, maxBytes);
  }
  bool ReadFilePieces(const std::filesystem::path& path, std::uint64_t maxBytes, const FilePieceFn& fn,
                      std::string& error, ReadFailure* why = nullptr) override {
    return target_->ReadFilePieces(path, maxBytes, fn, error, why);
  }
  std::optional<FileStamp> Stat(const std::filesystem::path& path) override { return target_->Stat(path); }
  std::unique_ptr<WritableFile> NewWritableFile(const std::filesystem::path& path, std::string& error) override {
    return target_->NewWritableFile(path, error);
  }
  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    return target_->Rename(from, to, error);
  }
  bool Remove(const std::filesystem::path& path) override { return target_->Remove(path); }
  bool Link(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    return target_->Link(from, to, error);
  }

 protected:
  Env& target() { return *target_; }

 private:
  std::shared_ptr<Env> target_;
};

}  // namespace kestrove

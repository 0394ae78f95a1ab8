#include "platform/Env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrove {

namespace {

std::string ErrnoText(const std::filesystem::path& path, int err) {
  return path.string() + ": " + std::strerror(err);
}

class PosixWritableFile : public WritableFile {
 public:
  PosixWritableFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Append(std::string_view data) override {
    while (!data.empty()) {
      ssize_t n = ::write(fd_, data.data(), data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = ErrnoText(path_, errno);
        return false;
      }
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool Sync() override {
    if (::fsync(fd_) != 0) {
      error_ = ErrnoText(path_, errno);
      return false;
    }
    return true;
  }
  bool Close() override {
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) {
      error_ = ErrnoText(path_, errno);
      return false;
    }
    return true;
  }
  const std::string& Error() const override { return error_; }

 private:
  int fd_;
  std::filesystem::path path_;
  std::string error_;
};

class PosixEnv : public Env {
 public:
  std::optional<std::string> ReadFile(const std::filesystem::path& path, std::uint64_t maxBytes, std::string& error,
                                      ReadFailure* why) override {
    return ReadInputFile(path, maxBytes, error, why);
  }

  bool ReadFilePieces(const std::filesystem::path& path, std::uint64_t maxBytes, const FilePieceFn& fn,
                      std::string& error, ReadFailure* why) override {
    return ReadInputFilePieces(path, maxBytes, fn, error, why);
  }

  std::optional<std::string> ReadFileHead(const std::filesystem::path& path, std::size_t maxBytes) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data(maxBytes, '\0');
    std::size_t got = 0;
    while (got < maxBytes) {
      const ssize_t n = ::read(fd, data.data() + got, maxBytes - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
  }

  std::optional<FileStamp> Stat(const std::filesystem::path& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    FileStamp s;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::int64_t>(st.st_size);
    s.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
  }

  std::unique_ptr<WritableFile> NewWritableFile(const std::filesystem::path& path, std::string& error) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = ErrnoText(path, errno);
      return nullptr;
    }
    return std::make_unique<PosixWritableFile>(fd, path);
  }

  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      error = ErrnoText(to, errno);
      return false;
    }
    // Make the rename itself durable.
    int dfd = ::open(to.parent_path().empty() ? "." : to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return true;
  }

  bool Remove(const std::filesystem::path& path) override { return ::unlink(path.c_str()) == 0; }

  bool Link(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    if (::link(from.c_str(), to.c_str()) != 0) {
      error = ErrnoText(to, errno);
      return false;
    }
    return true;
  }
};

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

std::string SizeText(std::uint64_t bytes) {
  if (bytes >= (std::uint64_t{1} << 30) && bytes % (std::uint64_t{1} << 30) == 0)
    return std::to_string(bytes >> 30) + " GiB";
  if (bytes >= (std::uint64_t{1} << 20) && bytes % (std::uint64_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

void SetWhy(ReadFailure* why, ReadFailure value) {
  if (why) *why = value;
}

}  // namespace

int OpenInputFile(const std::filesystem::path& path, std::uint64_t maxBytes, std::string& error, ReadFailure* why) {
  SetWhy(why, ReadFailure::None);
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    SetWhy(why, errno == ENOENT ? ReadFailure::Missing : ReadFailure::Failed);
    error = ErrnoText(path, errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    SetWhy(why, ReadFailure::Failed);
    error = ErrnoText(path, errno);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    SetWhy(why, ReadFailure::Refused);
    error = path.string() + ": " + KindOf(st.st_mode) + ", not a regular file";
    ::close(fd);
    return -1;
  }
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    SetWhy(why, ReadFailure::Refused);
    error = path.string() + ": larger than " + SizeText(maxBytes);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadInputFilePieces(const std::filesystem::path& path, std::uint64_t maxBytes, const FilePieceFn& fn,
                         std::string& error, ReadFailure* why) {
  int fd = OpenInputFile(path, maxBytes, error, why);
  if (fd < 0) return false;
  // Large enough that a 100 MiB file takes a few hundred reads, small enough to stay in the
  // processor's cache while `fn` looks at it.
  constexpr std::size_t kPiece = std::size_t{256} << 10;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  std::uint64_t total = 0;
  for (;;) {
    // One byte past the limit tells a file that grew over it from one that just reached it.
    const std::uint64_t room = maxBytes - std::min<std::uint64_t>(maxBytes, total);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, room + 1));
    ssize_t n = ::read(fd, piece.get(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetWhy(why, ReadFailure::Failed);
      error = ErrnoText(path, errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (static_cast<std::uint64_t>(n) > room) {
      SetWhy(why, ReadFailure::Refused);
      error = path.string() + ": larger than " + SizeText(maxBytes);
      ::close(fd);
      return false;
    }
    total += static_cast<std::uint64_t>(n);
    fn(std::string_view(piece.get(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  return true;
}

std::optional<std::string> ReadInputFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                         std::string& error, ReadFailure* why) {
  std::string data;
  struct stat st {};
  // Plain pages: huge pages halved the page faults of a 100 MiB hive, but on a virtual
  // machine zeroing fresh huge pages stalled one load in four by a quarter of a second.
  if (::stat(path.c_str(), &st) == 0 && st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) <= maxBytes)
    data.reserve(static_cast<std::size_t>(st.st_size));
  if (!ReadInputFilePieces(path, maxBytes, [&](std::string_view piece) { data.append(piece); }, error, why))
    return std::nullopt;
  return data;
}

bool Env::Link(const std::filesystem::path&, const std::filesystem::path& to, std::string& error) {
  error = to.string() + ": no second names here";
  return false;
}

bool Env::ReadFilePieces(const std::filesystem::path& path, std::uint64_t maxBytes, const FilePieceFn& fn,
                         std::string& error, ReadFailure* why) {
  auto data = ReadFile(path, maxBytes, error, why);
  if (!data) return false;
  if (!data->empty()) fn(*data);
  return true;
}

std::shared_ptr<Env> Env::Default() {
  static std::shared_ptr<Env> env = std::make_shared<PosixEnv>();
  return env;
}

}  // namespace kestrove

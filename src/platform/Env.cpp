#include "platform/Env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

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
  std::optional<std::string> ReadFile(const std::filesystem::path& path, std::string& error) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = ErrnoText(path, errno);
      return std::nullopt;
    }
    struct stat st {};
    std::string data;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = ErrnoText(path, errno);
        ::close(fd);
        return std::nullopt;
      }
      if (n == 0) break;
      data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
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
};

}  // namespace

std::shared_ptr<Env> Env::Default() {
  static std::shared_ptr<Env> env = std::make_shared<PosixEnv>();
  return env;
}

}  // namespace kestrove

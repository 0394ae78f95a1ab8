// The browser application items against the real browsers, when they are installed: the
// browser writes a profile in the sample prefix (visiting a page served on the loopback
// address), kestrove-cli cleans it, and the browser opens the cleaned profile again without
// complaint, its bookmarks and passwords still there.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <thread>

#include "BrowserTestSupport.h"

namespace {

namespace fs = std::filesystem;
using kestrove::testing::BrowserPrefixTest;
using kestrove::testing::CliRun;
using kestrove::testing::Slurp;

constexpr const char* kPageMarker = "Kestrove live page";

// A page with a script, a style sheet, a cookie and a day of caching, on 127.0.0.1 at a port
// of the system's choosing, for as long as the object lives.
class LoopbackSite {
 public:
  LoopbackSite() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackSite() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Ready() const { return port_ != 0; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/index.html"; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string request;
      char buf[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd c{client, POLLIN, 0};
        if (::poll(&c, 1, 2000) <= 0) break;
        const ssize_t n = ::read(client, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      const bool css = request.rfind("GET /style.css", 0) == 0;
      const std::string body =
          css ? "h1 { color: #333; }\n"
              : std::string("<!doctype html><html><head><title>") + kPageMarker +
                    "</title><link rel=\"stylesheet\" href=\"style.css\"></head><body><h1>" + kPageMarker +
                    "</h1><script>document.cookie = \"visited=yes; max-age=31536000; path=/\";</script></body></html>\n";
      const std::string response = std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + (css ? "text/css" : "text/html") +
                                   "\r\nCache-Control: public, max-age=86400\r\n"
                                   "Set-Cookie: server=1; Max-Age=31536000; Path=/\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      [[maybe_unused]] const ssize_t written = ::write(client, response.data(), response.size());
      ::close(client);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct BrowserRun {
  int status = -1;  // exit status; -1 when killed for taking too long
  std::string out, err;
};

// Starts a program in a process group of its own, its output to files in `dir`. Everything
// the child needs is made before the fork: the test has a thread running.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& dir) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string outPath = (dir / "browser.out").string(), errPath = (dir / "browser.err").string();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setpgid(0, 0);
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Waits for the program; past `limit` its whole process group is killed.
BrowserRun Wait(pid_t pid, const fs::path& dir, std::chrono::seconds limit) {
  BrowserRun run;
  const auto end = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  while (::waitpid(pid, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      raw = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The browser's helpers share its group: none outlives the test.
  ::kill(-pid, SIGKILL);
  if (raw != -1 && WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
  run.out = Slurp(dir / "browser.out");
  run.err = Slurp(dir / "browser.err");
  return run;
}

// What a browser says on opening a damaged profile or database.
bool Complains(const std::string& err) {
  std::string lower = err;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("corrupt") != std::string::npos || lower.find("sql/database") != std::string::npos ||
         lower.find("malformed") != std::string::npos;
}

// The first column of the first row of a query, or -1.
long long QueryNumber(const fs::path& db, const char* sql) {
  sqlite3* handle = nullptr;
  long long value = -1;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(handle, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
      value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(handle);
  return value;
}

// Just enough of Firefox's Marionette protocol to open a page and quit normally.
class Marionette {
 public:
  ~Marionette() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Connect(const fs::path& profile) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      const std::string port = Slurp(profile / "MarionetteActivePort");
      if (!port.empty()) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
        timeval timeout{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return !Read().empty();
        ::close(fd_);
        fd_ = -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  // The answer to a command, "" when none came.
  std::string Call(const std::string& name, const std::string& params) {
    const std::string body = "[0," + std::to_string(++id_) + ",\"" + name + "\"," + params + "]";
    const std::string message = std::to_string(body.size()) + ":" + body;
    if (::write(fd_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) return {};
    return Read();
  }

 private:
  std::string Read() {
    std::string length;
    char c = 0;
    while (::read(fd_, &c, 1) == 1 && c != ':') length += c;
    if (length.empty() || c != ':') return {};
    std::string body(std::stoul(length), '\0');
    std::size_t got = 0;
    while (got < body.size()) {
      const ssize_t n = ::read(fd_, body.data() + got, body.size() - got);
      if (n <= 0) return {};
      got += static_cast<std::size_t>(n);
    }
    return body;
  }

  int fd_ = -1;
  int id_ = 0;
};

class BrowserLive : public BrowserPrefixTest {
 protected:
  LoopbackSite site;
};

TEST_F(BrowserLive, ChromiumOpensTheProfileItsItemCleaned) {
  const std::string chromium = "/usr/bin/chromium";
  if (!fs::exists(chromium)) GTEST_SKIP() << chromium << " is not installed (Debian package chromium)";
  ASSERT_TRUE(site.Ready());
  Install("Chromium", "Chromium");
  const fs::path userData = Local() / "Chromium/User Data";
  const fs::path profile = userData / "Default";
  fs::create_directories(profile);
  // A bookmark for the browser to take in and keep.
  std::ofstream(profile / "Bookmarks")
      << R"({"roots": {"bookmark_bar": {"children": [{"id": "4", "name": "Kept bookmark", "type": "url",)"
         R"( "url": "http://127.0.0.1/kept.html"}], "id": "1", "name": "Bookmarks bar", "type": "folder"},)"
         R"( "other": {"children": [], "id": "2", "name": "Other bookmarks", "type": "folder"},)"
         R"( "synced": {"children": [], "id": "3", "name": "Mobile bookmarks", "type": "folder"}}, "version": 1})";
  const std::vector<std::string> open = {chromium, "--headless=new", "--no-sandbox", "--no-first-run", "--disable-gpu",
                                         "--user-data-dir=" + userData.string(), "--dump-dom", site.Url()};
  BrowserRun run = Wait(Spawn(open, dir), dir, std::chrono::seconds(120));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_NE(run.out.find(kPageMarker), std::string::npos) << run.out;
  const std::vector<std::string> traces = {"History", "Cookies", "Top Sites", "Sessions", "Cache", "Code Cache"};
  for (const std::string& t : traces) ASSERT_TRUE(fs::exists(profile / t)) << "chromium did not write " << t;
  ASSERT_GT(QueryNumber(profile / "Cookies", "SELECT count(*) FROM cookies"), 0);
  const std::vector<std::string> keep = {"Bookmarks", "Login Data", "Preferences", "Web Data", "../Local State"};

  const CliRun r = Cli({"clean", "--yes", "Applications - Chromium"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& t : traces) EXPECT_FALSE(fs::exists(profile / t)) << t;
  for (const std::string& k : keep) EXPECT_TRUE(fs::exists(profile / k)) << k;

  run = Wait(Spawn(open, dir), dir, std::chrono::seconds(120));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(kPageMarker), std::string::npos) << run.out;
  EXPECT_FALSE(Complains(run.err)) << run.err;
  EXPECT_NE(Slurp(profile / "Preferences").find(R"("exit_type":"Normal")"), std::string::npos);
  EXPECT_NE(Slurp(profile / "Bookmarks").find("\"Kept bookmark\""), std::string::npos);
  EXPECT_EQ(QueryNumber(profile / "History", "SELECT count(*) FROM urls"), 1) << "a fresh history, this visit only";
}

TEST_F(BrowserLive, FirefoxOpensTheProfileItsItemCleaned) {
  const std::string firefox = "/usr/bin/firefox-esr";
  if (!fs::exists(firefox)) GTEST_SKIP() << firefox << " is not installed (Debian package firefox-esr)";
  ASSERT_TRUE(site.Ready());
  Install("Mozilla Firefox", "Mozilla Firefox ESR (x64 en-US)");
  const std::string name = "live1234.default-esr";
  const fs::path profile = Roaming() / "Mozilla/Firefox/Profiles" / name;
  const fs::path local = Local() / "Mozilla/Firefox/Profiles" / name;
  fs::create_directories(profile);
  fs::create_directories(local);
  std::ofstream(profile / "user.js") << "user_pref(\"marionette.port\", 0);\n"
                                        "user_pref(\"browser.sessionstore.interval\", 1000);\n";
  const pid_t pid =
      Spawn({firefox, "-headless", "-no-remote", "-marionette", "-profile", profile.string()}, dir);
  {
    Marionette m;
    const bool connected = m.Connect(profile);
    EXPECT_TRUE(connected) << Slurp(dir / "browser.err");
    if (connected) {
      EXPECT_NE(m.Call("WebDriver:NewSession", "{}"), "");
      EXPECT_NE(m.Call("WebDriver:Navigate", "{\"url\": \"" + site.Url() + "\"}"), "");
      std::this_thread::sleep_for(std::chrono::seconds(3));  // a session write or two
      m.Call("Marionette:Quit", "{}");
    }
  }
  BrowserRun run = Wait(pid, dir, std::chrono::seconds(120));
  ASSERT_EQ(run.status, 0) << run.err;
  // Firefox on Linux keeps the cache in the profile; on Windows it is in the Local copy.
  for (const char* f : {"cache2", "thumbnails"})
    if (fs::exists(profile / f)) fs::rename(profile / f, local / f);
  ASSERT_TRUE(fs::exists(profile / "sessionstore.jsonlz4"));
  ASSERT_TRUE(fs::exists(local / "cache2"));
  const long long bookmarks = QueryNumber(profile / "places.sqlite", "SELECT count(*) FROM moz_bookmarks");
  ASSERT_GT(bookmarks, 0);
  std::vector<std::string> keep = {"places.sqlite", "cookies.sqlite", "key4.db", "prefs.js", "extensions.json"};
  for (const char* logins : {"logins.json", "logins.db"})
    if (fs::exists(profile / logins)) keep.push_back(logins);

  const CliRun r = Cli({"clean", "--yes", "Applications - Firefox"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(fs::exists(profile / "sessionstore.jsonlz4"));
  EXPECT_FALSE(fs::exists(profile / "sessionstore-backups"));
  EXPECT_FALSE(fs::exists(local / "cache2"));
  EXPECT_FALSE(fs::exists(local / "thumbnails"));
  for (const std::string& k : keep) EXPECT_TRUE(fs::exists(profile / k)) << k;

  run = Wait(Spawn({firefox, "-headless", "-no-remote", "-profile", profile.string(), "--screenshot",
                    (dir / "shot.png").string(), site.Url()},
                   dir),
             dir, std::chrono::seconds(120));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(dir / "shot.png")) << run.err;
  EXPECT_FALSE(Complains(run.err)) << run.err;
  EXPECT_EQ(QueryNumber(profile / "places.sqlite", "SELECT count(*) FROM moz_bookmarks"), bookmarks);
}

}  // namespace

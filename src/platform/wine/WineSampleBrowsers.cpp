#include "platform/wine/WineSampleBrowsers.h"

#include "sqlite/SQLite.h"

namespace kestrove::wine {

namespace {

// Firefox 3's places.sqlite: pages, their visits, bookmarks and typed input.
const char kPlaces[] = R"(
CREATE TABLE moz_places (id INTEGER PRIMARY KEY, url LONGVARCHAR, title LONGVARCHAR, rev_host LONGVARCHAR,
  visit_count INTEGER DEFAULT 0, hidden INTEGER DEFAULT 0 NOT NULL, typed INTEGER DEFAULT 0 NOT NULL,
  favicon_id INTEGER, frecency INTEGER DEFAULT -1 NOT NULL, last_visit_date INTEGER);
CREATE TABLE moz_historyvisits (id INTEGER PRIMARY KEY, from_visit INTEGER, place_id INTEGER, visit_date INTEGER,
  visit_type INTEGER, session INTEGER);
CREATE TABLE moz_bookmarks (id INTEGER PRIMARY KEY, type INTEGER, fk INTEGER DEFAULT NULL, parent INTEGER,
  position INTEGER, title LONGVARCHAR, keyword_id INTEGER, folder_type TEXT, dateAdded INTEGER, lastModified INTEGER);
CREATE TABLE moz_inputhistory (place_id INTEGER NOT NULL, input LONGVARCHAR NOT NULL, use_count INTEGER,
  PRIMARY KEY (place_id, input));
CREATE INDEX moz_places_url_uniqueindex ON moz_places (url);
CREATE INDEX moz_historyvisits_placedateindex ON moz_historyvisits (place_id, visit_date);
INSERT INTO moz_places VALUES (1, 'http://www.winehq.org/', 'WineHQ', 'gro.qhenw.www.', 3, 0, 1, NULL, 2000, 1262304000000000);
INSERT INTO moz_places VALUES (2, 'http://example.com/news', 'News', 'moc.elpmaxe.', 1, 0, 0, NULL, 100, 1262390400000000);
INSERT INTO moz_places VALUES (3, 'http://example.com/mail', 'Mail', 'moc.elpmaxe.', 2, 0, 0, NULL, 150, 1262476800000000);
INSERT INTO moz_historyvisits VALUES (1, 0, 1, 1262304000000000, 1, 1);
INSERT INTO moz_historyvisits VALUES (2, 1, 2, 1262390400000000, 1, 1);
INSERT INTO moz_historyvisits VALUES (3, 0, 1, 1262400000000000, 2, 2);
INSERT INTO moz_historyvisits VALUES (4, 0, 3, 1262476800000000, 1, 3);
INSERT INTO moz_historyvisits VALUES (5, 4, 1, 1262480000000000, 1, 3);
INSERT INTO moz_historyvisits VALUES (6, 0, 3, 1262490000000000, 2, 4);
INSERT INTO moz_bookmarks VALUES (1, 2, NULL, 0, 0, '', NULL, NULL, 1262304000000000, 1262304000000000);
INSERT INTO moz_bookmarks VALUES (2, 1, 1, 1, 0, 'WineHQ', NULL, NULL, 1262304000000000, 1262304000000000);
INSERT INTO moz_inputhistory VALUES (1, 'wine', 2);
)";

const char kFirefoxCookies[] = R"(
CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, name TEXT, value TEXT, host TEXT, path TEXT, expiry INTEGER,
  lastAccessed INTEGER, isSecure INTEGER, isHttpOnly INTEGER);
INSERT INTO moz_cookies VALUES (1, 'session', 'a1b2c3', '.example.com', '/', 1893456000, 1262304000000000, 0, 1);
INSERT INTO moz_cookies VALUES (2, 'lang', 'en', 'www.winehq.org', '/', 1893456000, 1262304000000000, 0, 0);
)";

const char kFormHistory[] = R"(
CREATE TABLE moz_formhistory (id INTEGER PRIMARY KEY, fieldname TEXT NOT NULL, value TEXT NOT NULL,
  timesUsed INTEGER, firstUsed INTEGER, lastUsed INTEGER);
INSERT INTO moz_formhistory VALUES (1, 'q', 'wine registry', 2, 1262304000000000, 1262390400000000);
INSERT INTO moz_formhistory VALUES (2, 'email', 'user@example.com', 1, 1262304000000000, 1262304000000000);
)";

const char kDownloads[] = R"(
CREATE TABLE moz_downloads (id INTEGER PRIMARY KEY, name TEXT, source TEXT, target TEXT, startTime INTEGER,
  endTime INTEGER, state INTEGER);
INSERT INTO moz_downloads VALUES (1, 'setup.exe', 'http://example.com/setup.exe',
  'file:///C:/users/user/Downloads/setup.exe', 1262304000000000, 1262304100000000, 1);
)";

// Chrome 4's History: pages, their visits and the database's own facts.
const char kChromeHistory[] = R"(
CREATE TABLE meta (key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);
CREATE TABLE urls (id INTEGER PRIMARY KEY, url LONGVARCHAR, title LONGVARCHAR, visit_count INTEGER DEFAULT 0 NOT NULL,
  typed_count INTEGER DEFAULT 0 NOT NULL, last_visit_time INTEGER NOT NULL, hidden INTEGER DEFAULT 0 NOT NULL,
  favicon_id INTEGER DEFAULT 0 NOT NULL);
CREATE TABLE visits (id INTEGER PRIMARY KEY, url INTEGER NOT NULL, visit_time INTEGER NOT NULL, from_visit INTEGER,
  transition INTEGER DEFAULT 0 NOT NULL, segment_id INTEGER, is_indexed BOOLEAN);
INSERT INTO meta VALUES ('version', '18');
INSERT INTO urls VALUES (1, 'http://www.google.com/', 'Google', 2, 1, 12907000000000000, 0, 0);
INSERT INTO visits VALUES (1, 1, 12907000000000000, 0, 805306369, 0, 1);
INSERT INTO visits VALUES (2, 1, 12907000100000000, 0, 805306376, 0, 1);
)";

const char kChromeCookies[] = R"(
CREATE TABLE meta (key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);
CREATE TABLE cookies (creation_utc INTEGER NOT NULL UNIQUE PRIMARY KEY, host_key TEXT NOT NULL, name TEXT NOT NULL,
  value TEXT NOT NULL, path TEXT NOT NULL, expires_utc INTEGER NOT NULL, secure INTEGER NOT NULL,
  httponly INTEGER NOT NULL, last_access_utc INTEGER NOT NULL);
INSERT INTO meta VALUES ('version', '3');
INSERT INTO cookies VALUES (12907000000000000, '.google.com', 'PREF', 'ID=1a2b', '/', 12970000000000000, 0, 0,
  12907000000000000);
)";

// Chrome's Web Data: stored logins beside form autofill and the search keywords.
const char kWebData[] = R"(
CREATE TABLE meta (key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);
CREATE TABLE logins (origin_url VARCHAR NOT NULL, action_url VARCHAR, username_element VARCHAR,
  username_value VARCHAR, password_element VARCHAR, password_value BLOB, submit_element VARCHAR,
  signon_realm VARCHAR NOT NULL, ssl_valid INTEGER NOT NULL, preferred INTEGER NOT NULL,
  date_created INTEGER NOT NULL, blacklisted_by_user INTEGER NOT NULL, scheme INTEGER NOT NULL,
  UNIQUE (origin_url, username_element, username_value, password_element, submit_element, signon_realm));
CREATE INDEX logins_signon ON logins (signon_realm);
CREATE TABLE autofill (name VARCHAR, value VARCHAR, value_lower VARCHAR, pair_id INTEGER PRIMARY KEY,
  count INTEGER DEFAULT 1);
CREATE TABLE keywords (id INTEGER PRIMARY KEY, short_name VARCHAR NOT NULL, keyword VARCHAR NOT NULL,
  favicon_url VARCHAR NOT NULL, url VARCHAR NOT NULL);
INSERT INTO meta VALUES ('version', '25');
INSERT INTO logins VALUES ('https://mail.example.com/login', 'https://mail.example.com/auth', 'user', 'someone',
  'pass', X'01000000D08C9DDF0115D1118C7A00C04FC297EB', '', 'https://mail.example.com/', 1, 1, 1262304000, 0, 0);
INSERT INTO logins VALUES ('http://forum.example.org/', 'http://forum.example.org/login.php', 'name', 'me',
  'pw', X'01000000D08C9DDF0115D1118C7A00C04FC297EC', 'go', 'http://forum.example.org/', 0, 1, 1262390400, 0, 0);
INSERT INTO autofill VALUES ('q', 'wine', 'wine', 1, 3);
INSERT INTO keywords VALUES (2, 'Google', 'google.com', 'http://www.google.com/favicon.ico',
  'http://www.google.com/search?q={searchTerms}');
)";

// One month's full-text index of the history.
const char kHistoryIndex[] = R"(
CREATE TABLE meta (key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);
CREATE TABLE info (time INTEGER NOT NULL);
CREATE TABLE pages (url LONGVARCHAR, title LONGVARCHAR, body LONGVARCHAR);
INSERT INTO meta VALUES ('version', '2');
INSERT INTO info VALUES (12907000000000000);
INSERT INTO pages VALUES ('http://www.google.com/', 'Google', 'Search the web');
)";

// A database made at a Windows path with the statements given.
void Database(SampleBuilder& b, const std::string& windowsPath, const char* statements) {
  b.File(windowsPath, "");
  const auto host = b.Target().HostPath(windowsPath);
  if (!host) throw SampleError("The sample names a path on no drive: " + windowsPath);
  try {
    TSQLiteDatabase database(host->string());
    database.RunStatement(statements);
  } catch (const ESQLiteException& e) {
    throw SampleError("Cannot write the database " + host->string() + ": " + e.what());
  }
}

void Cache(SampleBuilder& b, const std::string& folder, int files) {
  for (int i = 0; i < files; ++i)
    b.File(folder + "\\" + std::to_string(0x1A2B0 + i) + "d01", std::string(700 + 300 * i, 'c'), 24);
}

void Firefox(SampleBuilder& b, const std::string& appData, const std::string& local) {
  const std::string roaming = appData + "\\Mozilla\\Firefox\\Profiles\\";
  const std::string def = roaming + "abcd.default\\";
  Database(b, def + "places.sqlite", kPlaces);
  Database(b, def + "cookies.sqlite", kFirefoxCookies);
  Database(b, def + "formhistory.sqlite", kFormHistory);
  Database(b, def + "downloads.sqlite", kDownloads);
  b.File(def + "signons3.txt", "#2d\r\n.\r\nhttps://mail.example.com\r\nuser\r\n~c29tZW9uZQ==\r\n.\r\n");
  b.File(def + "prefs.js", "user_pref(\"browser.startup.homepage\", \"http://www.winehq.org/\");\r\n");
  b.File(def + "parent.lock", "");
  // A second profile of the user's: its visits stay, its files go as the default's do.
  const std::string work = roaming + "abcd.work\\";
  Database(b, work + "places.sqlite", kPlaces);
  b.File(work + "cookies.txt", "# HTTP Cookie File\r\n.example.com\tTRUE\t/\tFALSE\t1893456000\tid\t42\r\n", 72);
  b.File(work + "history.dat", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\r\n< <(a=c)> // (f=iso-8859-1)\r\n", 72);
  b.File(work + "downloads.rdf", "<?xml version=\"1.0\"?>\r\n<RDF:RDF/>\r\n", 72);
  b.File(work + "signons.txt", "#2c\r\n.\r\n", 72);
  b.File(work + "prefs.js", "user_pref(\"browser.cache.disk.capacity\", 50000);\r\n", 72);
  b.File(work + "formhistory.dat", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\r\n", 72);
  Cache(b, work + "Cache", 2);
  Cache(b, local + "\\Mozilla\\Firefox\\Profiles\\abcd.default\\Cache", 3);
}

void Netscape(SampleBuilder& b, const std::string& appData) {
  const std::string profile = appData + "\\Netscape\\NSB\\Profiles\\pbzik8cu.default\\";
  b.File(profile + "cookies.txt", "# Netscape HTTP Cookie File\r\n.netscape.com\tTRUE\t/\tFALSE\t1893456000\tu\t1\r\n", 96);
  b.File(profile + "history.dat", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\r\n", 96);
  b.File(profile + "prefs.js", "user_pref(\"browser.startup.page\", 1);\r\n", 96);
  b.File(profile + "formhistory.dat", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\r\n", 96);
  Cache(b, profile + "Cache", 2);
}

void Opera(SampleBuilder& b, const std::string& appData, const std::string& local) {
  const std::string profile = appData + "\\Opera\\Opera\\profile\\";
  b.File(profile + "cookies4.dat", std::string(300, '\x01'), 48);
  b.File(profile + "global.dat", "http://www.opera.com/\r\n1262304000\r\n", 48);
  b.File(profile + "vlink4.dat", std::string(120, '\x02'), 48);
  b.File(profile + "sessions\\autosave.win", "[session]\r\nversion=7000\r\n", 48);
  b.File(profile + "typed_history.xml", "<?xml version=\"1.0\"?>\r\n<typed_history/>\r\n", 48);
  b.File(profile + "opera.dir", "[Opera]\r\n", 48);
  b.File(profile + "wand.dat", std::string(200, '\x03'), 48);
  b.File(profile + "download.dat", std::string(150, '\x04'), 48);
  Cache(b, local + "\\Opera\\Opera\\profile\\cache4", 3);
}

void Chrome(SampleBuilder& b, const std::string& local) {
  const std::string profile = local + "\\Google\\Chrome\\User Data\\Default\\";
  Database(b, profile + "History", kChromeHistory);
  Database(b, profile + "Cookies", kChromeCookies);
  Database(b, profile + "Web Data", kWebData);
  Database(b, profile + "History Index 2010-01", kHistoryIndex);
  b.File(profile + "Current Session", std::string(400, '\x05'), 12);
  b.File(profile + "Preferences", "{\"homepage\": \"http://www.google.com/\"}\n", 12);
  Cache(b, profile + "Cache", 4);
}

}  // namespace

void BrowserTraces(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string profile = t.UserProfileFolder();
  const std::string appData = t.ShellFolder("AppData").value_or(profile + "\\AppData\\Roaming");
  const std::string local = t.ShellFolder("Local AppData").value_or(profile + "\\AppData\\Local");
  Firefox(b, appData, local);
  Netscape(b, appData);
  Opera(b, appData, local);
  Chrome(b, local);
}

}  // namespace kestrove::wine

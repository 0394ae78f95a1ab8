#!/usr/bin/env bash
# Writes the browser profile fixtures of this folder again: Debian's chromium and firefox-esr,
# run headless on fresh profiles, visit a page served on the loopback address (so that
# history, cookies, cache, top sites and sessions are written), and close normally. Only
# the files the browser items touch and the ones that must survive them are kept.
# Usage: tests/data/browsers/make-profiles.sh   (needs chromium, firefox-esr, python3)
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT

mkdir -p "$work/site"
cat >"$work/site/index.html" <<'HTML'
<!doctype html><html><head><title>Fixture page</title><link rel="stylesheet" href="style.css"></head>
<body><h1>Fixture page</h1><script src="app.js"></script>
<script>document.cookie = "visited=yes; max-age=31536000; path=/";</script></body></html>
HTML
echo 'h1{color:#333}' >"$work/site/style.css"
echo 'document.title += " (script ran)";' >"$work/site/app.js"
cat >"$work/server.py" <<'PY'
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Cache-Control", "public, max-age=86400")
        self.send_header("Set-Cookie", "server=1; Max-Age=31536000; Path=/")
        super().end_headers()
srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=sys.argv[1]))
print(srv.server_address[1], flush=True)
srv.serve_forever()
PY
python3 "$work/server.py" "$work/site" >"$work/port" 2>/dev/null &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/index.html"

# Chromium: a bookmark of our own for the browser to keep, then two profiles.
ud="$work/chromium"
mkdir -p "$ud/Default"
cat >"$ud/Default/Bookmarks" <<'JSON'
{"roots": {"bookmark_bar": {"children": [{"date_added": "13370000000000000", "id": "4", "name": "Kept bookmark",
 "type": "url", "url": "http://127.0.0.1/kept.html"}], "date_added": "13370000000000000",
 "date_modified": "13370000000000000", "id": "1", "name": "Bookmarks bar", "type": "folder"},
 "other": {"children": [], "date_added": "13370000000000000", "date_modified": "0", "id": "2",
 "name": "Other bookmarks", "type": "folder"}, "synced": {"children": [], "date_added": "13370000000000000",
 "date_modified": "0", "id": "3", "name": "Mobile bookmarks", "type": "folder"}}, "version": 1}
JSON
for profile in Default "Profile 1"; do
  chromium --headless=new --no-sandbox --no-first-run --disable-gpu --user-data-dir="$ud" \
    --profile-directory="$profile" --dump-dom "$url" >/dev/null 2>&1
done
keep=(History History-journal "Top Sites" "Top Sites-journal" Cookies Cookies-journal Sessions Sessions_Encrypted
      Cache "Code Cache" Bookmarks "Login Data" "Login Data-journal" Preferences "Secure Preferences" "Web Data"
      "Web Data-journal" Favicons Favicons-journal Shortcuts Shortcuts-journal)
stage="$work/stage/chromium"
mkdir -p "$stage"
cp -a "$ud/Local State" "$stage/"
for profile in Default "Profile 1"; do
  mkdir -p "$stage/$profile/GPUCache"
  for f in "${keep[@]}"; do [ -e "$ud/$profile/$f" ] && cp -a "$ud/$profile/$f" "$stage/$profile/"; done
  # GPUCache's index and big block file are 270 KB of mostly nothing: the small blocks show the folder.
  cp -a "$ud/$profile/GPUCache/data_0" "$ud/$profile/GPUCache/data_2" "$stage/$profile/GPUCache/"
done
tar -C "$work/stage" -czf "$out/chromium-user-data.tar.gz" chromium

# Firefox: driven through Marionette so that it quits normally and writes its session.
ff="$work/firefox"
mkdir -p "$ff"
printf 'user_pref("marionette.port", 0);\nuser_pref("browser.sessionstore.interval", 1000);\n' >"$ff/user.js"
cat >"$work/marionette.py" <<'PY'
import json, os, socket, sys, time
profile, url = sys.argv[1], sys.argv[2]
for _ in range(200):
    if os.path.exists(os.path.join(profile, "MarionetteActivePort")): break
    time.sleep(0.1)
port = int(open(os.path.join(profile, "MarionetteActivePort")).read())
s = socket.create_connection(("127.0.0.1", port))
def recv():
    head = b""
    while not head.endswith(b":"): head += s.recv(1)
    n = int(head[:-1]); body = b""
    while len(body) < n: body += s.recv(n - len(body))
    return json.loads(body)
def call(i, name, params):
    data = json.dumps([0, i, name, params]).encode(); s.sendall(str(len(data)).encode() + b":" + data); return recv()
recv()
call(1, "WebDriver:NewSession", {})
call(2, "WebDriver:Navigate", {"url": url})
time.sleep(3)
call(3, "Marionette:Quit", {})
PY
for _ in 1 2; do  # the second start moves the first session to sessionstore-backups
  firefox-esr -headless -no-remote -marionette -profile "$ff" >/dev/null 2>&1 &
  pid=$!
  python3 "$work/marionette.py" "$ff" "$url"
  wait "$pid" || true
done
stage="$work/stage/firefox"
mkdir -p "$stage"
for f in places.sqlite cookies.sqlite key4.db logins.db logins.json extensions.json prefs.js sessionstore.jsonlz4 \
         sessionstore-backups cache2 thumbnails; do
  [ -e "$ff/$f" ] && cp -a "$ff/$f" "$stage/"
done
tar -C "$work/stage" -czf "$out/firefox-profile.tar.gz" firefox
echo "chromium: $(chromium --version 2>/dev/null); firefox: $(firefox-esr --version 2>/dev/null); $(date -u +%Y-%m-%d)"

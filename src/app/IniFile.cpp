#include "app/IniFile.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace kestrove {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

std::string Folded(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = FoldCase(c);
  return r;
}

enum class LineKind { Blank, Comment, Section, Key, Other };

struct ParsedLine {
  LineKind kind = LineKind::Blank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key lines: the raw value, trimmed
};

ParsedLine Classify(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty()) return {LineKind::Blank, {}, {}};
  if (t.front() == ';') return {LineKind::Comment, {}, {}};
  if (t.front() == '[') {
    // The last ']' closes the name, as Windows reads it.
    std::size_t close = t.rfind(']');
    if (close != std::string_view::npos && close > 0) return {LineKind::Section, Trim(t.substr(1, close - 1)), {}};
    return {LineKind::Other, {}, {}};
  }
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return {LineKind::Other, {}, {}};
  std::string_view key = Trim(t.substr(0, eq));
  if (key.empty()) return {LineKind::Other, {}, {}};
  return {LineKind::Key, key, Trim(t.substr(eq + 1))};
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

// A value enclosed in a matching pair of quotes is read without them.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front()) return v.substr(1, v.size() - 2);
  return v;
}

// Quotes a value that reading would otherwise change: surrounding blanks are trimmed and a
// surrounding pair of quotes is dropped when the file is read.
std::string Encode(std::string_view v) {
  bool needsQuotes = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) ||
                                    (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front()));
  if (!needsQuotes) return std::string(v);
  std::string r;
  r.reserve(v.size() + 2);
  r += '"';
  r += v;
  r += '"';
  return r;
}

// Cuts a text after kIniMaxValueChars characters, never inside a UTF-8 sequence.
std::string CutValue(std::string_view v) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    bool continuation = (static_cast<unsigned char>(v[i]) & 0xC0) == 0x80;
    if (!continuation) {
      if (chars == kIniMaxValueChars) return std::string(v.substr(0, i));
      ++chars;
    }
  }
  return std::string(v);
}

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

// Names that the file could not hold so that reading finds them again.
bool ValidSectionName(std::string_view name) {
  return !Trim(name).empty() && !HasLineBreakOrNul(name);
}

bool ValidKeyName(std::string_view name) {
  std::string_view t = Trim(name);
  return !t.empty() && !HasLineBreakOrNul(name) && t.find('=') == std::string_view::npos && t.front() != ';' &&
         t.front() != '[';
}

// Changes of INI files within the process are serialised, so that two threads changing the
// same file never lose each other's write.
std::mutex& ChangeMutex() {
  static std::mutex m;
  return m;
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view t) {
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    std::uint64_t v = 0;
    for (char c : t.substr(2)) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return std::nullopt;
      v = v * 16 + static_cast<std::uint64_t>(d);
      if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  }
  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

struct TIniFile::Document {
  struct Line {
    std::string text;
    std::string eol;  // "\n", "\r\n", or "" for a last line without one
  };
  bool bom = false;
  std::vector<Line> lines;
  std::string newEol = "\n";  // for lines we add: the file's own line end

  static Document Parse(std::string_view s) {
    Document d;
    if (s.substr(0, kBom.size()) == kBom) {
      d.bom = true;
      s.remove_prefix(kBom.size());
    }
    bool eolSeen = false;
    while (!s.empty()) {
      const std::size_t nl = s.find('\n');
      if (nl == std::string_view::npos) {
        d.lines.push_back(Line{std::string(s), std::string()});
        break;
      }
      std::string_view text = s.substr(0, nl);
      const bool crlf = !text.empty() && text.back() == '\r';
      if (crlf) text.remove_suffix(1);
      d.lines.push_back(Line{std::string(text), std::string(crlf ? "\r\n" : "\n")});
      s.remove_prefix(nl + 1);
      if (!eolSeen) {
        d.newEol = d.lines.back().eol;
        eolSeen = true;
      }
    }
    return d;
  }

  std::string Serialize() const {
    std::string out;
    if (bom) out += kBom;
    for (const Line& l : lines) {
      out += l.text;
      out += l.eol;
    }
    return out;
  }

  struct Range {
    std::size_t header;  // the "[name]" line
    std::size_t end;     // one past the section's last line
  };

  // Every section's copies by its name, letters folded; built for a document that no longer
  // changes.
  std::unordered_map<std::string, std::vector<Range>> index;
  bool indexed = false;

  void BuildIndex() {
    std::vector<Range>* open = nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ParsedLine p = Classify(lines[i].text);
      if (p.kind != LineKind::Section) continue;
      if (open) open->back().end = i;
      open = &index[Folded(p.name)];
      open->push_back({i, lines.size()});
    }
    indexed = true;
  }

  // Every copy of the section, in file order.
  std::vector<Range> Sections(std::string_view name) const {
    if (indexed) {
      auto it = index.find(Folded(Trim(name)));
      return it == index.end() ? std::vector<Range>{} : it->second;
    }
    std::vector<Range> ranges;
    name = Trim(name);
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ParsedLine p = Classify(lines[i].text);
      if (p.kind != LineKind::Section) continue;
      if (inside) ranges.back().end = i;
      inside = SameName(p.name, name);
      if (inside) ranges.push_back({i, lines.size()});
    }
    return ranges;
  }

  // The first line holding the key in any copy of the section.
  std::optional<std::size_t> FindKey(std::string_view section, std::string_view key) const {
    key = Trim(key);
    for (const Range& r : Sections(section)) {
      for (std::size_t i = r.header + 1; i < r.end; ++i) {
        ParsedLine p = Classify(lines[i].text);
        if (p.kind == LineKind::Key && SameName(p.name, key)) return i;
      }
    }
    return std::nullopt;
  }

  void Insert(std::size_t pos, std::string text) {
    if (pos > 0 && lines[pos - 1].eol.empty()) lines[pos - 1].eol = newEol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(pos), Line{std::move(text), newEol});
  }
};

TIniFile::TIniFile(std::filesystem::path fileName, std::shared_ptr<Env> env)
    : fileName_(std::move(fileName)), env_(std::move(env)) {}

void TIniFile::WriteFailed() const { throw EIniFileError("Unable to write to " + fileName_.string()); }

TIniFile TIniFile::Frozen() const {
  TIniFile copy(fileName_, env_);
  std::optional<Document> doc = ReadDocument();
  if (!doc) {
    copy.frozen_ = nullptr;
    return copy;
  }
  doc->BuildIndex();
  copy.frozen_ = std::make_shared<const Document>(std::move(*doc));
  return copy;
}

std::shared_ptr<const TIniFile::Document> TIniFile::Load() const {
  if (frozen_) return *frozen_;
  std::optional<Document> doc = ReadDocument();
  if (!doc) return nullptr;
  return std::make_shared<const Document>(std::move(*doc));
}

std::optional<TIniFile::Document> TIniFile::ReadDocument() const {
  std::string error;
  ReadFailure why = ReadFailure::None;
  std::optional<std::string> content = env_->ReadFile(fileName_, kMaxSettingsFileBytes, error, &why);
  // A FIFO, a device or a huge file in the settings' place is not a missing file: reading
  // it as all defaults would hide it, and writing would then replace it.
  if (why == ReadFailure::Refused) throw EIniFileError("Cannot read " + error);
  if (!content) return std::nullopt;
  return Document::Parse(*content);
}

TIniFile::Document TIniFile::LoadForChange() const {
  if (!env_->Stat(fileName_)) return Document{};
  std::optional<Document> doc = ReadDocument();
  if (!doc) WriteFailed();
  return std::move(*doc);
}

void TIniFile::Store(const Document& doc) const {
  // Write through a symbolic link to the file it names rather than replacing the link.
  std::filesystem::path target = fileName_;
  std::error_code ec;
  if (std::filesystem::is_symlink(target, ec)) {
    std::filesystem::path resolved = std::filesystem::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  std::filesystem::path dir = target.parent_path();
  std::string content = doc.Serialize();

  std::string error;
  std::unique_ptr<WritableFile> file;
  std::filesystem::path temp;
  for (int attempt = 0; attempt < 3 && !file; ++attempt) {
    temp = dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) + "-" +
                  std::to_string(g_tempCounter.fetch_add(1)) + ".tmp");
    file = env_->NewWritableFile(temp, error);
  }
  if (!file) WriteFailed();
  bool ok = file->Append(content) && file->Sync();
  ok = file->Close() && ok;
  if (ok) {
    // Keep the permissions the file had.
    std::filesystem::file_status old = std::filesystem::status(target, ec);
    if (!ec && std::filesystem::exists(old)) std::filesystem::permissions(temp, old.permissions(), ec);
    ok = env_->Rename(temp, target, error);
  }
  if (!ok) {
    env_->Remove(temp);
    WriteFailed();
  }
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  std::shared_ptr<const Document> doc = Load();
  if (!doc) return std::string(def);
  std::optional<std::size_t> line = doc->FindKey(section, key);
  if (!line) return std::string(def);
  return CutValue(Unquote(Classify(doc->lines[*line].text).value));
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const {
  std::shared_ptr<const Document> doc = Load();
  if (!doc) return def;
  std::optional<std::size_t> line = doc->FindKey(section, key);
  if (!line) return def;
  return ParseIniInteger(CutValue(Unquote(Classify(doc->lines[*line].text).value))).value_or(def);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (!ValidSectionName(section) || !ValidKeyName(key) || HasLineBreakOrNul(value)) WriteFailed();
  section = Trim(section);
  key = Trim(key);
  std::string encoded = Encode(value);

  frozen_.reset();
  std::lock_guard<std::mutex> lock(ChangeMutex());
  Document doc = LoadForChange();
  if (std::optional<std::size_t> at = doc.FindKey(section, key)) {
    std::string& text = doc.lines[*at].text;
    ParsedLine p = Classify(text);
    if (p.value == encoded) return;  // already there: leave the file alone
    std::size_t indent = text.find_first_not_of(" \t");
    text = text.substr(0, indent) + std::string(p.name) + "=" + encoded;
  } else if (std::vector<Document::Range> ranges = doc.Sections(section); !ranges.empty()) {
    // A new key goes after the last entry of the section, before the blank lines and
    // comments that lead to the next one.
    const Document::Range& r = ranges.front();
    std::size_t pos = r.header + 1;
    for (std::size_t i = r.header + 1; i < r.end; ++i) {
      LineKind kind = Classify(doc.lines[i].text).kind;
      if (kind == LineKind::Key || kind == LineKind::Other) pos = i + 1;
    }
    doc.Insert(pos, std::string(key) + "=" + encoded);
  } else {
    // A new section goes at the end of the file, after a blank line.
    if (!doc.lines.empty() && Classify(doc.lines.back().text).kind != LineKind::Blank)
      doc.Insert(doc.lines.size(), "");
    doc.Insert(doc.lines.size(), "[" + std::string(section) + "]");
    doc.Insert(doc.lines.size(), std::string(key) + "=" + encoded);
  }
  Store(doc);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(std::string_view section) const {
  std::shared_ptr<const Document> doc = Load();
  return doc && !doc->Sections(section).empty();
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  std::shared_ptr<const Document> doc = Load();
  return doc && doc->FindKey(section, key).has_value();
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> names;
  std::shared_ptr<const Document> doc = Load();
  if (!doc) return names;
  std::unordered_set<std::string> seen;
  for (const Document::Line& l : doc->lines) {
    ParsedLine p = Classify(l.text);
    if (p.kind == LineKind::Section && !p.name.empty() && seen.insert(Folded(p.name)).second)
      names.emplace_back(p.name);
  }
  return names;
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  std::vector<std::string> keys;
  for (auto& kv : ReadSectionValues(section)) keys.push_back(std::move(kv.first));
  return keys;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> values;
  std::shared_ptr<const Document> doc = Load();
  if (!doc) return values;
  std::unordered_set<std::string> seen;
  for (const Document::Range& r : doc->Sections(section)) {
    for (std::size_t i = r.header + 1; i < r.end; ++i) {
      ParsedLine p = Classify(doc->lines[i].text);
      if (p.kind == LineKind::Key && seen.insert(Folded(p.name)).second)
        values.emplace_back(std::string(p.name), CutValue(Unquote(p.value)));
    }
  }
  return values;
}

std::vector<std::string> TIniFile::ReadSectionLines(std::string_view section) const {
  std::vector<std::string> out;
  std::shared_ptr<const Document> doc = Load();
  if (!doc) return out;
  for (const Document::Range& r : doc->Sections(section))
    for (std::size_t i = r.header + 1; i < r.end; ++i) out.push_back(doc->lines[i].text);
  return out;
}

void TIniFile::EraseSection(std::string_view section) {
  if (!ValidSectionName(section)) return;
  frozen_.reset();
  std::lock_guard<std::mutex> lock(ChangeMutex());
  Document doc = LoadForChange();
  std::vector<Document::Range> ranges = doc.Sections(section);
  if (ranges.empty()) return;
  for (auto r = ranges.rbegin(); r != ranges.rend(); ++r)
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(r->header),
                    doc.lines.begin() + static_cast<std::ptrdiff_t>(r->end));
  Store(doc);
}

void TIniFile::ReplaceSection(std::string_view section,
                              const std::vector<std::pair<std::string, std::string>>& values) {
  if (!ValidSectionName(section)) WriteFailed();
  for (const auto& [key, value] : values)
    if (!ValidKeyName(key) || HasLineBreakOrNul(value)) WriteFailed();
  section = Trim(section);
  frozen_.reset();
  std::lock_guard<std::mutex> lock(ChangeMutex());
  Document doc = LoadForChange();
  std::vector<Document::Range> ranges = doc.Sections(section);
  std::size_t at = doc.lines.size();
  std::string header = "[" + std::string(section) + "]";
  if (!ranges.empty()) {
    at = ranges.front().header;
    header = doc.lines[at].text;  // the name as the file spells it
    // Blank lines and comments that lead to the next section stay where they are.
    const Document::Range& first = ranges.front();
    std::size_t end = first.header + 1;
    for (std::size_t i = first.header + 1; i < first.end; ++i) {
      LineKind kind = Classify(doc.lines[i].text).kind;
      if (kind == LineKind::Key || kind == LineKind::Other) end = i + 1;
    }
    for (auto r = ranges.rbegin(); r != ranges.rend(); ++r) {
      const std::size_t stop = (r == ranges.rend() - 1) ? end : r->end;
      doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(r->header),
                      doc.lines.begin() + static_cast<std::ptrdiff_t>(stop));
    }
  } else if (!doc.lines.empty() && Classify(doc.lines.back().text).kind != LineKind::Blank) {
    doc.Insert(doc.lines.size(), "");
    at = doc.lines.size();
  }
  doc.Insert(at++, header);
  for (const auto& [key, value] : values) doc.Insert(at++, std::string(Trim(key)) + "=" + Encode(value));
  Store(doc);
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
  if (!ValidSectionName(section) || !ValidKeyName(key)) return;
  frozen_.reset();
  std::lock_guard<std::mutex> lock(ChangeMutex());
  Document doc = LoadForChange();
  std::vector<std::size_t> doomed;
  for (const Document::Range& r : doc.Sections(section)) {
    for (std::size_t i = r.header + 1; i < r.end; ++i) {
      ParsedLine p = Classify(doc.lines[i].text);
      if (p.kind == LineKind::Key && SameName(p.name, Trim(key))) doomed.push_back(i);
    }
  }
  if (doomed.empty()) return;
  for (auto i = doomed.rbegin(); i != doomed.rend(); ++i)
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(*i));
  Store(doc);
}

}  // namespace kestrove

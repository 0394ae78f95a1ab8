// reg query | add | delete over the target's registry store, worded and behaving as Windows'
// reg.exe: output on stdout, "ERROR: ..." on stderr, exit status 0 or 1.
#include "cli/RegTool.h"

#include <functional>

#include <cstdio>
#include <istream>
#include <ostream>

#include "platform/RegistryTypes.h"
#include "platform/TRegistry.h"
#include "platform/Text.h"

namespace kestrove::cli {

namespace {

// ---- Texts ---------------------------------------------------------------------------------

constexpr const char* kSuccess = "The operation completed successfully.\n";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char* kCancelled = "The operation was canceled by the user.\n";
constexpr const char* kAccessDenied = "ERROR: Access is denied.\n";
constexpr const char* kDefaultName = "(Default)";
constexpr const char* kValueNotSet = "(value not set)";

constexpr const char* kRegUsage =
    "REG OPERATION [parameters]\n"
    "\n"
    "  OPERATION  QUERY | ADD | DELETE\n"
    "\n"
    "Type \"REG OPERATION /?\" for the parameters of one operation.\n"
    "Exit status: 0 when the operation succeeded, 1 when it failed.\n";

constexpr const char* kQueryUsage =
    "REG QUERY KEY [/v NAME | /ve] [/s] [/f DATA [/k] [/d] [/c] [/e]] [/t TYPES] [/se SEPARATOR]\n"
    "\n"
    "  KEY     ROOT\\Subkey; ROOT is HKLM, HKCU, HKCR, HKU or HKCC, or its long\n"
    "          name (HKEY_LOCAL_MACHINE, ...).\n"
    "  /v      Shows the value NAME only.\n"
    "  /ve     Shows the default value, \"(Default)\", only.\n"
    "  /s      Goes through every subkey below KEY as well.\n"
    "  /f      Searches key names, value names and data for DATA; * and ? are wildcards.\n"
    "  /k      With /f: searches key names only.\n"
    "  /d      With /f: searches data only.\n"
    "  /c      With /f: letter case must match.\n"
    "  /e      With /f: the whole name or data must match DATA.\n"
    "  /t      Shows values of these types only, e.g. REG_SZ,REG_DWORD.\n"
    "  /se     The separator shown between REG_MULTI_SZ strings; \\0 when not given.\n"
    "\n"
    "Examples:\n"
    "  REG QUERY HKCU\\Software\\Wine /s\n"
    "  REG QUERY \"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\" /v CurrentVersion\n";

constexpr const char* kAddUsage =
    "REG ADD KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "\n"
    "  KEY     ROOT\\Subkey; ROOT is HKLM, HKCU, HKCR, HKU or HKCC, or its long\n"
    "          name. Missing keys on the way are created.\n"
    "  /v      The value to set.\n"
    "  /ve     Sets the default value, \"(Default)\"; also used when /v is not given.\n"
    "  /t      REG_SZ (when not given), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
    "          REG_QWORD, REG_BINARY or REG_NONE.\n"
    "  /s      The single character that separates REG_MULTI_SZ strings in DATA;\n"
    "          \\0 when not given.\n"
    "  /d      The data: text; a decimal or 0x hexadecimal number for REG_DWORD and\n"
    "          REG_QWORD; hexadecimal digits for REG_BINARY.\n"
    "  /f      Overwrites an existing value without asking.\n"
    "\n"
    "Examples:\n"
    "  REG ADD HKCU\\Software\\MyCo /v Count /t REG_DWORD /d 0x10 /f\n"
    "  REG ADD HKCU\\Software\\MyCo /v Paths /t REG_MULTI_SZ /s ; /d \"C:\\a;C:\\b\"\n";

constexpr const char* kDeleteUsage =
    "REG DELETE KEY [/v NAME | /ve | /va] [/f]\n"
    "\n"
    "  KEY     ROOT\\Subkey; ROOT is HKLM, HKCU, HKCR, HKU or HKCC, or its long\n"
    "          name. Without /v, /ve or /va the key and everything below it is deleted.\n"
    "  /v      The value to delete.\n"
    "  /ve     Deletes the default value, \"(Default)\".\n"
    "  /va     Deletes every value of KEY; its subkeys stay.\n"
    "  /f      Deletes without asking.\n"
    "\n"
    "Examples:\n"
    "  REG DELETE HKCU\\Software\\MyCo /v Count /f\n"
    "  REG DELETE HKCU\\Software\\MyCo /f\n";

void InvalidSyntax(std::ostream& err, std::string_view op) {
  err << "ERROR: Invalid syntax.\n";
  if (op.empty())
    err << "Type \"REG /?\" for usage.\n";
  else
    err << "Type \"REG " << op << " /?\" for usage.\n";
}

void InvalidKey(std::ostream& err, std::string_view op) {
  err << "ERROR: Invalid key name.\nType \"REG " << op << " /?\" for usage.\n";
}

// ---- Small helpers -------------------------------------------------------------------------

bool IsHelpSwitch(std::string_view arg) {
  if (arg.size() != 2 || (arg[0] != '/' && arg[0] != '-')) return false;
  return arg[1] == '?' || arg[1] == 'h' || arg[1] == 'H';
}

// "/v" and "-V" give "v"; anything that is no switch gives nullopt.
std::optional<std::string> SwitchOf(std::string_view arg) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return std::nullopt;
  return AsciiLower(arg.substr(1));
}

struct TypeName {
  const char* name;
  std::uint32_t type;
};

// Names /t takes. REG_DWORD_LITTLE_ENDIAN is REG_DWORD under another name.
constexpr TypeName kTypeNames[] = {
    {"REG_NONE", REG_NONE},
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

std::optional<std::uint32_t> TypeFromName(std::string_view name) {
  const std::string lower = AsciiLower(name);
  for (const auto& t : kTypeNames)
    if (lower == AsciiLower(t.name)) return t.type;
  return std::nullopt;
}

// One character of the command line as one UTF-16 unit, or nullopt for anything longer.
std::optional<char16_t> SingleUnit(std::string_view text) {
  const std::u16string u = Utf8ToU16(text);
  if (u.size() != 1) return std::nullopt;
  return u[0];
}

std::string DecodeString(const Bytes& data) {
  std::string s = Utf16LeToUtf8(data.data(), data.size() & ~static_cast<std::size_t>(1));
  const std::size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

std::string HexBytes(const Bytes& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data.size() * 2);
  for (std::uint8_t b : data) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::uint64_t LittleEndian(const Bytes& data, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = size; i-- > 0;) v = (v << 8) | data[i];
  return v;
}

// A decimal number, or 0x followed by hexadecimal digits; nullopt above `max` or on any other
// character (signs and blanks included).
std::optional<std::uint64_t> ParseRegNumber(std::string_view text, std::uint64_t max) {
  unsigned base = 10;
  std::size_t i = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    if (value > (max - d) / base) return std::nullopt;
    value = value * base + d;
  }
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ChildPath(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

// Windows keeps keys at most 512 levels deep; deeper walks can only come from a link cycle.
constexpr int kMaxDepth = 512;

// Answers a Yes/No question on `io`. Only "y" or "yes" (any case) agrees; anything else,
// including the end of the input, declines.
bool Confirm(RegToolIo& io, const std::string& question) {
  io.out << question << std::flush;
  std::string line;
  const bool answered = static_cast<bool>(std::getline(io.in, line));
  if (!io.interactive) io.out << "\n";
  if (!answered) return false;
  const std::size_t b = line.find_first_not_of(" \t\r");
  const std::size_t e = line.find_last_not_of(" \t\r");
  const std::string answer = b == std::string::npos ? std::string() : AsciiLower(line.substr(b, e - b + 1));
  return answer == "y" || answer == "yes";
}

void DiscardQuietly(RegistryStore& store) {
  try {
    store.Discard();
  } catch (const RegistryError&) {
  }
}

// How a change went. The store reads again a hive file another program changed since the
// command looked (before its first change), so the key or value the command found may be gone
// by the time it is changed.
enum class TChange {
  Done,
  Refused,  // the store keeps the key to itself (HKEY_USERS itself, a hive's own root, a key outside every hive)
  Gone,     // the key or value is no longer there
};

// Makes a change and writes it. Whatever fails, nothing is left half-done in memory.
int ApplyAndCommit(RegistryStore& store, RegToolIo& io, const std::function<TChange()>& change) {
  try {
    if (const TChange outcome = change(); outcome != TChange::Done) {
      DiscardQuietly(store);
      io.err << (outcome == TChange::Gone ? kNotFound : kAccessDenied);
      return 1;
    }
  } catch (const RegistryError& e) {
    io.err << "ERROR: " << e.what() << "\n";
    DiscardQuietly(store);
    return 1;
  }
  if (!CommitOrReport(store, io)) return 1;
  io.out << kSuccess;
  return 0;
}

// ---- Wildcard search -----------------------------------------------------------------------

class Pattern {
 public:
  Pattern(std::string_view text, bool caseSensitive, bool exact) : caseSensitive_(caseSensitive) {
    std::u16string p = Utf8ToU16(text);
    if (!exact) p = u"*" + p + u"*";
    pattern_ = Fold(std::move(p));
  }

  bool Matches(std::string_view text) const { return Glob(Fold(Utf8ToU16(text)), pattern_); }

 private:
  std::u16string Fold(std::u16string s) const {
    if (!caseSensitive_)
      for (char16_t& c : s) c = FoldCase(c);
    return s;
  }

  // '*' any run of characters, '?' one character; linear backtracking on the last '*'.
  static bool Glob(const std::u16string& s, const std::u16string& p) {
    std::size_t si = 0, pi = 0, starP = std::u16string::npos, starS = 0;
    while (si < s.size()) {
      if (pi < p.size() && (p[pi] == u'?' || (p[pi] != u'*' && p[pi] == s[si]))) {
        ++si;
        ++pi;
      } else if (pi < p.size() && p[pi] == u'*') {
        starP = pi++;
        starS = si;
      } else if (starP != std::u16string::npos) {
        pi = starP + 1;
        si = ++starS;
      } else {
        return false;
      }
    }
    while (pi < p.size() && p[pi] == u'*') ++pi;
    return pi == p.size();
  }

  bool caseSensitive_;
  std::u16string pattern_;
};

// ---- reg query -----------------------------------------------------------------------------

struct QueryRequest {
  RegKeyArg key;
  std::optional<std::string> value;  // /v NAME ("" is the default value, as /ve)
  bool recurse = false;
  std::optional<std::string> find;
  bool findKeys = false;
  bool findData = false;
  bool caseSensitive = false;
  bool exact = false;
  std::vector<std::uint32_t> types;  // empty: every type
  std::string separator = "\\0";
};

class Query {
 public:
  Query(RegistryStore& store, const QueryRequest& q, RegToolIo& io) : store_(store), q_(q), io_(io) {}

  int Run() {
    const RegKeyArg& key = q_.key;
    if (!store_.KeyExists(key.root, key.path)) {
      io_.err << kNotFound;
      return 1;
    }
    if (q_.find) return Search();
    if (q_.value) return q_.recurse ? SearchValue() : ShowValue();
    io_.out << "\n";
    List(key.path, key.display, true, 0);
    return 0;
  }

 private:
  bool Shown(const RegValue& v) const {
    if (q_.types.empty()) return true;
    for (std::uint32_t t : q_.types)
      if (t == v.type) return true;
    return false;
  }

  std::vector<RegValue> ShownValues(const std::string& path) {
    std::vector<RegValue> shown;
    if (auto values = store_.Values(q_.key.root, path))
      for (auto& v : *values)
        if (Shown(v)) shown.push_back(std::move(v));
    return shown;
  }

  std::vector<std::string> SubKeys(const std::string& path) {
    auto names = store_.SubKeyNames(q_.key.root, path);
    return names ? std::move(*names) : std::vector<std::string>();
  }

  void ValueLine(const RegValue& v) {
    io_.out << "    " << (v.name.empty() ? kDefaultName : v.name) << "    " << RegTypeName(v.type) << "    "
            << FormatRegData(v.type, v.data, q_.separator) << "\n";
  }

  // A key's values under its name, then (without /s) its subkeys' full names. The key asked
  // for is named only when it has values; with /s every key below it is named, values or not.
  void List(const std::string& path, const std::string& display, bool top, int depth) {
    const std::vector<RegValue> values = ShownValues(path);
    if (!values.empty() || !top) io_.out << display << "\n";
    for (const auto& v : values) ValueLine(v);
    if (!values.empty() || !top) io_.out << "\n";
    if (depth >= kMaxDepth) return;
    for (const std::string& name : SubKeys(path)) {
      if (q_.recurse)
        List(ChildPath(path, name), display + "\\" + name, false, depth + 1);
      else
        io_.out << display << "\\" << name << "\n";
    }
  }

  int ShowValue() {
    const RegKeyArg& key = q_.key;
    auto v = store_.QueryValue(key.root, key.path, *q_.value);
    if (v && !Shown(*v)) v.reset();
    if (!v && !q_.value->empty()) {
      io_.err << kNotFound;
      return 1;
    }
    io_.out << "\n" << key.display << "\n";
    if (v)
      ValueLine(*v);
    else  // an unset default value is shown as such, as Windows does
      io_.out << "    " << kDefaultName << "    REG_SZ    " << kValueNotSet << "\n";
    io_.out << "\n";
    return 0;
  }

  // /v NAME /s: every key from KEY down that holds the value.
  int SearchValue() {
    io_.out << "\n";
    FindValue(q_.key.path, q_.key.display, 0);
    return EndOfSearch();
  }

  void FindValue(const std::string& path, const std::string& display, int depth) {
    auto v = store_.QueryValue(q_.key.root, path, *q_.value);
    if (v && Shown(*v)) {
      io_.out << display << "\n";
      ValueLine(*v);
      io_.out << "\n";
      ++matches_;
    }
    if (depth >= kMaxDepth) return;
    for (const std::string& name : SubKeys(path)) FindValue(ChildPath(path, name), display + "\\" + name, depth + 1);
  }

  // /f DATA: key names (below KEY), value names and data that match.
  int Search() {
    const bool all = !q_.findKeys && !q_.findData;
    searchKeys_ = all || q_.findKeys;
    searchNames_ = all;
    searchData_ = all || q_.findData;
    pattern_.emplace(*q_.find, q_.caseSensitive, q_.exact);
    io_.out << "\n";
    SearchKey(q_.key.path, q_.key.display, false, 0);
    return EndOfSearch();
  }

  void SearchKey(const std::string& path, const std::string& display, bool keyMatched, int depth) {
    bool named = false;
    if (keyMatched) {
      io_.out << display << "\n";
      named = true;
      ++matches_;
    }
    bool anyValue = false;
    for (const RegValue& v : ShownValues(path)) {
      const bool hit = (searchNames_ && pattern_->Matches(v.name.empty() ? kDefaultName : v.name)) ||
                       (searchData_ && pattern_->Matches(FormatRegData(v.type, v.data, q_.separator)));
      if (!hit) continue;
      if (!named) io_.out << display << "\n";
      named = true;
      anyValue = true;
      ValueLine(v);
      ++matches_;
    }
    if (anyValue) io_.out << "\n";
    if (depth >= kMaxDepth) return;
    for (const std::string& name : SubKeys(path)) {
      const bool hit = searchKeys_ && pattern_->Matches(name);
      if (q_.recurse)
        SearchKey(ChildPath(path, name), display + "\\" + name, hit, depth + 1);
      else if (hit) {
        io_.out << display << "\\" << name << "\n";
        ++matches_;
      }
    }
  }

  // Finding nothing is a failed search, as for reg.exe.
  int EndOfSearch() {
    io_.out << "End of search: " << matches_ << " match(es) found.\n";
    return matches_ ? 0 : 1;
  }

  RegistryStore& store_;
  const QueryRequest& q_;
  RegToolIo& io_;
  std::size_t matches_ = 0;
  bool searchKeys_ = false;
  bool searchNames_ = false;
  bool searchData_ = false;
  std::optional<Pattern> pattern_;
};

// nullopt after reporting invalid syntax.
std::optional<QueryRequest> ParseQuery(const RegKeyArg& key, const Args& args, std::ostream& err) {
  QueryRequest q;
  q.key = key;
  bool valueEmpty = false, findFlags = false, haveTypes = false, haveSeparator = false;
  bool seenK = false, seenD = false, seenC = false, seenE = false;
  auto invalid = [&]() -> std::optional<QueryRequest> {
    InvalidSyntax(err, "QUERY");
    return std::nullopt;
  };
  for (std::size_t i = 2; i < args.size(); ++i) {
    auto sw = SwitchOf(args[i]);
    if (!sw) return invalid();
    auto next = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (*sw == "v") {
      const std::string* name = next();
      if (q.value || !name) return invalid();
      q.value = *name;
    } else if (*sw == "ve") {
      if (valueEmpty) return invalid();
      valueEmpty = true;
    } else if (*sw == "s") {
      if (q.recurse) return invalid();
      q.recurse = true;
    } else if (*sw == "f") {
      const std::string* data = next();
      if (q.find || !data) return invalid();
      q.find = *data;
    } else if (*sw == "k" || *sw == "d" || *sw == "c" || *sw == "e") {
      bool& seen = *sw == "k" ? seenK : *sw == "d" ? seenD : *sw == "c" ? seenC : seenE;
      if (seen) return invalid();
      seen = true;
      findFlags = true;
    } else if (*sw == "t") {
      const std::string* list = next();
      if (haveTypes || !list) return invalid();
      haveTypes = true;
      std::string_view rest(*list);
      while (true) {
        const std::size_t comma = rest.find(',');
        auto type = TypeFromName(rest.substr(0, comma));
        if (!type) return invalid();
        q.types.push_back(*type);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
    } else if (*sw == "se") {
      const std::string* sep = next();
      if (haveSeparator || !sep || !SingleUnit(*sep)) return invalid();
      haveSeparator = true;
      q.separator = *sep;
    } else {
      return invalid();
    }
  }
  if (q.value && valueEmpty) return invalid();
  if (valueEmpty) q.value = std::string();
  if (findFlags && !q.find) return invalid();
  if (q.find && q.value) return invalid();
  q.findKeys = seenK;
  q.findData = seenD;
  q.caseSensitive = seenC;
  q.exact = seenE;
  return q;
}

// ---- reg add -------------------------------------------------------------------------------

struct AddRequest {
  RegKeyArg key;
  std::string value;  // "" is the default value
  std::uint32_t type = REG_SZ;
  Bytes data;
  bool force = false;
};

bool ValidKeyNames(const std::string& path) {
  for (auto part : SplitKeyPath(path))
    if (Utf16Length(part) > 255) return false;
  return true;
}

// Everything reg add is told is checked here, before the target is touched: a bad /t or /d
// leaves the registry as it was.
std::optional<AddRequest> ParseAdd(const RegKeyArg& key, const Args& args, std::ostream& err) {
  AddRequest a;
  a.key = key;
  std::optional<std::string> value, type, data;
  char16_t separator = 0;
  bool valueEmpty = false, haveSeparator = false;
  auto invalid = [&]() -> std::optional<AddRequest> {
    InvalidSyntax(err, "ADD");
    return std::nullopt;
  };
  for (std::size_t i = 2; i < args.size(); ++i) {
    auto sw = SwitchOf(args[i]);
    if (!sw) return invalid();
    auto next = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (*sw == "v") {
      const std::string* name = next();
      if (value || !name) return invalid();
      value = *name;
    } else if (*sw == "ve") {
      if (valueEmpty) return invalid();
      valueEmpty = true;
    } else if (*sw == "t") {
      const std::string* name = next();
      if (type || !name) return invalid();
      type = *name;
    } else if (*sw == "s") {
      const std::string* sep = next();
      if (haveSeparator || !sep) return invalid();
      auto unit = SingleUnit(*sep);
      if (!unit || *unit == 0) return invalid();
      separator = *unit;
      haveSeparator = true;
    } else if (*sw == "d") {
      const std::string* text = next();
      if (data || !text) return invalid();
      data = *text;
    } else if (*sw == "f") {
      if (a.force) return invalid();
      a.force = true;
    } else {
      return invalid();
    }
  }
  if (value && valueEmpty) return invalid();
  a.value = value.value_or(std::string());
  if (type) {
    auto t = TypeFromName(*type);
    if (!t) return invalid();
    a.type = *t;
  }
  if ((a.type == REG_DWORD || a.type == REG_DWORD_BIG_ENDIAN) && !data) return invalid();
  std::string error;
  auto bytes = ConvertRegData(a.type, data, separator, error);
  if (!bytes) {
    err << "ERROR: " << error << "\n";
    return std::nullopt;
  }
  a.data = std::move(*bytes);
  if (!ValidKeyNames(a.key.path)) {
    InvalidKey(err, "ADD");
    return std::nullopt;
  }
  return a;
}

int Add(RegistryStore& store, const AddRequest& a, RegToolIo& io) {
  const RegKeyArg& key = a.key;
  if (!a.force && store.QueryValue(key.root, key.path, a.value)) {
    if (!Confirm(io, "Value " + a.value + " exists, overwrite(Yes/No)? ")) {
      io.out << kCancelled;
      return 0;
    }
  }
  return ApplyAndCommit(store, io, [&] {
    if (!store.CreateKey(key.root, key.path)) return TChange::Refused;
    if (store.SetValue(key.root, key.path, a.value, a.type, a.data)) return TChange::Done;
    // The key went with a file read again: made anew, as for a key that was never there.
    if (!store.KeyExists(key.root, key.path) && store.CreateKey(key.root, key.path) &&
        store.SetValue(key.root, key.path, a.value, a.type, a.data))
      return TChange::Done;
    return TChange::Refused;
  });
}

// ---- reg delete ----------------------------------------------------------------------------

struct DeleteRequest {
  RegKeyArg key;
  std::optional<std::string> value;  // /v NAME or /ve ("")
  bool allValues = false;
  bool force = false;
};

std::optional<DeleteRequest> ParseDelete(const RegKeyArg& key, const Args& args, std::ostream& err) {
  DeleteRequest d;
  d.key = key;
  std::optional<std::string> value;
  bool valueEmpty = false;
  auto invalid = [&]() -> std::optional<DeleteRequest> {
    InvalidSyntax(err, "DELETE");
    return std::nullopt;
  };
  for (std::size_t i = 2; i < args.size(); ++i) {
    auto sw = SwitchOf(args[i]);
    if (!sw) return invalid();
    if (*sw == "v") {
      if (value || i + 1 >= args.size()) return invalid();
      value = args[++i];
    } else if (*sw == "ve") {
      if (valueEmpty) return invalid();
      valueEmpty = true;
    } else if (*sw == "va") {
      if (d.allValues) return invalid();
      d.allValues = true;
    } else if (*sw == "f") {
      if (d.force) return invalid();
      d.force = true;
    } else {
      return invalid();
    }
  }
  if (int(value.has_value()) + int(valueEmpty) + int(d.allValues) > 1) return invalid();
  if (valueEmpty) value = std::string();
  d.value = value;
  if (!d.value && !d.allValues && key.path.empty()) {  // a root is no key to delete
    InvalidKey(err, "DELETE");
    return std::nullopt;
  }
  return d;
}

int Delete(RegistryStore& store, const DeleteRequest& d, RegToolIo& io) {
  const RegKeyArg& key = d.key;
  const bool wholeKey = !d.value && !d.allValues;
  if (!store.KeyExists(key.root, key.path) || (d.value && !store.QueryValue(key.root, key.path, *d.value))) {
    io.err << kNotFound;
    return 1;
  }
  if (!d.force) {
    std::string question;
    if (wholeKey)
      question = "Permanently delete the registry key " + key.display + " (Yes/No)? ";
    else if (d.allValues)
      question = "Delete all values under the registry key " + key.display + " (Yes/No)? ";
    else
      question = "Delete the registry value " + (d.value->empty() ? std::string(kDefaultName) : *d.value) +
                 " (Yes/No)? ";
    if (!Confirm(io, question)) {
      io.out << kCancelled;
      return 0;
    }
  }
  return ApplyAndCommit(store, io, [&] {
    if (wholeKey) {
      if (store.DeleteKey(key.root, key.path)) return TChange::Done;
    } else if (d.value) {
      if (store.DeleteValue(key.root, key.path, *d.value)) return TChange::Done;
    } else {
      bool done = true;
      // A value another program removed meanwhile is as good as deleted; the key must stay.
      if (auto names = store.ValueNames(key.root, key.path))
        for (const std::string& name : *names)
          done = (store.DeleteValue(key.root, key.path, name) || !store.QueryValue(key.root, key.path, name)) && done;
      if (done && store.KeyExists(key.root, key.path)) return TChange::Done;
    }
    if (!store.KeyExists(key.root, key.path) || (d.value && !store.QueryValue(key.root, key.path, *d.value)))
      return TChange::Gone;
    return TChange::Refused;
  });
}

}  // namespace

// Writes what the store holds back to the target's files. A refusal (Wine runs on the target)
// or a failed write is reported and the change dropped, so memory matches the files again.
bool CommitOrReport(RegistryStore& store, RegToolIo& io) {
  try {
    store.Commit();
    return true;
  } catch (const RegistryError& e) {
    io.err << "ERROR: " << e.what() << "\n";
  }
  try {
    store.Discard();
  } catch (const RegistryError&) {
    // The files could not be read back; the message above already says what went wrong.
  }
  return false;
}


// ---- Public helpers ------------------------------------------------------------------------

std::optional<RegKeyArg> ParseRegKey(std::string_view text) {
  // Remote registries ("\\machine\HKLM\...") do not exist for a target on this machine.
  if (text.empty() || text[0] == '\\') return std::nullopt;
  const std::size_t slash = text.find('\\');
  const std::string_view rootName = text.substr(0, slash);
  // reg.exe takes the five roots by their long or short names; the performance and dynamic
  // data roots are no keys it works on.
  const auto found = RootKeyFromName(rootName);
  if (!found || *found == HKEY_PERFORMANCE_DATA || *found == HKEY_DYN_DATA) return std::nullopt;
  std::string_view rest;
  if (slash != std::string_view::npos) {
    rest = text.substr(slash + 1);
    if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);  // one trailing "\" is allowed
    if (rest.empty() || rest.front() == '\\' || rest.back() == '\\' || rest.find("\\\\") != std::string_view::npos)
      return std::nullopt;
  }
  RegKeyArg key;
  key.root = *found;
  key.path = std::string(rest);
  key.display = RootKeyName(*found);
  if (!rest.empty()) key.display += "\\" + key.path;
  return key;
}

std::string RegTypeName(std::uint32_t type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", type);
  return buf;
}

std::string FormatRegData(std::uint32_t type, const Bytes& data, std::string_view multiSeparator) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
      return DecodeString(data);
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
      const std::size_t size = type == REG_QWORD ? 8 : 4;
      if (data.size() != size) break;  // malformed: shown as the bytes it holds
      char buf[24];
      std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(LittleEndian(data, size)));
      return buf;
    }
    case REG_MULTI_SZ: {
      std::string all = Utf16LeToUtf8(data.data(), data.size() & ~static_cast<std::size_t>(1));
      while (!all.empty() && all.back() == '\0') all.pop_back();  // the terminators
      std::string out;
      for (char c : all) {
        if (c == '\0')
          out += multiSeparator;
        else
          out += c;
      }
      return out;
    }
    default:
      break;
  }
  return HexBytes(data);
}

std::optional<Bytes> ConvertRegData(std::uint32_t type, const std::optional<std::string>& data, char32_t separator,
                                    std::string& error) {
  const std::string text = data.value_or(std::string());
  switch (type) {
    case REG_NONE:
    case REG_SZ:
    case REG_EXPAND_SZ:
      return Utf8ToUtf16Le(text, true);
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:  // stored little-endian, as reg.exe stores it
    case REG_QWORD: {
      const bool qword = type == REG_QWORD;
      std::uint64_t value = 0;
      if (data || !qword) {
        auto n = ParseRegNumber(text, qword ? UINT64_MAX : UINT32_MAX);
        if (!n) {
          error = qword ? "The data for REG_QWORD must be a number from 0 to 18446744073709551615, in decimal or "
                          "as 0x and hexadecimal digits."
                        : "The data for REG_DWORD must be a number from 0 to 4294967295, in decimal or as 0x and "
                          "hexadecimal digits.";
          return std::nullopt;
        }
        value = *n;
      }
      Bytes out(qword ? 8 : 4);
      for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
      return out;
    }
    case REG_BINARY: {
      Bytes out;
      std::size_t i = 0;
      // An odd count of digits: the first one makes a byte of its own.
      bool ok = true;
      if (text.size() % 2) {
        const int d = HexDigit(text[0]);
        ok = d >= 0;
        out.push_back(static_cast<std::uint8_t>(d));
        i = 1;
      }
      for (; ok && i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        ok = hi >= 0 && lo >= 0;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
      }
      if (ok) return out;
      error = "The data for REG_BINARY must be hexadecimal digits only, such as 0A1B2C.";
      return std::nullopt;
    }
    case REG_MULTI_SZ: {
      if (text.empty()) return Bytes{0, 0};  // no string at all
      const std::u16string u = Utf8ToU16(text);
      std::vector<std::u16string> parts(1);
      for (std::size_t i = 0; i < u.size(); ++i) {
        if (!separator && u[i] == u'\\' && i + 1 < u.size() && u[i + 1] == u'0') {
          parts.emplace_back();
          ++i;
        } else if (separator && u[i] == separator) {
          parts.emplace_back();
        } else {
          parts.back().push_back(u[i]);
        }
      }
      if (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // a closing separator
      // A list can hold an empty string only as its one string ("/d \0"): anywhere else it
      // would end the list early for every reader.
      if (parts.size() > 1)
        for (const auto& p : parts)
          if (p.empty()) {
            error = "The data for REG_MULTI_SZ must not hold an empty string between separators.";
            return std::nullopt;
          }
      Bytes out;
      for (const auto& p : parts) {
        for (char16_t c : p) {
          out.push_back(static_cast<std::uint8_t>(c & 0xFF));
          out.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        out.push_back(0);
        out.push_back(0);
      }
      out.push_back(0);
      out.push_back(0);
      return out;
    }
    default:
      break;
  }
  error = "Values of type " + RegTypeName(type) + " cannot be set with REG ADD.";
  return std::nullopt;
}

int RunRegTool(const Args& args, const RegStoreFn& store, RegToolIo& io) {
  if (args.empty()) {
    InvalidSyntax(io.err, "");
    return 1;
  }
  if (IsHelpSwitch(args[0])) {
    if (args.size() != 1) {
      InvalidSyntax(io.err, "");
      return 1;
    }
    io.out << kRegUsage;
    return 0;
  }
  const std::string op = AsciiLower(args[0]);
  const char* usage = op == "query" ? kQueryUsage : op == "add" ? kAddUsage : op == "delete" ? kDeleteUsage : nullptr;
  if (!usage) {
    InvalidSyntax(io.err, "");
    return 1;
  }
  const std::string opName = op == "query" ? "QUERY" : op == "add" ? "ADD" : "DELETE";
  if (args.size() == 2 && IsHelpSwitch(args[1])) {
    io.out << usage;
    return 0;
  }
  if (args.size() < 2) {
    InvalidSyntax(io.err, opName);
    return 1;
  }
  auto key = ParseRegKey(args[1]);
  if (!key) {
    InvalidKey(io.err, opName);
    return 1;
  }
  if (op == "query") {
    auto q = ParseQuery(*key, args, io.err);
    if (!q) return 1;
    // /s and /f /s walk everything below the key; otherwise only its values and subkeys count.
    const TRegistryFocus focus{key->root, key->path, q->recurse};
    return Query(store(&focus), *q, io).Run();
  }
  if (op == "add") {
    auto a = ParseAdd(*key, args, io.err);
    if (!a) return 1;
    // reg add sets one value of one key (which it may create).
    const TRegistryFocus focus{key->root, key->path, false, true};
    return Add(store(&focus), *a, io);
  }
  auto d = ParseDelete(*key, args, io.err);
  if (!d) return 1;
  // Deleting values changes one key; deleting the key takes it with its whole subtree, which
  // the focus then holds.
  const TRegistryFocus focus{key->root, key->path, !d->value && !d->allValues, true};
  return Delete(store(&focus), *d, io);
}

}  // namespace kestrove::cli

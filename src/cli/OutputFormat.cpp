#include "cli/OutputFormat.h"

#include <ctime>
#include <ostream>

#include "regscan/BackupOrigin.h"

namespace kestrove::cli {

namespace {

constexpr const char* kFormats = "tsv or json";

// The length of the valid UTF-8 sequence at the start of `s`, or 0 when its first byte does
// not begin one: overlong forms, surrogates and code points past U+10FFFF are not valid.
std::size_t Utf8SequenceLength(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;   // below: overlong
    if (b0 == 0xED) high = 0x9F;  // above: UTF-16 surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;   // below: overlong
    if (b0 == 0xF4) high = 0x8F;  // above: past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

}  // namespace

bool TakeFormatOption(Args& args, TOutputFormat& format, std::ostream& err) {
  Args rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--format") {
      if (i + 1 >= args.size()) {
        err << "kestrove-cli: --format needs a format: " << kFormats << "\n";
        return false;
      }
      value = args[++i];
    } else if (args[i].rfind("--format=", 0) == 0) {
      value = args[i].substr(9);
    } else {
      rest.push_back(args[i]);
      continue;
    }
    if (value == "tsv") {
      format = TOutputFormat::Tsv;
    } else if (value == "json") {
      format = TOutputFormat::Json;
    } else {
      err << "kestrove-cli: --format takes " << kFormats << ", not '" << value << "'\n";
      return false;
    }
  }
  args = std::move(rest);
  return true;
}

int UnknownOption(CliContext& ctx, const std::string& option) {
  ctx.err << "kestrove-cli: unknown option " << option << " (see kestrove-cli --help)\n";
  return 2;
}

bool IsOption(const std::string& word) { return word.size() > 2 && word.rfind("--", 0) == 0; }

TValue TValue::List(std::vector<std::string> items) {
  std::string joined;
  for (const std::string& item : items) joined += (joined.empty() ? "" : " ") + item;
  TValue value(TKind::List, std::move(joined));
  value.items_ = std::move(items);
  return value;
}

std::string JsonString(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text.substr(i));
      if (length == 0) {
        out += "\\ufffd";
        ++i;
        continue;
      }
      out.append(text.substr(i, length));
      i += length;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string TsvField(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

TRecordWriter::TRecordWriter(std::ostream& out, TOutputFormat format, std::vector<std::string> fields)
    : out_(out), format_(format), fields_(std::move(fields)) {
  if (format_ == TOutputFormat::Json) return;
  std::string header;
  for (const std::string& f : fields_) header += (header.empty() ? "" : "\t") + f;
  out_ << header << "\n";
}

TRecordWriter::~TRecordWriter() { Finish(); }

void TRecordWriter::Row(const std::vector<TValue>& values) {
  std::string line;
  if (format_ != TOutputFormat::Json) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i) line += '\t';
      line += TsvField(values[i].Text());
    }
    out_ << line << "\n";
    ++rows_;
    return;
  }
  line = rows_ == 0 ? "[\n  {" : ",\n  {";
  for (std::size_t i = 0; i < values.size() && i < fields_.size(); ++i) {
    if (i) line += ", ";
    line += JsonString(fields_[i]) + ": ";
    const TValue& v = values[i];
    switch (v.Kind()) {
      case TValue::TKind::Text: line += JsonString(v.Text()); break;
      case TValue::TKind::Number:
      case TValue::TKind::Bool: line += v.Text(); break;
      case TValue::TKind::Null: line += "null"; break;
      case TValue::TKind::List:
        line += '[';
        for (std::size_t k = 0; k < v.Items().size(); ++k) line += (k ? ", " : "") + JsonString(v.Items()[k]);
        line += ']';
        break;
    }
  }
  out_ << line << "}";
  ++rows_;
}

void TRecordWriter::Finish() {
  if (finished_) return;
  finished_ = true;
  if (format_ == TOutputFormat::Json) out_ << (rows_ == 0 ? "[]\n" : "\n]\n");
  out_.flush();
}

std::vector<TValue> OriginFields(const std::optional<TTargetIdentity>& origin, const TTargetIdentity& current) {
  const char* match = "unknown";
  switch (MatchOrigin(origin, current)) {
    case TOriginMatch::ThisSystem: match = "this-system"; break;
    case TOriginMatch::OtherSystem: match = "other-system"; break;
    case TOriginMatch::Unknown: break;
  }
  return {match, origin ? TValue(DescribeSystem(*origin)) : TValue::Null()};
}

std::string IsoUtcText(std::int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, n);
}

}  // namespace kestrove::cli

// What the commands share in their options and their output for scripts: --format, the
// unknown-option error, and a writer of rows as tab-separated text or JSON.
#pragma once

#include <concepts>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Commands.h"
#include "platform/TargetSystem.h"

namespace kestrove::cli {

// Plain: the command's own text for people; Tsv and Json: rows for scripts.
enum class TOutputFormat { Plain, Tsv, Json };

// Takes "--format tsv|json" (or "--format=...") out of `args`. False after saying why on
// `err` when the value is missing or not one of those.
bool TakeFormatOption(Args& args, TOutputFormat& format, std::ostream& err);

// Says that `option` is not one of `command`'s and where the options are; returns the usage
// status.
int UnknownOption(CliContext& ctx, const std::string& option);

// True for a word that reads as an option ("--name"): not an item, file or section name.
bool IsOption(const std::string& word);

// One field of a row: text, a whole number, yes or no, a list of texts, or nothing.
class TValue {
 public:
  enum class TKind { Text, Number, Bool, List, Null };

  TValue(std::string text) : kind_(TKind::Text), text_(std::move(text)) {}
  TValue(const char* text) : kind_(TKind::Text), text_(text) {}
  TValue(std::string_view text) : kind_(TKind::Text), text_(text) {}
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  TValue(T number) : kind_(TKind::Number), text_(std::to_string(number)) {}
  static TValue Bool(bool yes) { return TValue(TKind::Bool, yes ? "true" : "false"); }
  static TValue List(std::vector<std::string> items);
  static TValue Null() { return TValue(TKind::Null, ""); }

  TKind Kind() const { return kind_; }
  const std::string& Text() const { return text_; }
  const std::vector<std::string>& Items() const { return items_; }

 private:
  TValue(TKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  TKind kind_;
  std::string text_;  // a list's items joined by spaces
  std::vector<std::string> items_;
};

// `text` as a JSON string, quotes included. Valid UTF-8 passes as it is; each byte that is
// not part of a valid UTF-8 sequence becomes U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);
// `text` as one TSV field: tabs, carriage returns and line feeds become spaces, so a field
// never splits a row; everything else passes as it is.
std::string TsvField(std::string_view text);

// Writes rows as they come: TSV with a header line of the field names, or a JSON array of
// objects keyed by them, one object a line. The JSON array is closed by Finish or, on any
// way out, by the destructor; a writer that got no row writes "[]" (TSV: the header alone).
class TRecordWriter {
 public:
  TRecordWriter(std::ostream& out, TOutputFormat format, std::vector<std::string> fields);
  ~TRecordWriter();
  TRecordWriter(const TRecordWriter&) = delete;
  TRecordWriter& operator=(const TRecordWriter&) = delete;

  // One value per field, in the fields' order.
  void Row(const std::vector<TValue>& values);
  void Finish();

 private:
  std::ostream& out_;
  TOutputFormat format_;
  std::vector<std::string> fields_;
  std::size_t rows_ = 0;
  bool finished_ = false;
};

// The fields "origin" and "system" of a backup or restore point taken of `origin`:
// this-system, unknown or other-system, and the description of the system it was taken of
// (null when that was not recorded).
std::vector<TValue> OriginFields(const std::optional<TTargetIdentity>& origin, const TTargetIdentity& current);

// A time as ISO 8601 in UTC: "2024-05-01T12:34:56Z".
std::string IsoUtcText(std::int64_t unixSeconds);

}  // namespace kestrove::cli

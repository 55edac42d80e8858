#include "config/config.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

#include "config/trim.h"
#include "files/paths.h"

namespace nimbra {

namespace {

constexpr std::string_view kBrokenBar = "\xC2\xA6";  // U+00A6, the escape for "|" in commands

// An optional sign, one or more ASCII digits and nothing else, within the signed 64-bit range.
std::optional<std::int64_t> parseDecimal(std::string_view field) {
  std::string_view digits = field;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars reads a "-" itself but not a "+".
  const std::string_view number = field.front() == '+' ? digits : field;
  std::int64_t value = 0;
  const char* end = number.data() + number.size();
  const auto [ptr, ec] = std::from_chars(number.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string unescapeCommand(std::string_view field) {
  std::string cmd;
  cmd.reserve(field.size());
  for (;;) {
    const std::size_t at = field.find(kBrokenBar);
    if (at == std::string_view::npos) break;
    cmd.append(field.substr(0, at));
    cmd.push_back('|');
    field.remove_prefix(at + kBrokenBar.size());
  }
  cmd.append(field);
  return cmd;
}

// The first three fields of a line, and how many fields it has (counted up to 3 only: no
// keyword reads further, and the rest of a long line is never touched).
struct Fields {
  std::array<std::string_view, 3> field;
  std::size_t count = 0;
};

Fields splitFields(std::string_view line) {
  Fields fields;
  for (;;) {
    const std::size_t bar = line.find('|');
    fields.field[fields.count++] = line.substr(0, bar);
    if (bar == std::string_view::npos || fields.count == fields.field.size()) break;
    line.remove_prefix(bar + 1);
  }
  return fields;
}

enum class Keyword { kNone, kHold, kSize, kSeg, kTool };

Keyword keywordOf(std::string_view line) {
  const std::string_view first = line.substr(0, line.find('|'));
  if (first == "HOLD") return Keyword::kHold;
  if (first == "SIZE") return Keyword::kSize;
  if (first == "SEG") return Keyword::kSeg;
  if (first == "TOOL") return Keyword::kTool;
  return Keyword::kNone;
}

// Applies one trimmed, non-blank line; answers why it was passed over, or nothing.
std::optional<SkipReason> applyLine(Config& cfg, std::string_view line) {
  const Keyword keyword = keywordOf(line);
  if (keyword == Keyword::kNone) return SkipReason::kUnknownKeyword;
  const Fields fields = splitFields(line);
  switch (keyword) {
    case Keyword::kHold:
    case Keyword::kSize: {
      if (fields.count < 2) return SkipReason::kTooFewFields;
      const std::optional<std::int64_t> n = parseDecimal(fields.field[1]);
      if (!n) return SkipReason::kNotAnInteger;
      if (keyword == Keyword::kHold) {
        cfg.holdMs = std::max(*n, Config::kMinHoldMs);
      } else {
        cfg.radius = static_cast<double>(std::max(*n, Config::kMinRadius));
      }
      return std::nullopt;
    }
    case Keyword::kSeg:
      if (fields.count < 3) return SkipReason::kTooFewFields;
      cfg.segs.push_back(
          Seg{std::string(fields.field[1]), Config::parseColor(fields.field[2]), {}});
      return std::nullopt;
    case Keyword::kTool:
      if (fields.count < 3) return SkipReason::kTooFewFields;
      if (cfg.segs.empty()) return SkipReason::kToolBeforeAnySegment;
      cfg.segs.back().tools.push_back(
          Tool{std::string(fields.field[1]), unescapeCommand(fields.field[2])});
      return std::nullopt;
    case Keyword::kNone:
      break;
  }
  return SkipReason::kUnknownKeyword;
}

}  // namespace

const char* describe(SkipReason reason) {
  switch (reason) {
    case SkipReason::kUnknownKeyword:
      return "no HOLD, SIZE, SEG or TOOL keyword";
    case SkipReason::kTooFewFields:
      return "too few fields";
    case SkipReason::kNotAnInteger:
      return "not a whole number";
    case SkipReason::kToolBeforeAnySegment:
      return "tool before any segment";
  }
  return "unknown reason";
}

Config Config::load(const Paths& paths) {
  return parse(paths.read("wheel.cfg"));
}

Config Config::parse(std::string_view text, std::vector<SkippedLine>* skipped) {
  Config cfg;
  std::size_t lineNumber = 1;
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = begin;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    const std::string_view raw = text.substr(begin, end - begin);
    const std::string_view line = trimBlanks(raw);
    if (!line.empty()) {
      const std::optional<SkipReason> reason = applyLine(cfg, line);
      if (reason && skipped) skipped->push_back(SkippedLine{lineNumber, std::string(raw), *reason});
    }
    if (end == text.size()) break;
    // Every CR and LF cuts a line, but a CR LF pair is numbered as one break, as editors show it.
    if (!(text[end] == '\n' && end > 0 && text[end - 1] == '\r')) ++lineNumber;
    begin = end + 1;
  }
  return cfg;
}

}  // namespace nimbra

// The wheel's content: hold time, radius and the ring of segments, read from "wheel.cfg".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/color.h"

namespace nimbra {

class Paths;

struct Tool {
  std::string name;
  std::string cmd;
  bool operator==(const Tool&) const = default;
};

struct Seg {
  std::string name;
  Color color;
  std::vector<Tool> tools;
  bool operator==(const Seg&) const = default;
};

// Why the loader passed over a line; the loader itself stays silent, the preview tool asks.
enum class SkipReason {
  kUnknownKeyword,
  kTooFewFields,
  kNotAnInteger,
  kToolBeforeAnySegment,
};

struct SkippedLine {
  // 1-based, counting every line break of the file, a CR LF pair as one (as editors number
  // lines); the empty piece between CR and LF is blank and never reported.
  std::size_t lineNumber = 0;
  std::string text;  // the line as it stood, untrimmed
  SkipReason reason = SkipReason::kUnknownKeyword;
};

const char* describe(SkipReason reason);

// A loaded configuration. Never changed after loading: a reload builds a new one.
class Config {
 public:
  static constexpr std::int64_t kDefaultHoldMs = 2000;
  static constexpr std::int64_t kMinHoldMs = 120;
  static constexpr double kDefaultRadius = 190.0;
  static constexpr std::int64_t kMinRadius = 80;

  std::int64_t holdMs = kDefaultHoldMs;
  double radius = kDefaultRadius;
  std::vector<Seg> segs;

  bool operator==(const Config&) const = default;

  // Reads "wheel.cfg" from the work directory; never fails: what cannot be read is passed over.
  static Config load(const Paths& paths);
  // The same reading over text already in hand; `skipped`, when given, receives every line
  // that was passed over and why (blank lines are not reported).
  static Config parse(std::string_view text, std::vector<SkippedLine>* skipped = nullptr);
  // "#rgb", "rrggbb" and the like; anything else gives kFallbackColor.
  static Color parseColor(std::string_view text);
};

}  // namespace nimbra

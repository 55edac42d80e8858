// The wheel's spatial questions, answered from the configuration alone, and the layout
// constants that hit-testing and painting share.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string_view>

#include "config/config.h"

namespace nimbra {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kInnerRadiusFactor = 0.313;  // hub radius and dead zone, times R
inline constexpr double kToolStepDegrees = 36.0;
inline constexpr double kAnchorGridDistanceFactor = 1.53;  // grid centre from wheel centre, times R
inline constexpr double kAnchorGridSideFactor = 0.88;      // grid side, times R

struct AnchorCell {
  int column = 0;  // 0 left .. 2 right
  int row = 0;     // 0 top .. 2 bottom
  bool operator==(const AnchorCell&) const = default;
};

// Row-major 3x3: each entry a tool index, or -1 for an empty cell.
using AnchorGrid = std::array<int, 9>;

class Geometry {
 public:
  explicit Geometry(std::shared_ptr<const Config> cfg) : cfg(std::move(cfg)) {}

  std::shared_ptr<const Config> cfg;

  // Start angle, in degrees, of the tool arc of segment `seg` (0 <= seg < number of segments).
  double arcStart(int seg) const;
  // The segment containing the direction `angle` (degrees, any finite value); -1 with none.
  int segAt(double angle) const;
  // The segment's anchor grid, or none when its tools are not all anchor commands (or < 2).
  std::optional<AnchorGrid> segAnchor(int seg) const;
  // The cell named by "anchor:x,y", or none.
  static std::optional<AnchorCell> anchorCell(std::string_view cmd);
};

// Degrees at the middle of segment `seg` when there are `segmentCount` segments (at least 1
// counted), segment 0 straight up.
double segmentMidAngle(int seg, std::size_t segmentCount);

}  // namespace nimbra

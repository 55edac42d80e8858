// The wheel's look: colours, text sizes and the proportions of the tool cells.
#pragma once

#include <algorithm>

#include "config/color.h"

namespace nimbra {

inline constexpr double kSelectedSegmentAlpha = 0.92;  // replaces the segment colour's alpha
inline constexpr Color kOtherSegmentFill{0.13, 0.15, 0.19, 0.95};
inline constexpr Color kSeparatorColor{1, 1, 1, 0.10};
inline constexpr Color kSelectedSegmentLabel{1, 1, 1, 1};
inline constexpr Color kOtherSegmentLabel{0.82, 0.82, 0.82, 1};
inline constexpr Color kHubFill{0.06, 0.07, 0.09, 0.96};
inline constexpr Color kHubOutline{1, 1, 1, 0.14};
inline constexpr Color kCentreLabelColor{0.62, 0.62, 0.62, 1};
inline constexpr Color kOtherCellFill{0.16, 0.18, 0.22, 0.95};
inline constexpr Color kSelectedToolLabel{1, 1, 1, 1};
inline constexpr Color kOtherToolLabel{0.80, 0.80, 0.80, 1};

inline constexpr double kShadowAlpha = 0.55;
inline constexpr double kShadowSigmaPoints = 11;  // a blur radius of 22 points

inline constexpr double kLineWidthPoints = 1;  // separators and the hub outline
inline constexpr double kToolCellInnerFactor = 1.16;
inline constexpr double kToolCellOuterFactor = 1.55;
inline constexpr double kToolLabelFactor = 1.355;
inline constexpr double kToolCellInsetDegrees = 1.6;  // free at each end of a 36-degree step
inline constexpr double kAnchorCornerPoints = 3;      // fixed, whatever the radius

inline constexpr const char* kCentreLabelText = "NIMBRA";

inline double segmentLabelPoints(double radius) {
  return std::max(0.072 * radius, 10.0);
}
inline double centreLabelPoints(double radius) {
  return std::max(0.062 * radius, 9.0);
}
inline double toolLabelPoints(double radius) {
  return std::max(0.058 * radius, 9.0);
}

}  // namespace nimbra

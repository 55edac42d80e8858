#include "wheel/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace nimbra {
namespace {

// A geometry over segments with the given tool commands.
Geometry geometryOf(const std::vector<std::vector<std::string>>& commands) {
  auto cfg = std::make_shared<Config>();
  for (const auto& segCommands : commands) {
    Seg seg{"s", kFallbackColor, {}};
    for (const std::string& cmd : segCommands) seg.tools.push_back(Tool{"t", cmd});
    cfg->segs.push_back(seg);
  }
  return Geometry(cfg);
}

// A geometry of `segments` segments whose tools all carry ordinary commands.
Geometry geometryWithToolCounts(const std::vector<int>& toolCounts) {
  std::vector<std::vector<std::string>> commands;
  for (int count : toolCounts) commands.emplace_back(count, "run");
  return geometryOf(commands);
}

struct AngleCase {
  double angle;
  int seg;
};

TEST(SegAt, SplitsFourSegmentsAtTheirBorders) {
  const Geometry geo = geometryWithToolCounts({0, 0, 0, 0});
  const AngleCase cases[] = {{-90, 0},   {-135, 0}, {-45, 1},  {0, 1},   {45, 2},
                             {134.9, 2}, {180, 3},  {-180, 3}, {225, 0}, {-135.0001, 3}};
  for (const AngleCase& c : cases) {
    SCOPED_TRACE(c.angle);
    EXPECT_EQ(geo.segAt(c.angle), c.seg);
  }
}

TEST(SegAt, SplitsSixSegmentsAtTheirBorders) {
  const Geometry geo = geometryWithToolCounts({0, 0, 0, 0, 0, 0});
  const AngleCase cases[] = {{-120, 0},  {-60, 1}, {0, 2},    {90, 3},
                             {179.9, 4}, {180, 5}, {-135, 5}, {270, 0}};
  for (const AngleCase& c : cases) {
    SCOPED_TRACE(c.angle);
    EXPECT_EQ(geo.segAt(c.angle), c.seg);
  }
}

TEST(SegAt, GivesTheOnlySegmentForEveryAngle) {
  const Geometry geo = geometryWithToolCounts({3});
  for (double angle : {-180.0, -90.0, 0.0, 89.999, 179.999, 270.0, 1e9, -1e300}) {
    EXPECT_EQ(geo.segAt(angle), 0) << angle;
  }
}

TEST(SegAt, GivesMinusOneWithoutSegments) {
  const Geometry geo = geometryWithToolCounts({});
  for (double angle : {-180.0, -90.0, 0.0, 45.0, 360.0}) EXPECT_EQ(geo.segAt(angle), -1) << angle;
}

TEST(SegAt, StaysInRangeForExtremeAndUnreadableAngles) {
  const Geometry geo = geometryWithToolCounts({0, 0, 0, 0, 0, 0, 0});
  const double extremes[] = {1e300,
                             -1e300,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
  for (double angle : extremes) {
    const int seg = geo.segAt(angle);
    EXPECT_TRUE(seg >= 0 && seg < 7) << angle << " gave " << seg;
  }
}

TEST(SegAt, FindsEverySegmentOfALargeRingAtItsMiddleAndItsStart) {
  const std::size_t n = 10000;
  const Geometry geo = geometryWithToolCounts(std::vector<int>(n, 0));
  for (int i = 0; i < static_cast<int>(n); ++i) {
    ASSERT_EQ(geo.segAt(segmentMidAngle(i, n)), i);
    // Just short of the next border, and just past this one.
    const double w = 360.0 / n;
    ASSERT_EQ(geo.segAt(segmentMidAngle(i, n) + w * 0.49), i);
    ASSERT_EQ(geo.segAt(segmentMidAngle(i, n) - w * 0.49), i);
  }
}

TEST(SegmentMidAngle, CentresSegmentZeroStraightUp) {
  EXPECT_EQ(segmentMidAngle(0, 4), -90);
  EXPECT_EQ(segmentMidAngle(1, 4), 0);
  EXPECT_EQ(segmentMidAngle(3, 4), 180);
  EXPECT_EQ(segmentMidAngle(5, 6), 210);
  EXPECT_EQ(segmentMidAngle(0, 1), -90);
  EXPECT_EQ(segmentMidAngle(0, 0), -90);
}

struct ArcCase {
  std::vector<int> toolCounts;
  int seg;
  double arcStart;
};

TEST(ArcStart, CentresTheToolArcOnItsSegment) {
  const ArcCase cases[] = {
      {{1, 0, 0, 0}, 0, -108}, {{3, 0, 0, 0}, 0, -144},       {{0, 3, 0, 0}, 1, -54},
      {{0, 0, 2, 0}, 2, 54},   {{5, 0, 0, 0, 0, 0}, 0, -180}, {{0, 0, 0, 4, 0, 0}, 3, 18},
      {{10}, 0, -270},         {{0, 0, 0, 0}, 2, 90},
  };
  for (const ArcCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.toolCounts.size() << " segments, segment " << c.seg);
    EXPECT_DOUBLE_EQ(geometryWithToolCounts(c.toolCounts).arcStart(c.seg), c.arcStart);
  }
}

struct CellCase {
  const char* cmd;
  int column;
  int row;
};

TEST(AnchorCell, MapsTheNineCanonicalPositions) {
  const CellCase cases[] = {
      {"anchor:0,0", 0, 0},   {"anchor:0.5,0", 1, 0},   {"anchor:1,0", 2, 0},
      {"anchor:0,0.5", 0, 1}, {"anchor:0.5,0.5", 1, 1}, {"anchor:1,0.5", 2, 1},
      {"anchor:0,1", 0, 2},   {"anchor:0.5,1", 1, 2},   {"anchor:1,1", 2, 2},
  };
  for (const CellCase& c : cases) {
    EXPECT_EQ(Geometry::anchorCell(c.cmd), (AnchorCell{c.column, c.row})) << c.cmd;
  }
}

TEST(AnchorCell, RoundsHalvesAwayFromZeroAndTrimsBlanks) {
  const CellCase cases[] = {
      {"anchor: 1 , 0.5 ", 2, 1},
      {"anchor:\t1\t,\t0.5\t", 2, 1},
      {"anchor:\u00A01\u3000,\u20000.5\u202F", 2, 1},
      {"anchor:0.3,0.7", 1, 1},
      {"anchor:0.25,0.75", 1, 2},
      {"anchor:-0.2,0", 0, 0},
      {"anchor:-0.0,+1", 0, 2},
      {"anchor:+0.5,1e0", 1, 2},
      {"anchor:5e-1,.5", 1, 1},
      {"anchor:1.,0.24999", 2, 0},
      {"anchor:1e-400,0", 0, 0},
      {"anchor:0.000000000000000000000000000001,1", 0, 2},
  };
  for (const CellCase& c : cases) {
    EXPECT_EQ(Geometry::anchorCell(c.cmd), (AnchorCell{c.column, c.row})) << c.cmd;
  }
}

TEST(AnchorCell, RejectsEverythingElse) {
  const char* const cmds[] = {
      " anchor:0,0",
      "Anchor:0,0",
      "anchor 0,0",
      "anchor:",
      "anchor:0",
      "anchor:0,0,0",
      "anchor:0,",
      "anchor:,0",
      "anchor:1.25,0",
      "anchor:0,-0.25",
      "anchor:-0.25,0",
      "anchor:1e400,0",
      "anchor:inf,0",
      "anchor:nan,0",
      "anchor:0,-nan",
      "anchor:0x1,0",
      "anchor:1,0;",
      "anchor:1 1,0",
      "anchor:++1,0",
      "anchor:+-1,0",
      "anchor:+,0",
      "anchor:-,0",
      "anchor:1,0\n",
      "anchor:\n1,0",
      "anchor:0,0\v",
      "anchor:1\xE2\x80\x8B,0",  // zero width space is not a blank
      "anchor:0\u060C0,1",       // an Arabic comma does not split
      "anchor:9223372036854775808,0",
      "anchor:1e308,0",
      "run",
      "",
  };
  for (const char* cmd : cmds) {
    EXPECT_EQ(Geometry::anchorCell(cmd), std::nullopt) << testing::PrintToString(cmd);
  }
}

TEST(SegAnchor, FillsTheGridWithTheNineCanonicalPositionsInAnyOrder) {
  const Geometry geo =
      geometryOf({{"anchor:1,1", "anchor:0.5,0", "anchor:0,0.5", "anchor:0,0", "anchor:1,0.5",
                   "anchor:0.5,1", "anchor:0.5,0.5", "anchor:1,0", "anchor:0,1"}});
  EXPECT_EQ(geo.segAnchor(0), (AnchorGrid{3, 1, 7, 2, 6, 4, 8, 5, 0}));
}

struct GridCase {
  std::vector<std::string> cmds;
  std::optional<AnchorGrid> grid;
};

TEST(SegAnchor, NeedsAtLeastTwoToolsAllWithAnchorCommands) {
  const GridCase cases[] = {
      {{"anchor:0,0", "anchor:1,1"}, AnchorGrid{0, -1, -1, -1, -1, -1, -1, -1, 1}},
      {{"anchor:0,0", "anchor:0,0"}, AnchorGrid{1, -1, -1, -1, -1, -1, -1, -1, -1}},
      {{"anchor:0,0", "run"}, std::nullopt},
      {{"anchor:0,0", "anchor:2,0"}, std::nullopt},
      {{"anchor:0,0"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const GridCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.cmds));
    EXPECT_EQ(geometryOf({{"run"}, c.cmds}).segAnchor(1), c.grid);
  }
}

TEST(SegAnchor, GivesNoneForIndicesOutOfRange) {
  const Geometry geo = geometryOf({{"anchor:0,0", "anchor:1,1"}});
  EXPECT_TRUE(geo.segAnchor(0).has_value());
  EXPECT_EQ(geo.segAnchor(-1), std::nullopt);
  EXPECT_EQ(geo.segAnchor(1), std::nullopt);
  EXPECT_EQ(geometryOf({}).segAnchor(0), std::nullopt);
}

}  // namespace
}  // namespace nimbra

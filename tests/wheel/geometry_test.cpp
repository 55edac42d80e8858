#include "wheel/geometry.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace nimbra {
namespace {

// One segment per list of tool commands.
using Commands = std::vector<std::vector<std::string>>;
Geometry geometryOf(const Commands& commands) {
  auto cfg = std::make_shared<Config>();
  for (const auto& cmds : commands) {
    cfg->segs.push_back(Seg{"s", kFallbackColor, {}});
    for (const std::string& cmd : cmds) cfg->segs.back().tools.push_back(Tool{"t", cmd});
  }
  return Geometry(cfg);
}

TEST(SegAt, SplitsTheRingAtTheSegmentBorders) {
  const std::tuple<int, double, int> cases[] = {
      {4, -90, 0},       {4, -135, 0},    {4, -45, 1},    {4, 0, 1},     {4, 134.9, 2}, {4, 180, 3},
      {4, -180, 3},      {4, 225, 0},     {6, -60, 1},    {6, 179.9, 4}, {6, 180, 5},   {6, 270, 0},
      {4, -135.0001, 3}, {1, 179.999, 0}, {1, -1e300, 0}, {0, 0, -1},    {0, 45, -1}};
  for (auto [n, angle, seg] : cases) {
    EXPECT_EQ(geometryOf(Commands(n)).segAt(angle), seg) << n << " at " << angle;
  }
}

TEST(Geometry, CentresToolArcsOnTheirSegmentsFromStraightUp) {
  // {segments, segment, its tools, where its arc starts}
  const std::tuple<int, int, int, double> cases[] = {{4, 0, 1, -108}, {4, 0, 3, -144},
                                                     {4, 1, 3, -54},  {4, 2, 2, 54},
                                                     {6, 3, 4, 18},   {4, 2, 0, 90}};
  for (auto [n, seg, tools, start] : cases) {
    Commands commands(n);
    commands[seg].assign(tools, "run");
    EXPECT_DOUBLE_EQ(geometryOf(commands).arcStart(seg), start) << n << " " << seg;
  }
}

TEST(AnchorCell, ReadsCellsRoundingHalvesUpAndTrimmingBlanks) {
  const std::tuple<const char*, int, int> cases[] = {
      {"anchor:0,0", 0, 0},
      {"anchor:1,0", 2, 0},
      {"anchor:0,0.5", 0, 1},
      {"anchor:1,1", 2, 2},
      {"anchor:0.5,1", 1, 2},
      {"anchor: 1 , 0.5 ", 2, 1},
      {"anchor:0.25,0.75", 1, 2},
      {"anchor:-0.2,0", 0, 0},
      {"anchor:-0.0,+1", 0, 2},
      {"anchor:5e-1,.5", 1, 1},
      {"anchor:1.,0.24999", 2, 0},
      {"anchor:1e-400,0", 0, 0},
      {"anchor:\u00A01\u3000,\u20000.5\u202F", 2, 1}};
  for (auto [cmd, column, row] : cases) {
    EXPECT_EQ(Geometry::anchorCell(cmd), (AnchorCell{column, row})) << cmd;
  }
  for (const char* cmd : {" anchor:0,0", "Anchor:0,0", "anchor:0", "anchor:0,0,0", "anchor:,0",
                          "anchor:1.25,0", "anchor:-0.25,0", "anchor:1e400,0", "anchor:nan,0",
                          "anchor:0x1,0", "anchor:++1,0", "anchor:1,0\n", "anchor:0,0\v",
                          "anchor:1\xE2\x80\x8B,0", "anchor:9223372036854775808,0", "run"}) {
    EXPECT_EQ(Geometry::anchorCell(cmd), std::nullopt) << testing::PrintToString(cmd);
  }
}

TEST(SegAnchor, FillsTheGridRowByRowFromTwoOrMoreAnchorTools) {
  EXPECT_EQ(geometryOf({{"anchor:1,1", "anchor:0.5,0", "anchor:0,0.5", "anchor:0,0", "anchor:1,0.5",
                         "anchor:0.5,1", "anchor:0.5,0.5", "anchor:1,0", "anchor:0,1"}})
                .segAnchor(0),
            (AnchorGrid{3, 1, 7, 2, 6, 4, 8, 5, 0}));
  EXPECT_EQ(geometryOf({{"run"}, {"anchor:0,0", "anchor:0,0"}}).segAnchor(1),
            (AnchorGrid{1, -1, -1, -1, -1, -1, -1, -1, -1}));
  for (const auto& cmds :
       Commands{{"anchor:0,0", "run"}, {"anchor:0,0", "anchor:2,0"}, {"anchor:0,0"}}) {
    EXPECT_EQ(geometryOf({{"run"}, cmds}).segAnchor(1), std::nullopt) << cmds.size();
  }
}

}  // namespace
}  // namespace nimbra

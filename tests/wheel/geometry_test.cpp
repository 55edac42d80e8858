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

// A cell read outside the grid would index past it: anything not in [0, 1] is refused.
TEST(AnchorCell, ReadsCellsRoundingHalvesUpAndRefusesWhatLiesOutsideTheGrid) {
  const std::tuple<const char*, int, int> cases[] = {{"anchor:1,0", 2, 0},
                                                     {"anchor:0.5,1", 1, 2},
                                                     {"anchor: 1 , 0.5 ", 2, 1},
                                                     {"anchor:0.25,0.75", 1, 2},
                                                     {"anchor:-0.0,+1", 0, 2}};
  for (auto [cmd, column, row] : cases) {
    EXPECT_EQ(Geometry::anchorCell(cmd), (AnchorCell{column, row})) << cmd;
  }
  for (const char* cmd : {"anchor:0", "anchor:0,0,0", "anchor:1.25,0", "anchor:-0.25,0",
                          "anchor:1e400,0", "anchor:nan,0", "anchor:9223372036854775808,0"}) {
    EXPECT_EQ(Geometry::anchorCell(cmd), std::nullopt) << cmd;
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

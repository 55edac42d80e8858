// Faults found by fuzzing the controller, kept as regressions.
#include <gtest/gtest.h>

#include <limits>

#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

class TrackingFaults : public HelperTest {
 protected:
  void SetUp() override { start(kFourSegments); }
};

// A NaN offset passed the grid's bounds test (every comparison with NaN is false) and its cell
// index came from casting NaN to int, which then indexed far outside the 3x3 grid.
TEST_F(TrackingFaults, ANaNOffsetOverAnAnchorGridSelectsNoCellInsteadOfReadingOutsideIt) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  wheel().show({500, 400});
  wheel().trackDelta(60, 0);  // segment 1, the anchor grid, in the ring
  ASSERT_EQ(curSeg(), 1);
  for (const auto& [dx, dy] : {std::pair{kNaN, kNaN}, {kNaN, 0.0}, {153.0, kNaN}}) {
    wheel().trackDelta(dx, dy);
    EXPECT_EQ(curSeg(), 1);
    EXPECT_EQ(curTool(), -1);
  }
}

}  // namespace
}  // namespace nimbra::testing

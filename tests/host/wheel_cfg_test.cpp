// The wheel model written as wheel.cfg: what the helper would read differently is refused,
// naming the item.
#include <gtest/gtest.h>

#include "nimbra/host.h"

namespace nimbra::testing {
namespace {

struct Refusal {
  const char* name;
  host::Wheel wheel;
  const char* mentions;  // the item the message must name
};

host::Wheel withSegment(host::Segment segment) {
  return host::Wheel{{std::move(segment)}, std::nullopt, std::nullopt};
}

host::Wheel withCommand(const char* command) {
  return withSegment({"Edit", "#fff", {{"Copy", command}}});
}

const Refusal kRefusals[] = {
    {"ABarInASegmentName", withSegment({"Cut|Copy", "#fff", {}}), "segment 0 \"Cut|Copy\""},
    {"ABarInAToolLabel", withSegment({"Edit", "#fff", {{"A|B", "x"}}}), "tool \"A|B\""},
    {"ALineBreakInALabel", withSegment({"Edit", "#fff", {{"A\nB", "x"}}}), "tool \"A\nB\""},
    {"ANameCutInsideAUtf8Sequence", withSegment({"Edit\xC3", "#fff", {}}), "segment 0"},
    {"AColourNameTheHelperWouldPaintBlue", withSegment({"Edit", "red", {}}), "colour \"red\""},
    {"AFourDigitColour", withSegment({"Edit", "#ff88", {}}), "colour \"#ff88\""},
    {"ABrokenBarInACommand", withCommand("a\xC2\xA6z"), "tool \"Copy\""},
    {"ACommandEndingInASpaceTheHelperWouldTrim", withCommand("copy "), "tool \"Copy\""},
    {"ACommandEndingInANoBreakSpace", withCommand("copy\xC2\xA0"), "tool \"Copy\""},
    {"ACommandThatReadsAsAnOpening", withCommand("~open"), "tool \"Copy\""},
    {"ACommandThatIsNotUtf8", withCommand("\xFF"), "tool \"Copy\""},
    {"AWheelWithoutSegments", host::Wheel{}, "no segment"},
    {"AHoldTimeBelowTheMinimum", host::Wheel{{{"Edit", "#fff", {}}}, 50, std::nullopt}, "hold_ms"},
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class WheelCfgRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(WheelCfgRefuses, WithAMessageNamingTheItem) {
  try {
    host::wheel_cfg(GetParam().wheel);
    FAIL() << "accepted";
  } catch (const host::WheelError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().mentions), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(, WheelCfgRefuses, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WheelCfg, WritesBarsInCommandsAsBrokenBarsAndAnchorsAsAnchorCommands) {
  host::Wheel wheel;
  wheel.hold_ms = 350;
  wheel.segments = {
      {"Edit", "#3a7", {{"Paste plain", "paste|plain"}}},
      {"Place",
       "ff8800",
       {host::Tool::anchor("Centre", 0.5, 0.5), host::Tool::anchor("Bottom right", 1, 1)}}};
  EXPECT_EQ(host::wheel_cfg(wheel),
            "HOLD|350\n"
            "SEG|Edit|#3a7\n"
            "TOOL|Paste plain|paste\xC2\xA6plain\n"
            "SEG|Place|ff8800\n"
            "TOOL|Centre|anchor:0.5,0.5\n"
            "TOOL|Bottom right|anchor:1,1\n");
  EXPECT_THROW(host::Tool::anchor("Off", 1.5, 0), host::WheelError);
}

}  // namespace
}  // namespace nimbra::testing

#include "config/config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace nimbra {
namespace {

::testing::AssertionResult colourIs(const Color& c, double r, double g, double b) {
  const bool ok = std::abs(c.red - r) < 1e-4 && std::abs(c.green - g) < 1e-4 &&
                  std::abs(c.blue - b) < 1e-4 && c.alpha == 1.0;
  return (ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << c.red << ", " << c.green << ", " << c.blue << ", " << c.alpha;
}

const char* const kWorkedExample =
    ";wheel written by the host application\nHOLD|350\nSIZE|60\nSEG|Edit|#3a7\nTOOL|Copy|copy\n"
    "SEG|View\nTOOL|Paste plain|paste\u00A6plain\nSEG|Files| ff8800\n"
    "TOOL|Open|open recent|ignored\nhold|100\n";

TEST(ConfigParse, ReadsTheWorkedExampleItsPassedOverLinesAndToolsUnderTheLatestSegment) {
  std::vector<SkippedLine> skipped;
  const Config cfg = Config::parse(kWorkedExample, &skipped);
  EXPECT_EQ(cfg.holdMs, 350);
  EXPECT_EQ(cfg.radius, 80.0);
  ASSERT_EQ(cfg.segs.size(), 2u);
  EXPECT_EQ(cfg.segs[0].name, "Edit");
  EXPECT_TRUE(colourIs(cfg.segs[0].color, 0.2, 0.6667, 0.4667));
  EXPECT_EQ(cfg.segs[0].tools,
            (std::vector<Tool>{Tool{"Copy", "copy"}, Tool{"Paste plain", "paste|plain"}}));
  EXPECT_EQ(cfg.segs[1].name, "Files");
  EXPECT_TRUE(colourIs(cfg.segs[1].color, 1, 0.5333, 0));
  EXPECT_EQ(cfg.segs[1].tools, (std::vector<Tool>{Tool{"Open", "open recent"}}));
  ASSERT_EQ(skipped.size(), 3u);
  EXPECT_EQ(skipped[1].lineNumber, 6u);
  EXPECT_EQ(skipped[2].text, "hold|100");
  // Tools go under the latest accepted segment; a broken bar in a command stands for a bar.
  const Config more = Config::parse(
      "TOOL|A|b\nSEG||#fff\nTOOL|A|x\u00A6y\nSEG|Broken\nTOOL|A\u00A6B| x \nseg|A|#f00\n"
      "SEG|A|#0f0\nTOOL||\nTOOL|L|anchor:0.5,1|z\nSEG|Empty|red\n");
  ASSERT_EQ(more.segs.size(), 3u);
  EXPECT_EQ(more.segs[0].tools, (std::vector<Tool>{Tool{"A", "x|y"}, Tool{"A\u00A6B", " x"}}));
  EXPECT_TRUE(colourIs(more.segs[1].color, 0, 1, 0));
  EXPECT_EQ(more.segs[1].tools, (std::vector<Tool>{Tool{"", ""}, Tool{"L", "anchor:0.5,1"}}));
  EXPECT_EQ(more.segs[2].color, kFallbackColor);
}

// Only ASCII digits count: U+0663, an Arabic-Indic three, does not.
TEST(ConfigParse, ReadsHoldAndSizeAsWholeNumbersRaisedToTheirMinimum) {
  const std::tuple<const char*, std::int64_t, double> cases[] = {
      {"", 2000, 190},           {"HOLD|-5", 120, 190},          {"HOLD|121", 121, 190},
      {"HOLD|+300", 300, 190},   {"SIZE|0", 2000, 80},           {"HOLD|300ms", 2000, 190},
      {"HOLD| 300", 2000, 190},  {"HOLD|+-5", 2000, 190},        {"HOLD|\xD9\xA3", 2000, 190},
      {"HOLD | 300", 2000, 190}, {"HOLD|1\nHOLD|500", 500, 190}, {"SIZE|300\nSIZE|1.5", 2000, 300}};
  for (auto [text, holdMs, radius] : cases) {
    const Config cfg = Config::parse(text);
    EXPECT_EQ(cfg.holdMs, holdMs) << text;
    EXPECT_EQ(cfg.radius, radius) << text;
    EXPECT_TRUE(cfg.segs.empty());
  }
  EXPECT_EQ(Config::parse(" \t HOLD|300|extra \t ").holdMs, 300);
  EXPECT_EQ(Config::parse("HOLD|9223372036854775807").holdMs, INT64_MAX);
  EXPECT_EQ(Config::parse("HOLD|400\nHOLD|9223372036854775808").holdMs, 400);
  EXPECT_EQ(Config::parse("SIZE|9223372036854775807").radius, 9223372036854775807.0);
}

// Each text holds one segment "A" whose tools' commands are listed.
TEST(ConfigParse, CutsLinesAtCrAndLfAndTrimsOnlyBlanksAtTheirEnds) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"SEG|A|#f00\rTOOL|t|c\r\nTOOL|u|d\n\rTOOL|v|e", {"c", "d", "e"}},
      {"SEG|A|#f00\nTOOL|t|c\xC2\x85\xE2\x80\xA8\fTOOL|u|d", {"c\xC2\x85\xE2\x80\xA8\fTOOL"}},
      {"\t\tSEG|A|#f00\t\n\tTOOL|t|c\t", {"c"}},
      {"\xC2\xA0SEG|A|#f00\xE2\x80\x8A\n\xE3\x80\x80TOOL|t|c\xE1\x9A\x80", {"c"}},
      {"\xE2\x81\x9FSEG|A|#f00\xE2\x80\xAF\nTOOL|t|c\xE2\x80\x8B\nTOOL|u|x\v",
       {"c\xE2\x80\x8B", "x\v"}},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(::testing::PrintToString(text));
    const Config cfg = Config::parse(text);
    ASSERT_EQ(cfg.segs.size(), 1u);
    EXPECT_TRUE(colourIs(cfg.segs[0].color, 1, 0, 0));
    std::vector<std::string> cmds;
    for (const Tool& t : cfg.segs[0].tools) cmds.push_back(t.cmd);
    EXPECT_EQ(cmds, want);
  }
}

}  // namespace
}  // namespace nimbra

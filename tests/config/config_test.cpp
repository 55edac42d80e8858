#include "config/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/paths.h"

namespace nimbra {
namespace {

Color rgb(int red, int green, int blue) {
  return Color{red / 255.0, green / 255.0, blue / 255.0};
}

const char* const kWorkedExample =
    ";wheel written by the host application\n"
    "HOLD|350\n"
    "SIZE|60\n"
    "SEG|Edit|#3a7\n"
    "TOOL|Copy|copy\n"
    "SEG|View\n"
    "TOOL|Paste plain|paste\u00A6plain\n"
    "SEG|Files| ff8800\n"
    "TOOL|Open|open recent|ignored\n"
    "hold|100\n";

TEST(ConfigParse, ReadsTheWorkedExample) {
  const Config cfg = Config::parse(kWorkedExample);
  EXPECT_EQ(cfg.holdMs, 350);
  EXPECT_EQ(cfg.radius, 80.0);
  ASSERT_EQ(cfg.segs.size(), 2u);
  EXPECT_EQ(cfg.segs[0], (Seg{"Edit",
                              rgb(0x33, 0xAA, 0x77),
                              {Tool{"Copy", "copy"}, Tool{"Paste plain", "paste|plain"}}}));
  EXPECT_EQ(cfg.segs[1], (Seg{"Files", rgb(0xFF, 0x88, 0x00), {Tool{"Open", "open recent"}}}));
}

TEST(ConfigParse, ReportsTheWorkedExamplesPassedOverLines) {
  std::vector<SkippedLine> skipped;
  const Config cfg = Config::parse(kWorkedExample, &skipped);
  EXPECT_EQ(cfg, Config::parse(kWorkedExample));
  ASSERT_EQ(skipped.size(), 3u);
  EXPECT_EQ(skipped[0].lineNumber, 1u);
  EXPECT_EQ(skipped[0].reason, SkipReason::kUnknownKeyword);
  EXPECT_EQ(skipped[1].lineNumber, 6u);
  EXPECT_EQ(skipped[1].reason, SkipReason::kTooFewFields);
  EXPECT_EQ(skipped[2].lineNumber, 10u);
  EXPECT_EQ(skipped[2].text, "hold|100");
}

TEST(ConfigParse, GivesTheDefaultsForFilesWithoutKeywordLines) {
  for (const char* text : {"", "\n\n\r\n", "# comment\n// another\n  \t\n;x|y|z", "\v\f"}) {
    SCOPED_TRACE(testing::PrintToString(text));
    const Config cfg = Config::parse(text);
    EXPECT_EQ(cfg.holdMs, 2000);
    EXPECT_EQ(cfg.radius, 190.0);
    EXPECT_TRUE(cfg.segs.empty());
  }
}

struct NumberCase {
  const char* text;
  std::int64_t holdMs;
  double radius;
};

TEST(ConfigParse, ReadsHoldAndSizeAsWholeNumbersRaisedToTheirMinimum) {
  const NumberCase cases[] = {
      {"HOLD|120", 120, 190},
      {"HOLD|-5", 120, 190},
      {"HOLD|121", 121, 190},
      {"HOLD|+300", 300, 190},
      {"HOLD|0300", 300, 190},
      {"SIZE|80", 2000, 80},
      {"SIZE|0", 2000, 80},
      {"SIZE|1000000000000", 2000, 1e12},
      {"SIZE|100.5", 2000, 190},
      {"SIZE|300\nSIZE|100.5", 2000, 300},
      {"HOLD|300\nHOLD|abc", 300, 190},
      {"HOLD|300\nHOLD|500", 500, 190},
      {"HOLD|300ms", 2000, 190},
      {"HOLD|2.5", 2000, 190},
      {"HOLD| 300", 2000, 190},
      {"HOLD|1 000", 2000, 190},
      {"HOLD|", 2000, 190},
      {"HOLD|+", 2000, 190},
      {"HOLD|-", 2000, 190},
      {"HOLD|+-5", 2000, 190},
      {"HOLD|\xD9\xA3", 2000, 190},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
      {"HOLD", 2000, 190},
      {"HOLD | 300", 2000, 190},
      {" \t HOLD|300 \t ", 300, 190},
      {"HOLD|300|extra", 300, 190},
      {"HOLD|9223372036854775807", INT64_MAX, 190},
      {"HOLD|-9223372036854775808", 120, 190},
      {"HOLD|400\nHOLD|9223372036854775808", 400, 190},
      {"HOLD|400\nHOLD|-9223372036854775809", 400, 190},
      {"HOLD|400\nHOLD|99999999999999999999999", 400, 190},
      {"SIZE|9223372036854775807", 2000, 9223372036854775807.0},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.text);
    const Config cfg = Config::parse(c.text);
    EXPECT_EQ(cfg.holdMs, c.holdMs);
    EXPECT_EQ(cfg.radius, c.radius);
  }
}

TEST(ConfigParse, CutsLinesAtEveryCarriageReturnAndLineFeed) {
  const std::string lf = "HOLD|300\nSEG|A|#f00\nTOOL|t|c\n\nSEG|B|0f0\nTOOL|u|d\n";
  std::string cr = lf;
  std::replace(cr.begin(), cr.end(), '\n', '\r');
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const Config expected = Config::parse(lf);
  ASSERT_EQ(expected.segs.size(), 2u);
  EXPECT_EQ(Config::parse(cr), expected);
  EXPECT_EQ(Config::parse(crlf), expected);
  EXPECT_EQ(Config::parse("HOLD|300\rSEG|A|#f00\n\rTOOL|t|c\r\nSEG|B|0f0\nTOOL|u|d"), expected);
}

TEST(ConfigParse, EndsLinesOnlyAtCarriageReturnAndLineFeed) {
  // NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR stay inside the line.
  for (const char* sep : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9", "\v", "\f"}) {
    SCOPED_TRACE(testing::PrintToString(sep));
    const Config cfg = Config::parse(std::string("SEG|A|#f00") + sep + "TOOL|t|c");
    ASSERT_EQ(cfg.segs.size(), 1u);
    EXPECT_TRUE(cfg.segs[0].tools.empty());
  }
}

TEST(ConfigParse, TrimsTabsAndUnicodeSpaceSeparatorsAtLineEnds) {
  const char* const blanks[] = {" ",
                                "\t",
                                "\xC2\xA0",
                                "\xE1\x9A\x80",
                                "\xE2\x80\x80",
                                "\xE2\x80\x85",
                                "\xE2\x80\x8A",
                                "\xE2\x80\xAF",
                                "\xE2\x81\x9F",
                                "\xE3\x80\x80"};
  for (const char* blank : blanks) {
    SCOPED_TRACE(testing::PrintToString(blank));
    const std::string b = blank;
    const Config cfg = Config::parse(b + b + "SEG|A|#f00" + b + "\n" + b + "TOOL|t|cmd" + b + b);
    ASSERT_EQ(cfg.segs.size(), 1u);
    ASSERT_EQ(cfg.segs[0].tools.size(), 1u);
    EXPECT_EQ(cfg.segs[0].color, rgb(255, 0, 0));
    EXPECT_EQ(cfg.segs[0].tools[0].cmd, "cmd");
  }
}

TEST(ConfigParse, KeepsOtherCharactersAtLineEnds) {
  // Zero width space (a format character) and vertical tab are not blanks.
  const Config cfg = Config::parse("SEG|A|#f00\nTOOL|t|cmd\xE2\x80\x8B\nTOOL|u|x\v\n\vTOOL|v|y");
  ASSERT_EQ(cfg.segs.size(), 1u);
  ASSERT_EQ(cfg.segs[0].tools.size(), 2u);
  EXPECT_EQ(cfg.segs[0].tools[0].cmd, "cmd\xE2\x80\x8B");
  EXPECT_EQ(cfg.segs[0].tools[1].cmd, "x\v");
}

struct ToolCase {
  const char* line;
  const char* name;
  const char* cmd;
};

TEST(ConfigParse, CutsToolLinesIntoNameAndCommand) {
  const ToolCase cases[] = {
      {"TOOL|A|x\u00A6y", "A", "x|y"},
      {"TOOL|A|\u00A6\u00A6", "A", "||"},
      {"TOOL|A|x|y", "A", "x"},
      {"TOOL|A\u00A6B|c", "A\u00A6B", "c"},
      {"TOOL|A| x ", "A", " x"},
      {"TOOL|A |x", "A ", "x"},
      {"TOOL|Label|", "Label", ""},
      {"TOOL||", "", ""},
      {"TOOL|A|anchor:0.5,1", "A", "anchor:0.5,1"},
  };
  for (const ToolCase& c : cases) {
    SCOPED_TRACE(c.line);
    const Config cfg = Config::parse(std::string("SEG|X|#fff\n") + c.line);
    ASSERT_EQ(cfg.segs.size(), 1u);
    ASSERT_EQ(cfg.segs[0].tools.size(), 1u);
    EXPECT_EQ(cfg.segs[0].tools[0], (Tool{c.name, c.cmd}));
  }
}

TEST(ConfigParse, AddsToolsToTheMostRecentAcceptedSegment) {
  const Config cfg = Config::parse(
      "TOOL|A|b\n"
      "SEG||#fff\n"
      "TOOL|A|b\n"
      "SEG|Broken\n"
      "TOOL|C|d\n"
      "SEG|A|#f00\n"
      "SEG|A|#0f0\n"
      "TOOL|E|f\n"
      "SEG|Empty|red\n");
  ASSERT_EQ(cfg.segs.size(), 4u);
  EXPECT_EQ(cfg.segs[0], (Seg{"", rgb(255, 255, 255), {Tool{"A", "b"}, Tool{"C", "d"}}}));
  EXPECT_EQ(cfg.segs[1], (Seg{"A", rgb(255, 0, 0), {}}));
  EXPECT_EQ(cfg.segs[2], (Seg{"A", rgb(0, 255, 0), {Tool{"E", "f"}}}));
  EXPECT_EQ(cfg.segs[3], (Seg{"Empty", kFallbackColor, {}}));
}

TEST(ConfigParse, RequiresKeywordsInUpperCaseAndAlone) {
  for (const char* line : {"seg|A|#f00", "Seg|A|#f00", "SEG |A|#f00", " SEGS|A|#f00", "xSEG|A|#f00",
                           "\xEF\xBB\xBFSEG|A|#f00"}) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(Config::parse(line).segs.empty());
  }
}

TEST(ConfigParse, ReportsEachKindOfPassedOverLineForThePreview) {
  const std::string text =
      "HOLD|300\r\n"      // 1
      "# comment\r\n"     // 2
      "TOOL|early|x\r\n"  // 3
      "\r\n"              // 4: blank, not reported
      "  SIZE|big  \r\n"  // 5
      "SEG|only two\r"    // 6
      "SEG|A|#f00\n"      // 7
      "TOOL|label\n"      // 8
      "HOLD\n"            // 9
      "\t\xE3\x80\x80\n"  // 10: blank, not reported
      "size|100";         // 11
  std::vector<SkippedLine> skipped;
  const Config cfg = Config::parse(text, &skipped);
  EXPECT_EQ(cfg, Config::parse(text));

  std::string preview;
  for (const SkippedLine& line : skipped) {
    preview +=
        std::to_string(line.lineNumber) + ": " + describe(line.reason) + ": " + line.text + "\n";
  }
  EXPECT_EQ(preview,
            "2: no HOLD, SIZE, SEG or TOOL keyword: # comment\n"
            "3: tool before any segment: TOOL|early|x\n"
            "5: not a whole number:   SIZE|big  \n"
            "6: too few fields: SEG|only two\n"
            "8: too few fields: TOOL|label\n"
            "9: too few fields: HOLD\n"
            "11: no HOLD, SIZE, SEG or TOOL keyword: size|100\n");
}

TEST(ConfigParse, SurvivesMalformedUtf8AndNulBytes) {
  using namespace std::string_literals;
  const std::string text = "SEG|\xFF\xE2\x80|#f00\xE2\x80\n\xC2TOOL|a|b\n\0TOOL|c|d\nTOOL|e|\0"s;
  const Config cfg = Config::parse(text);
  ASSERT_EQ(cfg.segs.size(), 1u);
  EXPECT_EQ(cfg.segs[0].name, "\xFF\xE2\x80");
  EXPECT_EQ(cfg.segs[0].tools, (std::vector<Tool>{Tool{"e", "\0"s}}));
}

class ConfigLoad : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nimbra-config-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST_F(ConfigLoad, GivesTheDefaultsWhenTheFileIsMissing) {
  const Config cfg = Config::load(Paths(dir));
  EXPECT_EQ(cfg, Config{});
}

TEST_F(ConfigLoad, ReadsWheelCfgFromTheWorkDirectory) {
  std::ofstream(dir + "/wheel.cfg") << kWorkedExample;
  EXPECT_EQ(Config::load(Paths(dir)), Config::parse(kWorkedExample));
}

}  // namespace
}  // namespace nimbra

#include "config/color.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "config/config.h"

namespace nimbra {
namespace {

Color rgb(int red, int green, int blue) {
  return Color{red / 255.0, green / 255.0, blue / 255.0};
}

struct ColorCase {
  const char* field;
  Color color;
};

TEST(ParseColor, ReadsTheAcceptedForms) {
  const ColorCase cases[] = {
      {"#FF8800", rgb(0xFF, 0x88, 0x00)}, {"f80", rgb(0xFF, 0x88, 0x00)},
      {"#3a7", rgb(0x33, 0xAA, 0x77)},    {" #ffffff ", rgb(0xFF, 0xFF, 0xFF)},
      {"+FFFFF", rgb(0x0F, 0xFF, 0xFF)},  {"-00001", rgb(0xFF, 0xFF, 0xFF)},
      {"-FFFFF", rgb(0xF0, 0x00, 0x01)},  {"aBcDeF", rgb(0xAB, 0xCD, 0xEF)},
      {"000000", rgb(0, 0, 0)},           {"\t\xE3\x80\x80#123\xC2\xA0", rgb(0x11, 0x22, 0x33)},
  };
  for (const ColorCase& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(Config::parseColor(c.field), c.color);
  }
}

TEST(ParseColor, GivesTheFallbackForEverythingElse) {
  const char* const fields[] = {
      "",
      "#",
      "##fff",
      "#FF880080",
      "0xF80",
      "red",
      "12 345",
      "ff88",
      "#ff88000",
      "+-1234",
      "++f",
      "-f0",
      "fff\n",
      "\vfff",
      "#f f",
      "# fff",
      "f\u00E9",             // two characters
      "\uFF46\uFF46\uFF46",  // three FULLWIDTH f
      "ff\u0301",            // f, f and a combining acute accent
      "ab\u0301cd",          // four letters and a combining accent
      "rgb(1,2,3)",
  };
  for (const char* field : fields) {
    SCOPED_TRACE(testing::PrintToString(field));
    EXPECT_EQ(Config::parseColor(field), kFallbackColor);
  }
}

TEST(ParseColor, MakesEveryComponentTheNearestDoubleToItsByteOver255) {
  for (int n = 0; n < 256; ++n) {
    char field[8];
    std::snprintf(field, sizeof field, "%02x%02X%02x", n, 255 - n, n);
    const Color color = Config::parseColor(field);
    EXPECT_EQ(color.red, n / 255.0);
    EXPECT_EQ(color.green, (255 - n) / 255.0);
    EXPECT_EQ(color.blue, n / 255.0);
    EXPECT_EQ(color.alpha, 1.0);
  }
}

}  // namespace
}  // namespace nimbra

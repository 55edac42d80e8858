#include "files/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace nimbra {
namespace {

TEST(Utf8Validation, LooksNoFurtherThanTheEndOfTheView) {
  // The bytes after the view would complete the sequence; they must not be consulted.
  const std::string euro = "\xE2\x82\xAC";
  EXPECT_TRUE(isValidUtf8(euro));
  EXPECT_FALSE(isValidUtf8(std::string_view(euro).substr(0, 2)));
  const std::string clef = "a\xF0\x9D\x84\x9E";
  EXPECT_FALSE(isValidUtf8(std::string_view(clef).substr(0, 4)));
}

TEST(Utf8Validation, TakesAnEmptyTextAndEmbeddedNulsAsValid) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace nimbra

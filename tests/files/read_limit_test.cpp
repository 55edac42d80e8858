// A file too large to hold reads as unreadable instead of exhausting memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include "files/paths.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

// The fault: the whole size was reserved up front, so a sparse file of many gigabytes made
// the allocation fail and ended the helper at start-up or at the next reload.
TEST(PathsReadLimit, GivesEmptyTextForAHugeSparseFileInsteadOfRunningOutOfMemory) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\n");
  ASSERT_EQ(::truncate(dir.file("wheel.cfg").c_str(), 64LL << 30), 0);
  EXPECT_EQ(Paths(dir.path()).read("wheel.cfg"), "");
}

TEST(PathsReadLimit, StillReadsAFileOfSomeMegabytes) {
  TempDir dir;
  const std::string big = "SEG|A|#fff\n" + std::string(8 << 20, ';');
  writeFile(dir.file("wheel.cfg"), big);
  EXPECT_EQ(Paths(dir.path()).read("wheel.cfg").size(), big.size());
}

}  // namespace
}  // namespace nimbra::testing

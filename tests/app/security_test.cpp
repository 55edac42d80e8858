// What the helper does with what it finds in the work directory: commands are written, never
// run; files are replaced, never written through a link.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/helper_fixture.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;

class Trust : public HelperTest {
 protected:
  void startFiring(const std::string& cmd) {
    start(("HOLD|120\nSIZE|100\nSEG|S|#fff\nTOOL|t|" + cmd + "\nTOOL|u|other\n").c_str());
  }
  // Opens the wheel by holding the button, moves onto the first tool of segment 0 and releases.
  void pickFirstTool() {
    press({500, 400});
    fake.advance(0.12);
    drag({500, 340});        // up: segment 0 in the ring
    drag({453.65, 257.35});  // out on the first tool's arc
    release({453.65, 257.35});
  }

  TempDir elsewhere;
};

// cmd.txt is made with umask 0 and over a link planted under its name.
TEST_F(Trust, AFiredCommandIsWrittenNeverRunAndReplacesALinkReadableByAll) {
  writeFile(elsewhere.file("victim"), "untouched");
  fs::create_symlink(elsewhere.file("victim"), dir.file("cmd.txt"));
  const std::string marker = elsewhere.file("ran");
  const std::string cmd = "touch " + marker + "; $(touch " + marker + ") `touch " + marker + "`";
  const mode_t saved = ::umask(0);
  startFiring(cmd);
  pickFirstTool();
  ::umask(saved);
  fake.advance(1.0);
  EXPECT_EQ(file("cmd.txt"), cmd);
  EXPECT_TRUE(logged("fired " + cmd));
  EXPECT_FALSE(fileExists(marker));
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
  struct stat st {};
  ASSERT_EQ(::lstat(dir.file("cmd.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, S_IFREG | 0644u);
}

TEST_F(Trust, ALogTxtLinkOrSecondNameIsNeverWrittenThrough) {
  writeFile(elsewhere.file("victim"), "untouched");
  fs::create_symlink(elsewhere.file("victim"), dir.file("log.txt"));
  startFiring("go");
  pickFirstTool();
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");

  fs::remove(dir.file("log.txt"));
  fs::create_hard_link(elsewhere.file("victim"), dir.file("log.txt"));
  pickFirstTool();
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
}

}  // namespace
}  // namespace nimbra::testing

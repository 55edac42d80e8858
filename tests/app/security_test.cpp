// What the helper does with what it finds in the work directory: commands are written, never
// run; files are replaced, never written through a link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;

class Trust : public HelperTest {
 protected:
  // Opens the wheel by holding the button, moves onto the first tool of segment 0 and releases.
  void pickFirstTool() {
    press({500, 400});
    fake.advance(0.12);
    drag({500, 340});                              // up: segment 0 in the ring
    drag({500 - 150 * 0.309, 400 - 150 * 0.951});  // out on the first tool's arc
    release({500 - 150 * 0.309, 400 - 150 * 0.951});
  }
  std::string configFiring(const std::string& cmd) const {
    return "HOLD|120\nSIZE|100\nSEG|S|#fff\nTOOL|t|" + cmd + "\nTOOL|u|other\n";
  }

  TempDir elsewhere;
};

TEST_F(Trust, NeverRunsTheCommandsItFiresItOnlyWritesThem) {
  const std::string marker = elsewhere.file("ran");
  const std::string cmd = "touch " + marker + "; $(touch " + marker + ") `touch " + marker + "`";
  start(configFiring(cmd).c_str());
  pickFirstTool();
  fake.advance(1.0);
  EXPECT_EQ(file("cmd.txt"), cmd);
  EXPECT_TRUE(logged("fired " + cmd));
  EXPECT_FALSE(fileExists(marker));
}

TEST_F(Trust, ACmdTxtLinkIsReplacedByThePickAndItsTargetLeftAlone) {
  writeFile(elsewhere.file("victim"), "untouched");
  fs::create_symlink(elsewhere.file("victim"), dir.file("cmd.txt"));
  start(configFiring("go").c_str());
  pickFirstTool();
  EXPECT_FALSE(fs::is_symlink(dir.file("cmd.txt")));
  EXPECT_EQ(file("cmd.txt"), "go");
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
}

TEST_F(Trust, CmdTxtIsReadableByAllAndWritableByTheHelperOnlyEvenWithUmaskZero) {
  start(configFiring("go").c_str());
  const mode_t saved = ::umask(0);
  pickFirstTool();
  ::umask(saved);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("cmd.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// A second name for log.txt may sit anywhere on the same file system, out of the work
// directory: nothing is appended through it.
TEST_F(Trust, ALogTxtWithASecondNameElsewhereIsNotWritten) {
  writeFile(elsewhere.file("victim"), "untouched");
  std::error_code ec;
  fs::create_hard_link(elsewhere.file("victim"), dir.file("log.txt"), ec);
  if (ec) GTEST_SKIP() << "no hard link across these folders: " << ec.message();
  start(configFiring("go").c_str());
  pickFirstTool();
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
}

}  // namespace
}  // namespace nimbra::testing

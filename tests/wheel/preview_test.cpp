// nimbra-wheel-preview run as a program: what it prints, its exit statuses and its pictures.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

struct PreviewRun {
  int status = -1;
  std::string out, err;
};

PreviewRun preview(const TempDir& dir, const std::vector<std::string>& args) {
  // The preview is built beside the helper; a shell only sends standard output to a file.
  const auto binary = std::filesystem::path(helperBinary()).parent_path() / "nimbra-wheel-preview";
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "exec \"$0\" \"$@\" > '" + dir.file("stdout.txt") + "'", binary.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv);
  PreviewRun run;
  run.status = child.waitExit(std::chrono::seconds(20)).value_or(-1);
  run.out = readFile(dir.file("stdout.txt"));
  run.err = child.stderrText();
  return run;
}

struct Png {
  explicit Png(const std::string& path) : s(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Png() { cairo_surface_destroy(s); }
  bool ok() const { return cairo_surface_status(s) == CAIRO_STATUS_SUCCESS; }
  int side() const { return cairo_image_surface_get_width(s); }
  std::uint32_t at(int x, int y) const {
    return reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(s) +
                                                  y * cairo_image_surface_get_stride(s))[x];
  }
  cairo_surface_t* s;
};

// Lines are numbered as editors do, a CR LF pair counting once.
TEST(WheelPreview, PrintsWhyLinesWerePassedOverAndDrawsWhatItIsAsked) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"),
            "TOOL|Early|e\r\nHOLD|350\r; a comment\n\r\nSEG|Edit|#3a7\nHOLD|abc\nSEG|View\n"
            "  TOOL|Copy|copy\n");
  PreviewRun run = preview(dir, {dir.file("wheel.cfg"), dir.file("out.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "config: 1 sections, R=190, hold=350ms\n"
            "line 1: TOOL|Early|e \u2014 tool before any segment\n"
            "line 3: ; a comment \u2014 no HOLD, SIZE, SEG or TOOL keyword\n"
            "line 6: HOLD|abc \u2014 not a whole number\n"
            "line 7: SEG|View \u2014 too few fields\n");
  Png png(dir.file("out.png"));
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png.side(), 776);
  EXPECT_EQ(png.at(0, 0), 0u);
  EXPECT_GT(png.at(388, 388 + 40) >> 24, 240u);  // the hub

  writeFile(dir.file("wheel.cfg"), "SIZE|100\nSEG|A|#ff0000\nTOOL|One|1\nTOOL|Two|2\n");
  run =
      preview(dir, {"--select", "0:1", "--scale", "2", dir.file("wheel.cfg"), dir.file("out.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "config: 1 sections, R=100, hold=2000ms\n");
  Png scaled(dir.file("out.png"));
  ASSERT_EQ(scaled.side(), 832);
  // Tool 1 spans [-90, -54) degrees: at -80 degrees and radius 120, (228.8, 89.8) points.
  EXPECT_EQ(scaled.at(457, 179), 0xFFFF0000u);

  writeFile(dir.file("wheel.cfg"), "");
  run = preview(dir, {dir.file("wheel.cfg"), dir.file("out.png")});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "config: 0 sections, R=190, hold=2000ms\n");
  EXPECT_NE(run.err.find("no segments"), std::string::npos);
  EXPECT_EQ(Png(dir.file("out.png")).at(388, 388), 0u);
}

TEST(WheelPreview, RejectsBadArgumentsWithTheUsageAndStatus2) {
  TempDir dir;
  const std::string c = dir.file("wheel.cfg"), o = dir.file("out.png");
  writeFile(c, "SEG|A|#fff\n");
  const std::vector<std::vector<std::string>> bad = {
      {},           {c, o, "extra"},        {"--select", "1:x", c, o}, {"--select", "", c, o},
      {"-x", c, o}, {"--scale", "0", c, o}, {"--scale", "nan", c, o},  {c, o, "--scale"},
  };
  for (const auto& args : bad) {
    PreviewRun run = preview(dir, args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("usage: nimbra-wheel-preview"), std::string::npos);
  }
  EXPECT_FALSE(fileExists(o));
}

TEST(WheelPreview, FailsWithStatus1OnWhatItCannotReadWriteOrPicture) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\n");
  writeFile(dir.file("big.cfg"), "SIZE|9223372036854775807\nSEG|A|#fff\n");
  struct Case {
    std::string cfg, png, out, err;
  };
  const Case cases[] = {
      {dir.file("absent.cfg"), "out.png", "", "cannot read " + dir.file("absent.cfg")},
      {dir.path(), "out.png", "", "not a regular file"},
      {dir.file("wheel.cfg"), "no/such/folder/out.png", "config: 1 sections, R=190, hold=2000ms\n",
       "cannot write"},
      {dir.file("big.cfg"), "out.png", "config: 1 sections, R=9223372036854775808, hold=2000ms\n",
       "too large"},
  };
  for (const Case& c : cases) {
    PreviewRun run = preview(dir, {c.cfg, dir.file(c.png)});
    EXPECT_EQ(run.status, 1) << c.err;
    EXPECT_EQ(run.out, c.out) << c.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fileExists(dir.file("out.png")));
}

}  // namespace
}  // namespace nimbra::testing

// nimbra-wheel-preview run as a program: what it prints, its exit statuses and its pictures.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra {
namespace {

using testing::ChildProcess;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

struct PreviewRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The preview is built beside the helper, in the build's root.
std::string previewBinary() {
  return (std::filesystem::path(testing::helperBinary()).parent_path() / "nimbra-wheel-preview")
      .string();
}

PreviewRun preview(const TempDir& dir, const std::vector<std::string>& args) {
  // A shell only to send standard output to a file; the arguments pass through untouched.
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "exec \"$0\" \"$@\" > '" + dir.file("stdout.txt") + "'", previewBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv);
  PreviewRun run;
  run.status = child.waitExit(std::chrono::seconds(20)).value_or(-1);
  run.out = readFile(dir.file("stdout.txt"));
  run.err = child.stderrText();
  return run;
}

struct Png {
  explicit Png(const std::string& path)
      : surface(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Png() { cairo_surface_destroy(surface); }
  bool ok() const { return cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS; }
  int width() const { return cairo_image_surface_get_width(surface); }
  int height() const { return cairo_image_surface_get_height(surface); }
  std::uint32_t at(int x, int y) const {
    return reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(surface) +
                                                  y * cairo_image_surface_get_stride(surface))[x];
  }
  cairo_surface_t* surface;
};

std::string line(std::size_t n, const std::string& text, SkipReason reason) {
  return "line " + std::to_string(n) + ": " + text + " \u2014 " + describe(reason) + "\n";
}

TEST(WheelPreview, PrintsTheSummaryAndWhyEachPassedOverLineWasPassedOver) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"),
            "TOOL|Early|e\n"
            "HOLD|350\n"
            "; a comment\n"
            "\n"
            "SEG|Edit|#3a7\n"
            "HOLD|abc\n"
            "SEG|View\n"
            "  TOOL|Copy|copy\n"
            "Tool|Paste|paste\n");
  PreviewRun run = preview(dir, {dir.file("wheel.cfg"), dir.file("out.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "config: 1 sections, R=190, hold=350ms\n" +
                         line(1, "TOOL|Early|e", SkipReason::kToolBeforeAnySegment) +
                         line(3, "; a comment", SkipReason::kUnknownKeyword) +
                         line(6, "HOLD|abc", SkipReason::kNotAnInteger) +
                         line(7, "SEG|View", SkipReason::kTooFewFields) +
                         line(9, "Tool|Paste|paste", SkipReason::kUnknownKeyword));
  Png png(dir.file("out.png"));
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png.width(), 776);
  EXPECT_EQ(png.height(), 776);
  EXPECT_EQ(png.at(0, 0), 0u);                   // a transparent background
  EXPECT_GT(png.at(388, 388 + 40) >> 24, 240u);  // the hub
}

TEST(WheelPreview, DrawsTheSelectionAtTheScaleAsked) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"), "SIZE|100\nSEG|A|#ff0000\nTOOL|One|1\nTOOL|Two|2\n");
  PreviewRun run =
      preview(dir, {"--select", "0:1", "--scale", "2", dir.file("wheel.cfg"), dir.file("out.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "config: 1 sections, R=100, hold=2000ms\n");
  Png png(dir.file("out.png"));
  ASSERT_TRUE(png.ok());
  ASSERT_EQ(png.width(), 832);
  // Tool 1 spans [-90, -54) degrees: at -80 degrees and radius 120 points, the red cell.
  const double t = -80 * 3.141592653589793 / 180;
  EXPECT_EQ(png.at(static_cast<int>(2 * (208 + 120 * std::cos(t))),
                   static_cast<int>(2 * (208 + 120 * std::sin(t)))),
            0xFFFF0000u);
}

TEST(WheelPreview, AnEmptyConfigurationGivesAClearPictureAndSaysTheWheelWillNotOpen) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"), "");
  PreviewRun run = preview(dir, {dir.file("wheel.cfg"), dir.file("out.png")});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "config: 0 sections, R=190, hold=2000ms\n");
  EXPECT_NE(run.err.find("no segments"), std::string::npos);
  Png png(dir.file("out.png"));
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png.at(388, 388), 0u);
}

TEST(WheelPreview, RejectsBadArgumentsWithTheUsageAndStatus2) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\n");
  const std::string cfg = dir.file("wheel.cfg");
  const std::string out = dir.file("out.png");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {cfg},
      {cfg, out, "extra"},
      {"--select", cfg, out},
      {"--select", "1:x", cfg, out},
      {"--select", "", cfg, out},
      {"--scale", "0", cfg, out},
      {"--scale", "nan", cfg, out},
      {"--scale", "2x", cfg, out},
      {"--bogus", cfg, out},
      {cfg, out, "--scale"},
  };
  for (const auto& args : bad) {
    PreviewRun run = preview(dir, args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("usage: nimbra-wheel-preview"), std::string::npos);
  }
  EXPECT_FALSE(testing::fileExists(out));
}

TEST(WheelPreview, ReportsAConfigurationItCannotReadWithStatus1) {
  TempDir dir;
  PreviewRun missing = preview(dir, {dir.file("absent.cfg"), dir.file("out.png")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot read " + dir.file("absent.cfg")), std::string::npos);
  PreviewRun folder = preview(dir, {dir.path(), dir.file("out.png")});
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("not a regular file"), std::string::npos);
}

TEST(WheelPreview, ReportsAPictureItCannotWriteWithStatus1) {
  TempDir dir;
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\n");
  PreviewRun run = preview(dir, {dir.file("wheel.cfg"), dir.file("no/such/folder/out.png")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot write"), std::string::npos);
}

TEST(WheelPreview, RefusesARadiusTooLargeToPictureAfterPrintingItWhole) {
  TempDir dir;
  writeFile(dir.file("big.cfg"), "SIZE|1000000000\nSEG|A|#fff\n");
  PreviewRun big = preview(dir, {dir.file("big.cfg"), dir.file("out.png")});
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.out, "config: 1 sections, R=1000000000, hold=2000ms\n");
  EXPECT_NE(big.err.find("too large"), std::string::npos);
  EXPECT_FALSE(testing::fileExists(dir.file("out.png")));

  writeFile(dir.file("max.cfg"), "SIZE|9223372036854775807\nSEG|A|#fff\n");
  PreviewRun max = preview(dir, {dir.file("max.cfg"), dir.file("out.png")});
  EXPECT_EQ(max.status, 1);
  EXPECT_EQ(max.out, "config: 1 sections, R=9223372036854775808, hold=2000ms\n");
}

}  // namespace
}  // namespace nimbra

// nimbra-wheel-preview run as a program: what it prints, its exit statuses and its pictures.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

struct Png {
  explicit Png(const std::string& path) : s(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Png() { cairo_surface_destroy(s); }
  int side() const { return cairo_image_surface_get_width(s); }
  std::uint32_t at(int x, int y) const {  // rows of ARGB32 are 4 * side bytes long
    return reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(s))[y * side() + x];
  }
  cairo_surface_t* s;
};

class WheelPreview : public ::testing::Test {
 protected:
  struct Run {
    int status;
    std::string out, err;
  };
  // The preview is built beside the helper ("nimbra-wheel"); a shell sends its output to a file.
  Run run(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"/bin/sh", "-c", "exec \"$0\" \"$@\" > '" + dir.file("stdout.txt") + "'",
                 helperBinary() + "-preview"});
    ChildProcess child(args);
    const int status = child.waitExit(std::chrono::seconds(20)).value_or(-1);
    return {status, readFile(dir.file("stdout.txt")), child.stderrText()};
  }
  TempDir dir;
  const std::string cfg = dir.file("wheel.cfg"), png = dir.file("out.png");
};

// Lines are numbered as editors do, a CR LF pair counting once.
TEST_F(WheelPreview, PrintsWhyLinesWerePassedOverAndDrawsWhatItIsAsked) {
  writeFile(cfg,
            "TOOL|Early|e\r\nHOLD|350\r; a comment\n\r\nSEG|Edit|#3a7\nHOLD|abc\nSEG|View\n"
            "  TOOL|Copy|copy\n");
  Run r = run({cfg, png});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "config: 1 sections, R=190, hold=350ms\n"
            "line 1: TOOL|Early|e \u2014 tool before any segment\n"
            "line 3: ; a comment \u2014 no HOLD, SIZE, SEG or TOOL keyword\n"
            "line 6: HOLD|abc \u2014 not a whole number\n"
            "line 7: SEG|View \u2014 too few fields\n");
  const Png plain(png);
  EXPECT_EQ(plain.side(), 776);
  EXPECT_GT(plain.at(388, 388 + 40) >> 24, 240u);  // the hub
  writeFile(cfg, "SIZE|100\nSEG|A|#ff0000\nTOOL|One|1\nTOOL|Two|2\n");
  r = run({"--select", "0:1", "--scale", "2", cfg, png});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "config: 1 sections, R=100, hold=2000ms\n");
  const Png scaled(png);
  ASSERT_EQ(scaled.side(), 832);
  // Tool 1 spans [-90, -54) degrees: at -80 degrees and radius 120, (228.8, 89.8) points.
  EXPECT_EQ(scaled.at(457, 179), 0xFFFF0000u);
  writeFile(cfg, "");
  r = run({cfg, png});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "config: 0 sections, R=190, hold=2000ms\n");
  EXPECT_NE(r.err.find("no segments"), std::string::npos);
  EXPECT_EQ(Png(png).at(388, 388), 0u);
}

// A size whose picture could not be made is refused before anything is drawn or written.
TEST_F(WheelPreview, RejectsBadArgumentsWithStatus2AndFailsWithStatus1OnWhatItCannotDo) {
  writeFile(cfg, "SIZE|9223372036854775807\nSEG|A|#fff\n");
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {cfg, png, "extra"},
                                               {"--select", "1:x", cfg, png},
                                               {"--scale", "nan", cfg, png}}) {
    const Run r = run(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: nimbra-wheel-preview"), std::string::npos);
  }
  const std::string absent = dir.file("absent.cfg");
  for (const auto& [input, out, err] : {std::tuple{absent, "", "cannot read " + absent},
                                        {cfg,
                                         "config: 1 sections, R=9223372036854775808, "
                                         "hold=2000ms\n",
                                         "too large"}}) {
    const Run r = run({input, png});
    EXPECT_EQ(r.status, 1) << err;
    EXPECT_EQ(r.out, out) << err;
    EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fileExists(png));
}

}  // namespace
}  // namespace nimbra::testing

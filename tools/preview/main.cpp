// nimbra-wheel-preview: paints the wheel a configuration file describes into a PNG, as the
// helper would show it, and says which lines of the file the helper passes over and why.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cairo.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "config_report.h"
#include "files/paths.h"
#include "preview_args.h"
#include "wheel/geometry.h"
#include "wheel/paint/canvas.h"
#include "wheel/paint/wheel_painter.h"

namespace {

constexpr const char* kProgram = "nimbra-wheel-preview";
// Pictures stop here: 8192 pixels a side is already 256 MB of pixels.
constexpr double kMaxSidePixels = 8192;

// Says why the file cannot be read, or nothing when it can.
std::string unreadableReason(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st;
  std::string reason;
  if (::fstat(fd, &st) != 0) {
    reason = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    reason = "not a regular file";
  }
  ::close(fd);
  return reason;
}

std::uintmax_t fileSize(const std::string& path) {
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nimbra;
  auto args = parsePreviewArgs(std::vector<std::string>(argv + 1, argv + argc));
  if (!args) {
    std::fputs(previewUsage(), stderr);
    return 2;
  }
  if (args->help) {
    std::fputs(previewUsage(), stdout);
    return 0;
  }

  if (std::string why = unreadableReason(args->configPath); !why.empty()) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, args->configPath.c_str(),
                 why.c_str());
    return 1;
  }
  // Read it the way the helper reads its work directory's file.
  std::filesystem::path file(args->configPath);
  std::string folder = file.parent_path().string();
  Paths paths(folder.empty() ? "." : folder);
  std::string text = paths.read(file.filename().string());
  if (text.empty() && fileSize(args->configPath) > 0) {
    std::fprintf(stderr, "%s: %s is not valid UTF-8; the helper reads it as empty\n", kProgram,
                 args->configPath.c_str());
  }
  std::vector<SkippedLine> skipped;
  auto cfg = std::make_shared<const Config>(Config::parse(text, &skipped));
  std::printf("%s\n", configSummary(*cfg).c_str());
  for (const std::string& line : skippedLineReport(skipped)) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (cfg->segs.empty()) {
    std::fprintf(stderr, "%s: no segments: the helper will not open the wheel\n", kProgram);
  }

  const double sidePoints = 4 * cfg->radius + 16;
  const double sidePixels = std::ceil(sidePoints * args->scale);
  if (!(sidePixels <= kMaxSidePixels)) {
    std::fprintf(stderr,
                 "%s: a wheel of radius %.0f is %.0f points a side, too large to preview at "
                 "scale %g (at most %.0f pixels a side)\n",
                 kProgram, cfg->radius, sidePoints, args->scale, kMaxSidePixels);
    return 1;
  }
  const int side = static_cast<int>(sidePixels);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "%s: cannot make a %dx%d picture\n", kProgram, side, side);
    cairo_surface_destroy(surface);
    return 1;
  }
  cairo_t* cr = cairo_create(surface);
  Canvas canvas{cr, args->scale};
  PaintInputs in;
  in.cfg = cfg;
  in.geo = std::make_shared<const Geometry>(cfg);
  in.curSeg = args->curSeg;
  in.curTool = args->curTool;
  in.bounds = {sidePoints, sidePoints};
  in.scale = args->scale;
  WheelPainter painter;
  painter.paint(canvas, in, Rect{{0, 0}, in.bounds});
  cairo_destroy(cr);

  cairo_status_t status = cairo_surface_write_to_png(surface, args->outputPath.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, args->outputPath.c_str(),
                 cairo_status_to_string(status));
    return 1;
  }
  return 0;
}

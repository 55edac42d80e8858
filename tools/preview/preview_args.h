// The preview's command line: [--select SEG[:TOOL]] [--scale F] wheel.cfg out.png
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nimbra {

struct PreviewArgs {
  int curSeg = -1;
  int curTool = -1;
  double scale = 1.0;
  std::string configPath;
  std::string outputPath;
  bool help = false;
};

inline constexpr double kMaxPreviewScale = 16;

// None when the arguments do not follow the usage.
std::optional<PreviewArgs> parsePreviewArgs(const std::vector<std::string>& args);

const char* previewUsage();

}  // namespace nimbra

#include "preview_args.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace nimbra {
namespace {

std::optional<int> parseInt(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<double> parseScale(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value) || !(value > 0) ||
      value > kMaxPreviewScale) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

const char* previewUsage() {
  return "usage: nimbra-wheel-preview [--select SEG[:TOOL]] [--scale F] wheel.cfg out.png\n"
         "  --select SEG[:TOOL]  highlight segment SEG and its tool TOOL (indices from 0)\n"
         "  --scale F            device pixels per point, above 0 and at most 16 (default 1)\n";
}

std::optional<PreviewArgs> parsePreviewArgs(const std::vector<std::string>& args) {
  PreviewArgs out;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      out.help = true;
      return out;
    }
    if (arg == "--select" || arg == "--scale") {
      if (i + 1 >= args.size()) return std::nullopt;
      const std::string& value = args[++i];
      if (arg == "--scale") {
        auto scale = parseScale(value);
        if (!scale) return std::nullopt;
        out.scale = *scale;
        continue;
      }
      std::string_view v = value;
      std::size_t colon = v.find(':');
      auto seg = parseInt(v.substr(0, colon));
      if (!seg) return std::nullopt;
      out.curSeg = *seg;
      out.curTool = -1;
      if (colon != std::string_view::npos) {
        auto tool = parseInt(v.substr(colon + 1));
        if (!tool) return std::nullopt;
        out.curTool = *tool;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') return std::nullopt;
    positional.push_back(arg);
  }
  if (positional.size() != 2) return std::nullopt;
  out.configPath = positional[0];
  out.outputPath = positional[1];
  return out;
}

}  // namespace nimbra

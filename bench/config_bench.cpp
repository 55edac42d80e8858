#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "config/config.h"
#include "wheel/geometry.h"

namespace nimbra {
namespace {

// A plausible "wheel.cfg" of `lines` lines: segments of seven tools, with comments and
// blank lines between them.
std::string generatedConfig(std::int64_t lines) {
  std::string text = "HOLD|350\r\nSIZE|220\r\n";
  for (std::int64_t i = 2; i < lines; ++i) {
    switch (i % 10) {
      case 0:
        text += "SEG|Section " + std::to_string(i) + "|#3a7\r\n";
        break;
      case 1:
        text += "; written by the host application\r\n";
        break;
      case 2:
        text += "\r\n";
        break;
      default:
        text += "TOOL|Tool " + std::to_string(i) + "|run --item " + std::to_string(i) +
                " \u00A6 filter\r\n";
    }
  }
  return text;
}

void BM_ConfigParse(benchmark::State& state) {
  const std::string text = generatedConfig(state.range(0));
  for (auto _ : state) {
    Config cfg = Config::parse(text);
    benchmark::DoNotOptimize(cfg);
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ConfigParse)->Arg(10)->Arg(1000)->Arg(100000)->Complexity(benchmark::oN);

void BM_ConfigParseReportingSkippedLines(benchmark::State& state) {
  const std::string text = generatedConfig(state.range(0));
  for (auto _ : state) {
    std::vector<SkippedLine> skipped;
    Config cfg = Config::parse(text, &skipped);
    benchmark::DoNotOptimize(cfg);
    benchmark::DoNotOptimize(skipped);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ConfigParseReportingSkippedLines)->Arg(1000)->Arg(100000)->Complexity(benchmark::oN);

void BM_ParseColor(benchmark::State& state) {
  const char* const fields[] = {"#3a7", " ff8800 ", "#FF880080", "red"};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Config::parseColor(fields[i++ % 4]));
  }
}
BENCHMARK(BM_ParseColor);

std::shared_ptr<Config> ringOf(std::int64_t segments, const std::vector<std::string>& commands) {
  auto cfg = std::make_shared<Config>();
  for (std::int64_t i = 0; i < segments; ++i) {
    Seg seg{"s", kFallbackColor, {}};
    for (const std::string& cmd : commands) seg.tools.push_back(Tool{"t", cmd});
    cfg->segs.push_back(std::move(seg));
  }
  return cfg;
}

// Runs on every pointer movement.
void BM_SegAt(benchmark::State& state) {
  const Geometry geo(ringOf(state.range(0), {}));
  double angle = -180;
  for (auto _ : state) {
    benchmark::DoNotOptimize(geo.segAt(angle));
    angle = angle >= 180 ? -180 : angle + 0.7;
  }
}
BENCHMARK(BM_SegAt)->Arg(8)->Arg(10000);

// Runs on every pointer movement in the tool zone and every redraw of an anchor segment:
// parses all nine commands each time.
void BM_SegAnchor(benchmark::State& state) {
  const Geometry geo(
      ringOf(1, {"anchor:0,0", "anchor:0.5,0", "anchor:1,0", "anchor:0,0.5", "anchor:0.5,0.5",
                 "anchor:1,0.5", "anchor:0,1", "anchor:0.5,1", "anchor: 1 , 1 "}));
  for (auto _ : state) benchmark::DoNotOptimize(geo.segAnchor(0));
}
BENCHMARK(BM_SegAnchor);

}  // namespace
}  // namespace nimbra

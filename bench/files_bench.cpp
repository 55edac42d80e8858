// Cost of the work-directory operations the helper runs on its main thread.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "files/log.h"
#include "files/paths.h"
#include "files/rewritten_file.h"

namespace {

// A fresh folder for one benchmark, removed when it ends.
class BenchDir {
 public:
  BenchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~BenchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

void BM_PathsWriteOpen(benchmark::State& state) {
  BenchDir dir;
  const nimbra::Paths paths(dir.path);
  for (auto _ : state) benchmark::DoNotOptimize(paths.write("cmd.txt", "~open"));
}
BENCHMARK(BM_PathsWriteOpen);

// The heartbeat as the tick writes it: two kept files swapped, against a new file per write.
void BM_HeartbeatWrite(benchmark::State& state) {
  BenchDir dir;
  nimbra::RewrittenFile pid(nimbra::Paths(dir.path), "pid.txt");
  for (auto _ : state) benchmark::DoNotOptimize(pid.write("4242|1796587177906"));
}
BENCHMARK(BM_HeartbeatWrite);

void BM_AppendLogLine(benchmark::State& state) {
  BenchDir dir;
  const std::string logPath = dir.path + "/log.txt";
  for (auto _ : state) {
    nimbra::appendLogLine(logPath, 1700000000.5, "wheel shown at 640,480", false);
  }
}
BENCHMARK(BM_AppendLogLine);

void BM_PathsReadSmallFile(benchmark::State& state) {
  BenchDir dir;
  const nimbra::Paths paths(dir.path);
  paths.write("wheel.cfg",
              "HOLD|350\nSIZE|80\nSEG|Edit|#e5484d\nTOOL|Copy|copy\nTOOL|Paste|paste\n"
              "SEG|View|#3e63dd\nTOOL|Zoom|zoom\n");
  for (auto _ : state) benchmark::DoNotOptimize(paths.read("wheel.cfg"));
}
BENCHMARK(BM_PathsReadSmallFile);

void BM_PathsMtime(benchmark::State& state) {
  BenchDir dir;
  const nimbra::Paths paths(dir.path);
  paths.write("wheel.cfg", "SIZE|80\n");
  for (auto _ : state) benchmark::DoNotOptimize(paths.mtime("wheel.cfg"));
}
BENCHMARK(BM_PathsMtime);

}  // namespace

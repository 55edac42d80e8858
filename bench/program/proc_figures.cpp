#include "proc_figures.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace nimbra::figures {

ProcStats readStats(pid_t pid) {
  ProcStats s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream in(line);
    in >> key >> value;
    if (key == "VmRSS:") s.rssKb = value;
    if (key == "VmHWM:") s.hwmKb = value;
    if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:")
      s.switches += value;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close != std::string::npos) {
    std::istringstream in(all.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15; ++i) {
      in >> field;
      if (i == 14) utime = std::atol(field.c_str());
      if (i == 15) stime = std::atol(field.c_str());
    }
    s.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  }
  return s;
}

namespace {

// Runs `each` on the /proc folder of every thread of the process.
template <typename Fn>
void forEachThread(pid_t pid, Fn each) {
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    each(it->path());
  }
}

}  // namespace

int threadCount(pid_t pid) {
  int n = 0;
  forEachThread(pid, [&](const std::filesystem::path&) { ++n; });
  return n;
}

long threadsSwitches(pid_t pid) {
  long total = 0;
  forEachThread(pid, [&](const std::filesystem::path& task) {
    std::ifstream status(task / "status");
    std::string line, key;
    long value = 0;
    while (std::getline(status, line)) {
      std::istringstream in(line);
      in >> key >> value;
      if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") total += value;
    }
  });
  return total;
}

double threadsCpuSeconds(pid_t pid) {
  double total = 0;
  forEachThread(pid, [&](const std::filesystem::path& task) {
    std::ifstream in(task / "schedstat");
    double ns = 0;
    if (in >> ns) total += ns / 1e9;
  });
  return total;
}

IdleFigures idleFigures(pid_t pid, int seconds) {
  // prev_state 1 is an interruptible sleep, 2 an uninterruptible one (the disk); a preempted
  // thread (0) did not go to sleep.
  const std::string cmd =
      "perf stat -x, -e task-clock -e sched:sched_switch --filter "
      "'prev_state == 1 || prev_state == 2' -p " +
      std::to_string(pid) + " -- sleep " + std::to_string(seconds) + " 2>&1 >/dev/null";
  FILE* out = popen(cmd.c_str(), "r");
  IdleFigures f;
  if (!out) return f;
  char line[512];
  while (std::fgets(line, sizeof line, out)) {
    if (line[0] < '0' || line[0] > '9') continue;
    if (std::strstr(line, "sched:sched_switch")) f.wakeUps = std::atof(line);
    if (std::strstr(line, "task-clock")) f.cpuSeconds = std::atof(line) / 1000;  // msec
  }
  if (pclose(out) != 0) return IdleFigures{};
  return f;
}

}  // namespace nimbra::figures

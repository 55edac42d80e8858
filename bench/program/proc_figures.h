// What the whole-program figures share: a series of timings and what the kernel and perf
// tell about a process (memory, context switches, CPU time, wake-ups while idle).
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace nimbra::figures {

struct Series {
  std::vector<double> values;
  double percentile(double p) const {
    if (values.empty()) return 0;
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    const double rank = p * (v.size() - 1);
    const auto lo = static_cast<std::size_t>(rank);
    const std::size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (rank - lo);
  }
};

// From /proc: the process's memory and its main thread's context switches and CPU time.
struct ProcStats {
  long rssKb = 0;
  long hwmKb = 0;
  long switches = 0;  // voluntary + involuntary context switches: each is a wake-up or more
  double cpuSeconds = 0;
};

ProcStats readStats(pid_t pid);

// The threads of `pid`, as /proc lists them now.
int threadCount(pid_t pid);

// Voluntary and involuntary context switches of every live thread of `pid`.
long threadsSwitches(pid_t pid);

// CPU time of every live thread of `pid`, in seconds, from the scheduler's own count.
double threadsCpuSeconds(pid_t pid);

// What the helper's threads did over an idle window, from perf: how often one of them went to
// sleep (waiting for anything: the loop's poll, a lock, the disk), each such sleep ending in a
// wake-up, and the CPU they used. Negative figures when perf cannot count here.
struct IdleFigures {
  double wakeUps = -1;
  double cpuSeconds = -1;
};

IdleFigures idleFigures(pid_t pid, int seconds);

}  // namespace nimbra::figures

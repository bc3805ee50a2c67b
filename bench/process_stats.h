// Resource readings of another process: CPU time, resident memory and
// context switches (wake-ups). From /proc on Linux and from libproc on macOS;
// a reading the platform cannot give is reported as negative.
//
// Thread-safety: stateless; may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>

namespace tindrel::bench {

struct ProcessSample {
  double cpuSeconds = -1;        // User plus system time so far.
  std::int64_t rssKiB = -1;      // Resident set size now.
  std::int64_t peakRssKiB = -1;  // Highest resident set size so far.
  int threads = -1;
  // Voluntary plus involuntary context switches, per thread id (Linux).
  std::map<long, std::int64_t> switchesByThread;
  // Nanoseconds on a CPU, per thread id (Linux schedstat): finer than
  // cpuSeconds, which counts in scheduler ticks.
  std::map<long, std::int64_t> cpuNanosecondsByThread;
};

ProcessSample sampleProcess(pid_t pid);

// Context switches between two samples of the same process: for threads in
// both, the difference; for threads only in `after`, their whole count; for
// threads only in `before` (ended in between), one. Negative when the
// platform gives no per-thread counts.
std::int64_t switchesBetween(const ProcessSample& before, const ProcessSample& after);

// CPU nanoseconds between two samples: per thread as above, or the process's
// tick-grained total when that is larger (threads that ended in between).
// Negative when the platform gives no per-thread times.
std::int64_t cpuNanosecondsBetween(const ProcessSample& before, const ProcessSample& after);

// CPU time of the calling process (all its threads) so far.
double ownCpuSeconds();

}  // namespace tindrel::bench

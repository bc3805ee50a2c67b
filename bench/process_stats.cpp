#include "process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#if defined(__APPLE__)
#include <libproc.h>
#include <mach/mach_time.h>
#else
#include <dirent.h>
#endif

namespace tindrel::bench {
namespace {

#if !defined(__APPLE__)
std::int64_t statusField(const std::string& path, const std::string& name) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() &&
        line[name.size()] == ':') {
      return std::stoll(line.substr(name.size() + 1));
    }
  }
  return -1;
}
#endif

}  // namespace

ProcessSample sampleProcess(pid_t pid) {
  ProcessSample sample;
#if defined(__APPLE__)
  rusage_info_v4 info{};
  if (proc_pid_rusage(pid, RUSAGE_INFO_V4, reinterpret_cast<rusage_info_t*>(&info)) == 0) {
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    const double nanoseconds = static_cast<double>(info.ri_user_time + info.ri_system_time) *
                               timebase.numer / timebase.denom;
    sample.cpuSeconds = nanoseconds / 1e9;
    sample.rssKiB = static_cast<std::int64_t>(info.ri_resident_size / 1024);
    sample.peakRssKiB = static_cast<std::int64_t>(info.ri_lifetime_max_phys_footprint / 1024);
  }
  proc_taskinfo task{};
  if (proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &task, sizeof task) == sizeof task) {
    sample.threads = task.pti_threadnum;
  }
#else
  const std::string base = "/proc/" + std::to_string(pid);
  {
    std::ifstream stat(base + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: fields are counted after its ')'.
    const std::size_t close = content.rfind(')');
    if (close != std::string::npos) {
      std::istringstream fields(content.substr(close + 2));
      std::string field;
      long long utime = 0;
      long long stime = 0;
      // After ')' the fields start at number 3 (state); utime and stime are
      // numbers 14 and 15.
      for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::stoll(field);
        if (number == 15) stime = std::stoll(field);
      }
      sample.cpuSeconds = static_cast<double>(utime + stime) / ::sysconf(_SC_CLK_TCK);
    }
  }
  sample.rssKiB = statusField(base + "/status", "VmRSS");
  sample.peakRssKiB = statusField(base + "/status", "VmHWM");
  sample.threads = static_cast<int>(statusField(base + "/status", "Threads"));
  if (DIR* tasks = ::opendir((base + "/task").c_str())) {
    while (const dirent* entry = ::readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      const std::string status = base + "/task/" + entry->d_name + "/status";
      const std::int64_t voluntary = statusField(status, "voluntary_ctxt_switches");
      const std::int64_t involuntary = statusField(status, "nonvoluntary_ctxt_switches");
      if (voluntary >= 0 && involuntary >= 0) {
        sample.switchesByThread[std::stol(entry->d_name)] = voluntary + involuntary;
      }
      std::ifstream schedstat(base + "/task/" + entry->d_name + "/schedstat");
      long long onCpu = -1;
      if (schedstat >> onCpu) sample.cpuNanosecondsByThread[std::stol(entry->d_name)] = onCpu;
    }
    ::closedir(tasks);
  }
#endif
  return sample;
}

namespace {

// `vanished` is what a thread present only in `before` adds: it ran at least
// once more, to end.
std::int64_t perThreadDifference(const std::map<long, std::int64_t>& before,
                                 const std::map<long, std::int64_t>& after, std::int64_t vanished) {
  if (after.empty()) return -1;
  std::int64_t total = 0;
  for (const auto& [thread, count] : after) {
    const auto earlier = before.find(thread);
    total += earlier == before.end() ? count : count - earlier->second;
  }
  for (const auto& [thread, count] : before) {
    if (!after.contains(thread)) total += vanished;
  }
  return total;
}

}  // namespace

std::int64_t switchesBetween(const ProcessSample& before, const ProcessSample& after) {
  return perThreadDifference(before.switchesByThread, after.switchesByThread, 1);
}

std::int64_t cpuNanosecondsBetween(const ProcessSample& before, const ProcessSample& after) {
  const std::int64_t live =
      perThreadDifference(before.cpuNanosecondsByThread, after.cpuNanosecondsByThread, 0);
  if (live < 0) return live;
  // Threads that ended inside the window are missing from the per-thread
  // times but not from the process's own (tick-grained) total.
  const auto ticked = static_cast<std::int64_t>((after.cpuSeconds - before.cpuSeconds) * 1e9);
  return std::max(live, ticked);
}

double ownCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace tindrel::bench

// Measurement helpers of kova-bench: CPU clocks of processes and threads, order statistics,
// log-spaced latency histograms, process memory and mappings, and the lateness of a periodic
// stream's stamps.
//
// Threading: free functions and plain values; each call stands alone.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kova::bench {

// Now on CLOCK_MONOTONIC, in nanoseconds (the host clock frames are stamped on).
std::uint64_t monotonicNs();
// CPU time (user + system, every thread, living or ended) that process `pid` has used, in
// nanoseconds; nothing once the process is gone.
std::optional<std::uint64_t> processCpuNs(pid_t pid);
// CPU time of one thread of this process, in nanoseconds.
std::uint64_t threadCpuNs(pthread_t thread);
// CPU time of the calling thread, in nanoseconds.
std::uint64_t callingThreadCpuNs();

// What the threads of a process have used, from the kernel's per-thread accounting.
struct ThreadUsage {
    std::uint64_t cpuNs = 0;   // time on a CPU
    std::uint64_t sleeps = 0;  // times it waited (voluntary context switches): its wake-ups
};
// By thread name; threads with the same name are added up.
std::map<std::string, ThreadUsage> threadUsageByName(pid_t pid);

// What one task (a thread) did over a window, from the kernel's accounting.
struct TaskCounts {
    std::uint64_t wakeups = 0;      // voluntary context switches: it waited and was woken
    std::uint64_t preemptions = 0;  // nonvoluntary context switches
    std::uint64_t syscalls = 0;     // system calls entered; only when counting them works
};

// Counts the wake-ups, preemptions and system calls of a set of tasks (thread ids of any
// process) from start() to stop(). System calls are counted through the kernel's
// raw_syscalls:sys_enter tracepoint (perf_event_open), which needs tracefs to be readable and
// perf events allowed; without it syscallsCounted() is false and they read 0.
// Threading: one owner.
class TaskCounters {
  public:
    explicit TaskCounters(std::vector<pid_t> tids);
    ~TaskCounters();
    TaskCounters(const TaskCounters&) = delete;
    TaskCounters& operator=(const TaskCounters&) = delete;

    void start();
    // The counts since start(), summed over the tasks.
    TaskCounts stop();
    bool syscallsCounted() const { return syscallsCounted_; }

  private:
    std::vector<pid_t> tids_;
    std::vector<int> syscallCounters_;  // perf event fds, one per task
    TaskCounts atStart_;
    bool syscallsCounted_ = false;
};

// The thread ids of process `pid`.
std::vector<pid_t> tasksOf(pid_t pid);
// The calling thread's id.
pid_t callingThreadId();

// Order statistics of a sample, in the sample's own unit.
struct Distribution {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};
// Nearest-rank percentiles of `values` (taken by value: it is sorted). Empty: all zero.
Distribution distributionOf(std::vector<double> values);
// The median of a few figures (the median of runs); 0 for none.
double medianOf(std::vector<double> values);

// Counts of a sample in bins whose edges are spaced evenly on a log scale: `binsPerDecade` bins
// in each power of ten from `lowest` up to `highest`. Values below the first edge count in the
// first bin, values at or above the last edge in the last.
struct Histogram {
    std::vector<double> edges;  // bins + 1 edges
    std::vector<std::uint64_t> counts;

    static Histogram logSpaced(double lowest, double highest, int binsPerDecade);
    void add(double value);
    void add(const Histogram& other);  // same edges
};

// What the kernel says about a process's memory, in KiB.
struct MemoryStatus {
    std::uint64_t residentKiB = 0;      // VmRSS
    std::uint64_t peakResidentKiB = 0;  // VmHWM
    std::uint64_t anonymousKiB = 0;     // RssAnon
    std::uint64_t fileKiB = 0;          // RssFile
    std::uint64_t sharedMemoryKiB = 0;  // RssShmem
    std::uint64_t minorFaults = 0;      // from /proc/<pid>/stat
};
std::optional<MemoryStatus> memoryStatusOf(pid_t pid);

// How many distinct shared-memory files whose name contains `name` process `pid` has mapped
// (a memfd shows as "/memfd:<name> (deleted)"), counted by inode.
std::size_t sharedMappingsNamed(pid_t pid, const std::string& name);

// The lateness of stamps from a timer that aims at start + k × period: each stamp's offset from
// its nearest slot on the grid through the first stamp, less the smallest such offset (the
// stamp of an on-time tick carries only the constant work before it is taken). Nanoseconds in,
// nanoseconds out; a stamp that skips slots counts the slots it skipped in `missedSlots`.
std::vector<double> latenessFromStamps(const std::vector<std::uint64_t>& stampsNs, double periodNs,
                                       std::uint64_t* missedSlots = nullptr);

}  // namespace kova::bench

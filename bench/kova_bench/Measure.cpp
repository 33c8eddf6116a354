// Clocks, order statistics, histograms and process figures for kova-bench.
#include "Measure.h"

#include <dirent.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>

namespace kova::bench {

namespace {

std::uint64_t nanosecondsOf(const timespec& time) {
    return std::uint64_t(time.tv_sec) * 1'000'000'000u + std::uint64_t(time.tv_nsec);
}

std::string readFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The context switches a task's status reports.
TaskCounts switchesOf(pid_t tid) {
    TaskCounts counts;
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream words(line);
        std::string key;
        std::uint64_t value = 0;
        if (!(words >> key >> value)) continue;
        if (key == "voluntary_ctxt_switches:") counts.wakeups = value;
        if (key == "nonvoluntary_ctxt_switches:") counts.preemptions = value;
    }
    return counts;
}

// A counter of the system calls task `tid` enters, or -1.
int openSyscallCounter(pid_t tid) {
    static const long tracepoint = [] {
        std::istringstream id(
            readFirstLine("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id"));
        long value = -1;
        return id >> value ? value : -1L;
    }();
    if (tracepoint < 0) return -1;
    perf_event_attr attributes{};
    attributes.type = PERF_TYPE_TRACEPOINT;
    attributes.size = sizeof attributes;
    attributes.config = std::uint64_t(tracepoint);
    attributes.disabled = 1;
    return int(::syscall(SYS_perf_event_open, &attributes, tid, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

}  // namespace

TaskCounters::TaskCounters(std::vector<pid_t> tids) : tids_(std::move(tids)) {}

TaskCounters::~TaskCounters() {
    for (const int fd : syscallCounters_) ::close(fd);
}

void TaskCounters::start() {
    syscallsCounted_ = true;
    for (const pid_t tid : tids_) {
        const int fd = openSyscallCounter(tid);
        if (fd < 0) {
            syscallsCounted_ = false;
            continue;
        }
        syscallCounters_.push_back(fd);
        ::ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
    }
    atStart_ = TaskCounts{};
    for (const pid_t tid : tids_) {
        const TaskCounts counts = switchesOf(tid);
        atStart_.wakeups += counts.wakeups;
        atStart_.preemptions += counts.preemptions;
    }
}

TaskCounts TaskCounters::stop() {
    TaskCounts counts;
    for (const pid_t tid : tids_) {
        const TaskCounts now = switchesOf(tid);
        counts.wakeups += now.wakeups;
        counts.preemptions += now.preemptions;
    }
    counts.wakeups -= std::min(counts.wakeups, atStart_.wakeups);
    counts.preemptions -= std::min(counts.preemptions, atStart_.preemptions);
    for (const int fd : syscallCounters_) {
        std::uint64_t value = 0;
        if (::read(fd, &value, sizeof value) == sizeof value) counts.syscalls += value;
        ::close(fd);
    }
    syscallCounters_.clear();
    return counts;
}

std::vector<pid_t> tasksOf(pid_t pid) {
    std::vector<pid_t> tids;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = ::opendir(tasks.c_str());
    if (folder == nullptr) return tids;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') tids.push_back(pid_t(std::atol(entry->d_name)));
    }
    ::closedir(folder);
    return tids;
}

pid_t callingThreadId() {
    return pid_t(::syscall(SYS_gettid));
}

std::uint64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return nanosecondsOf(now);
}

std::optional<std::uint64_t> processCpuNs(pid_t pid) {
    clockid_t clock{};
    if (::clock_getcpuclockid(pid, &clock) != 0) return std::nullopt;
    timespec used{};
    if (::clock_gettime(clock, &used) != 0) return std::nullopt;
    return nanosecondsOf(used);
}

std::uint64_t threadCpuNs(pthread_t thread) {
    clockid_t clock{};
    if (::pthread_getcpuclockid(thread, &clock) != 0) return 0;
    timespec used{};
    ::clock_gettime(clock, &used);
    return nanosecondsOf(used);
}

std::uint64_t callingThreadCpuNs() {
    timespec used{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return nanosecondsOf(used);
}

std::map<std::string, ThreadUsage> threadUsageByName(pid_t pid) {
    std::map<std::string, ThreadUsage> byName;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = ::opendir(tasks.c_str());
    if (folder == nullptr) return byName;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + entry->d_name;
        const std::string name = readFirstLine(task + "/comm");
        if (name.empty()) continue;
        ThreadUsage& usage = byName[name];
        // The first figure of schedstat is the time spent on a CPU, in nanoseconds.
        std::istringstream schedstat(readFirstLine(task + "/schedstat"));
        std::uint64_t onCpu = 0;
        if (schedstat >> onCpu) usage.cpuNs += onCpu;
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            std::istringstream words(line);
            std::string key;
            std::uint64_t value = 0;
            if (words >> key >> value && key == "voluntary_ctxt_switches:") usage.sleeps += value;
        }
    }
    ::closedir(folder);
    return byName;
}

Distribution distributionOf(std::vector<double> values) {
    Distribution result;
    if (values.empty()) return result;
    std::sort(values.begin(), values.end());
    const auto rank = [&](double fraction) {
        // Nearest rank: the smallest value with at least `fraction` of the sample at or below.
        const auto index = std::size_t(std::ceil(fraction * double(values.size())));
        return values[std::clamp<std::size_t>(index, 1, values.size()) - 1];
    };
    result.count = values.size();
    result.median = rank(0.50);
    result.p99 = rank(0.99);
    result.max = values.back();
    result.mean = std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
    return result;
}

double medianOf(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Histogram Histogram::logSpaced(double lowest, double highest, int binsPerDecade) {
    Histogram histogram;
    const double decades = std::log10(highest / lowest);
    const int bins = std::max(1, int(std::lround(decades * binsPerDecade)));
    for (int i = 0; i <= bins; ++i) {
        histogram.edges.push_back(lowest * std::pow(10.0, double(i) / binsPerDecade));
    }
    histogram.counts.assign(std::size_t(bins), 0);
    return histogram;
}

void Histogram::add(double value) {
    if (counts.empty()) return;
    // The first edge above the value closes its bin.
    const auto above = std::upper_bound(edges.begin(), edges.end(), value);
    const std::ptrdiff_t bin = std::distance(edges.begin(), above) - 1;
    ++counts[std::size_t(std::clamp<std::ptrdiff_t>(bin, 0, std::ptrdiff_t(counts.size()) - 1))];
}

void Histogram::add(const Histogram& other) {
    for (std::size_t i = 0; i < counts.size() && i < other.counts.size(); ++i) {
        counts[i] += other.counts[i];
    }
}

std::optional<MemoryStatus> memoryStatusOf(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid);
    std::ifstream status(folder + "/status");
    if (!status) return std::nullopt;
    MemoryStatus memory;
    const std::map<std::string, std::uint64_t*> fields = {
        {"VmRSS:", &memory.residentKiB},        {"VmHWM:", &memory.peakResidentKiB},
        {"RssAnon:", &memory.anonymousKiB},     {"RssFile:", &memory.fileKiB},
        {"RssShmem:", &memory.sharedMemoryKiB},
    };
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream words(line);
        std::string key;
        std::uint64_t value = 0;
        if (!(words >> key >> value)) continue;
        if (const auto field = fields.find(key); field != fields.end()) *field->second = value;
    }
    // The process's name may hold spaces and parentheses: the fields start after the last ')'.
    const std::string stat = readFirstLine(folder + "/stat");
    if (const auto close = stat.rfind(')'); close != std::string::npos) {
        std::istringstream words(stat.substr(close + 2));
        std::string field;
        // minflt is field 10 of the line; the words here start at field 3 (state).
        for (int index = 3; index <= 10 && (words >> field); ++index) {
            if (index == 10) memory.minorFaults = std::stoull(field);
        }
    }
    return memory;
}

std::size_t sharedMappingsNamed(pid_t pid, const std::string& name) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> inodes;
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(name) == std::string::npos) continue;
        // address perms offset device inode path
        std::istringstream words(line);
        std::string address, permissions, offset, device, inode;
        if (words >> address >> permissions >> offset >> device >> inode) inodes.insert(inode);
    }
    return inodes.size();
}

std::vector<double> latenessFromStamps(const std::vector<std::uint64_t>& stampsNs, double periodNs,
                                       std::uint64_t* missedSlots) {
    std::vector<double> offsets;
    if (missedSlots != nullptr) *missedSlots = 0;
    if (stampsNs.empty() || !(periodNs > 0)) return offsets;
    const std::uint64_t first = stampsNs.front();
    long long lastSlot = 0;
    for (const std::uint64_t stamp : stampsNs) {
        const double since = double(std::int64_t(stamp - first));
        const long long slot = std::llround(since / periodNs);
        if (missedSlots != nullptr && slot > lastSlot + 1) {
            *missedSlots += std::uint64_t(slot - lastSlot - 1);
        }
        lastSlot = std::max(lastSlot, slot);
        offsets.push_back(since - double(slot) * periodNs);
    }
    const double earliest = *std::min_element(offsets.begin(), offsets.end());
    for (double& offset : offsets) offset -= earliest;
    return offsets;
}

}  // namespace kova::bench

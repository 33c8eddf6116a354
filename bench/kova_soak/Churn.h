// Churn: clients of every kind (sink, view, info) connecting, doing a little of what their kind
// does, and hanging up, over and over, as many at once as the camera takes; and a probe that
// keeps asking for one client more than that.
//
// Threading: every churning client and the probe run on threads of their own. tally() and
// stop() may be called from any one other thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kova::soak {

struct ChurnTally {
    // Sink clients that registered, were refused the sink (the measured producer holds it),
    // pushed and were refused.
    std::uint64_t sinksRefused = 0;
    std::uint64_t viewSessions = 0;    // sessions that started viewing and ended
    std::uint64_t infoSessions = 0;    // sessions that asked for the info
    std::uint64_t refusedAtLimit = 0;  // connections turned away: the camera had its most clients
    std::uint64_t probesAdmitted =
        0;  // one client more than the churn, let in while a slot was free
    std::uint64_t pushes = 0;
    std::uint64_t pushesAnswered = 0;  // returned or refused before the session ended
    std::uint64_t framesViewed = 0;
    std::vector<std::string> failures;  // anything but the expected answers (the first few)

    // Adds the tally of a later churn to this one.
    ChurnTally& operator+=(const ChurnTally& later);
};

class Churn {
  public:
    struct Options {
        std::string socketPath;
        unsigned sinks = 10;
        unsigned viewers = 10;
        unsigned infos = 10;
        // How long each session stays before it ends and the client connects again.
        std::chrono::milliseconds hold{200};
        // How often the probe asks for one client more.
        std::chrono::milliseconds probeEvery{250};
    };

    explicit Churn(Options options);
    ~Churn();
    Churn(const Churn&) = delete;
    Churn& operator=(const Churn&) = delete;

    ChurnTally tally() const;
    ChurnTally stop();

  private:
    void runSink(unsigned which);
    void runViewer(unsigned which);
    void runInfo(unsigned which);
    void runProbe();
    void fail(const std::string& why);
    template <class Change>
    void count(Change change) {
        std::lock_guard lock(mutex_);
        change(tally_);
    }

    const Options options_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    ChurnTally tally_;  // guarded by mutex_
    std::vector<std::thread> threads_;
};

}  // namespace kova::soak

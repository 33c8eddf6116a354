// Support for the GStreamer element tests: pipelines run in this process with the kova elements
// registered in it, their samples, and the memory of processes seen through /proc.
//
// Threading: used from the test's thread.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>

namespace kova::gst::test {

using namespace std::chrono_literals;

// A pipeline from a gst-launch description, set to NULL when it goes.
class Pipeline {
  public:
    explicit Pipeline(const std::string& description);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    explicit operator bool() const { return pipeline_ != nullptr; }
    GstElement* element(const char* name) const;
    // Sets the state and waits for it; whether it was reached.
    bool play();
    // Sets it playing without waiting (a sink prerolls only once it is given a buffer).
    bool start();
    bool stop();
    // Waits for EOS or an error on the bus; an empty text means EOS, else the error's text.
    std::optional<std::string> waitForEnd(std::chrono::milliseconds timeout = 10000ms);
    // A sample from the appsink named `name`, or nothing within `timeout`.
    GstSample* pull(const char* name, std::chrono::milliseconds timeout = 2000ms);
    // An unsigned 64-bit field of the stats structure of the element named `name`.
    std::uint64_t stat(const char* name, const char* field) const;

  private:
    bool setState(GstState state);
    GstElement* pipeline_ = nullptr;
};

// The inodes of the memfds process `pid` holds open whose names contain `name`.
std::set<ino_t> memfdInodes(pid_t pid, const std::string& name);
ino_t inodeOf(int fd);

}  // namespace kova::gst::test

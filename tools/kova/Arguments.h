// Arguments: the options of kova's subcommands as given on the command line, and the strict
// readers of their numbers; a mistake is a UsageError.
//
// Threading: plain values; one owner.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace kova::tool {

// Bad arguments: what() says which and why.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Each option as the words given, checked by the command that takes it.
struct InfoOptions {
    bool json = false;
};

struct StatusOptions {
    bool json = false;
    bool watch = false;
};

struct PushOptions {
    std::optional<std::string> pattern;
    std::optional<std::string> input;
    std::optional<std::string> image;
    std::optional<std::string> count;
    std::optional<std::string> fps;
    bool loop = false;
    bool takeOver = false;
    bool noReconnect = false;
};

struct ViewOptions {
    std::optional<std::string> count;
    std::optional<std::string> timeout;
    std::optional<std::string> raw;
    bool json = false;
    bool noReconnect = false;
};

struct SnapshotOptions {
    std::optional<std::string> timeout;
    std::string path;
};

// A whole number from 1 to `max`, given to `option`.
std::uint64_t parseCount(const std::string& option, const std::string& text,
                         std::uint64_t max = 1'000'000'000);
// A finite number above 0 and at most `max`, given to `option`.
double parsePositive(const std::string& option, const std::string& text, double max);

}  // namespace kova::tool

// Arguments: the options of one kova subcommand, parsed strictly; a mistake is a UsageError.
//
// Threading: plain values; one owner.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kova::tool {

// Bad arguments: what() says which and why.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Arguments {
  public:
    // Parses `words` (what follows the subcommand). Options in `valued` take a value
    // ("--count 5" or "--count=5"), those in `flags` take none; anything else that starts with
    // "--" is refused. A lone "-" is a positional word.
    Arguments(const std::vector<std::string>& words, const std::set<std::string>& valued,
              const std::set<std::string>& flags);

    bool flag(const std::string& name) const { return flags_.count(name) != 0; }
    std::optional<std::string> value(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }

  private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
};

// A whole number from 1 to `max`, given to `option`.
std::uint64_t parseCount(const std::string& option, const std::string& text,
                         std::uint64_t max = 1'000'000'000);
// A finite number above 0 and at most `max`, given to `option`.
double parsePositive(const std::string& option, const std::string& text, double max);

}  // namespace kova::tool

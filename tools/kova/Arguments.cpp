// Arguments: strict parsing of a subcommand's options and their numbers.
#include "Arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kova::tool {

Arguments::Arguments(const std::vector<std::string>& words, const std::set<std::string>& valued,
                     const std::set<std::string>& flags) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            positional_.push_back(word);
            continue;
        }
        const auto equals = word.find('=');
        const std::string name = word.substr(0, equals);
        if (flags.count(name) != 0) {
            if (equals != std::string::npos) throw UsageError(name + " takes no value");
            flags_.insert(name);
        } else if (valued.count(name) != 0) {
            std::string value;
            if (equals != std::string::npos) {
                value = word.substr(equals + 1);
            } else if (i + 1 < words.size()) {
                value = words[++i];
            } else {
                throw UsageError(name + " needs a value");
            }
            if (!values_.emplace(name, value).second) throw UsageError(name + " given twice");
        } else {
            throw UsageError("unknown option " + name);
        }
    }
}

std::optional<std::string> Arguments::value(const std::string& name) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::uint64_t parseCount(const std::string& option, const std::string& text, std::uint64_t max) {
    const bool digitsOnly =
        !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long value = digitsOnly ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digitsOnly || errno != 0 || value == 0 || value > max) {
        throw UsageError(option + " wants a whole number from 1 to " + std::to_string(max) +
                         ", not \"" + text + "\"");
    }
    return value;
}

double parsePositive(const std::string& option, const std::string& text, double max) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value) ||
        value <= 0 || value > max) {
        throw UsageError(option + " wants a number above 0 and at most " +
                         std::to_string(int(max)) + ", not \"" + text + "\"");
    }
    return value;
}

}  // namespace kova::tool

// Arguments: strict readers of the numbers given to kova's options.
#include "Arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kova::tool {

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

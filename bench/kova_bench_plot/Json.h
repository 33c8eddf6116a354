// A small JSON reader for kova-bench-plot: enough of RFC 8259 to read what kova-bench writes
// (objects, arrays, numbers, strings with escapes, true, false, null).
//
// Threading: plain values; parse() stands alone.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kova::bench {

class JsonValue {
  public:
    using Array = std::vector<JsonValue>;
    using Object = std::map<std::string, JsonValue>;

    JsonValue() = default;
    explicit JsonValue(bool value) : value_(value) {}
    explicit JsonValue(double value) : value_(value) {}
    explicit JsonValue(std::string value) : value_(std::move(value)) {}
    explicit JsonValue(Array value) : value_(std::make_shared<Array>(std::move(value))) {}
    explicit JsonValue(Object value) : value_(std::make_shared<Object>(std::move(value))) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    std::optional<double> number() const;
    std::optional<std::string> string() const;
    const Array* array() const;
    // The member `key` of an object; a null value when this is no object or has no such member.
    const JsonValue& operator[](const std::string& key) const;
    // The numbers of an array of numbers; nothing if this is not one.
    std::optional<std::vector<double>> numbers() const;

  private:
    std::variant<std::monostate, bool, double, std::string, std::shared_ptr<Array>,
                 std::shared_ptr<Object>>
        value_;
};

// The value `text` holds, or nothing (with `error` saying where it went wrong) when it is not
// JSON.
std::optional<JsonValue> parseJson(const std::string& text, std::string* error = nullptr);

}  // namespace kova::bench

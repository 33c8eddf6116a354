// The JSON reader: recursive descent over the text, with a depth limit.
#include "Json.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace kova::bench {

namespace {

constexpr int kMaxDepth = 64;

class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    JsonValue document() {
        JsonValue value = parseValue(0);
        skipSpace();
        if (at_ != text_.size()) fail("text after the value");
        return value;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at byte " + std::to_string(at_));
    }

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t')) {
            ++at_;
        }
    }

    bool take(char c) {
        skipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void expect(char c) {
        if (!take(c)) fail(std::string("'") + c + "' expected");
    }

    bool takeWord(const char* word) {
        const std::string w = word;
        if (text_.compare(at_, w.size(), w) != 0) return false;
        at_ += w.size();
        return true;
    }

    JsonValue parseValue(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep");
        skipSpace();
        if (at_ >= text_.size()) fail("a value expected");
        const char c = text_[at_];
        if (c == '{') return parseObject(depth);
        if (c == '[') return parseArray(depth);
        if (c == '"') return JsonValue(parseString());
        if (takeWord("true")) return JsonValue(true);
        if (takeWord("false")) return JsonValue(false);
        if (takeWord("null")) return JsonValue();
        return JsonValue(parseNumber());
    }

    JsonValue parseObject(int depth) {
        expect('{');
        JsonValue::Object members;
        if (take('}')) return JsonValue(std::move(members));
        do {
            skipSpace();
            std::string key = parseString();
            expect(':');
            members[key] = parseValue(depth + 1);
        } while (take(','));
        expect('}');
        return JsonValue(std::move(members));
    }

    JsonValue parseArray(int depth) {
        expect('[');
        JsonValue::Array items;
        if (take(']')) return JsonValue(std::move(items));
        do {
            items.push_back(parseValue(depth + 1));
        } while (take(','));
        expect(']');
        return JsonValue(std::move(items));
    }

    std::string parseString() {
        if (at_ >= text_.size() || text_[at_] != '"') fail("a string expected");
        ++at_;
        std::string out;
        while (at_ < text_.size() && text_[at_] != '"') {
            const char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) fail("a control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) break;
            const char escaped = text_[at_++];
            switch (escaped) {
                case '"':
                case '\\':
                case '/':
                    out += escaped;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u':
                    appendCodePoint(out, parseHex4());
                    break;
                default:
                    fail("an unknown escape");
            }
        }
        if (at_ >= text_.size()) fail("an unterminated string");
        ++at_;
        return out;
    }

    unsigned parseHex4() {
        if (at_ + 4 > text_.size()) fail("a short \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            if (!std::isxdigit(static_cast<unsigned char>(c))) fail("a bad \\u escape");
            value =
                value * 16 + unsigned(std::isdigit(static_cast<unsigned char>(c))
                                          ? c - '0'
                                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        return value;
    }

    // UTF-8 for a code point of the basic plane (surrogate pairs are not needed here and are
    // written as they come).
    static void appendCodePoint(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xc0 | (code >> 6));
            out += char(0x80 | (code & 0x3f));
        } else {
            out += char(0xe0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3f));
            out += char(0x80 | (code & 0x3f));
        }
    }

    double parseNumber() {
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        const auto digits = [&] {
            const std::size_t from = at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
                ++at_;
            }
            return at_ > from;
        };
        if (!digits()) fail("a value expected");
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!digits()) fail("digits expected after '.'");
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (!digits()) fail("digits expected in an exponent");
        }
        return std::strtod(text_.substr(start, at_ - start).c_str(), nullptr);
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<double> JsonValue::number() const {
    if (const double* value = std::get_if<double>(&value_)) return *value;
    return std::nullopt;
}

std::optional<std::string> JsonValue::string() const {
    if (const std::string* value = std::get_if<std::string>(&value_)) return *value;
    return std::nullopt;
}

const JsonValue::Array* JsonValue::array() const {
    if (const auto* value = std::get_if<std::shared_ptr<Array>>(&value_)) return value->get();
    return nullptr;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue missing;
    const auto* object = std::get_if<std::shared_ptr<Object>>(&value_);
    if (object == nullptr) return missing;
    const auto found = (*object)->find(key);
    return found == (*object)->end() ? missing : found->second;
}

std::optional<std::vector<double>> JsonValue::numbers() const {
    const Array* items = array();
    if (items == nullptr) return std::nullopt;
    std::vector<double> values;
    for (const JsonValue& item : *items) {
        const auto value = item.number();
        if (!value) return std::nullopt;
        values.push_back(*value);
    }
    return values;
}

std::optional<JsonValue> parseJson(const std::string& text, std::string* error) {
    try {
        return Parser(text).document();
    } catch (const std::runtime_error& failure) {
        if (error != nullptr) *error = failure.what();
        return std::nullopt;
    }
}

}  // namespace kova::bench

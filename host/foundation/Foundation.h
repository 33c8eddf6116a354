// Foundation and CoreFoundation vocabulary: the object base, UUIDs, errors, allocators,
// dictionaries.
//
// Threading: every type here is a value or an immutable object; safe to share once built.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// Base class of every source object the host calls back. Sources are owned through
// std::shared_ptr (made by their create() factories), so callbacks that may outlive them
// hold a std::weak_ptr obtained from weakSelf().
class NSObject : public std::enable_shared_from_this<NSObject> {
  public:
    virtual ~NSObject() = default;
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

  protected:
    NSObject() = default;

    // This object as its most derived type, for handlers that must not keep it alive.
    // Only valid once the object is owned by a shared_ptr (after make_shared returns).
    template <typename Derived>
    std::weak_ptr<Derived> weakSelf() {
        return std::static_pointer_cast<Derived>(shared_from_this());
    }
};

// A 128-bit identifier with the standard upper-case text form
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
class UUID {
  public:
    using Bytes = std::array<std::uint8_t, 16>;

    // Parses the 36-character text form (either case); nothing if the text is not a UUID.
    static std::optional<UUID> fromUUIDString(std::string_view text);
    // A fresh random (version 4) UUID.
    static UUID random();

    explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }

    bool operator==(const UUID&) const = default;
    auto operator<=>(const UUID&) const = default;

  private:
    Bytes bytes_{};
};

// An error the host or a source reports: domain, code and readable text.
struct NSError {
    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;
};

// Allocators exist for the shape of the calls only: every create operation takes one and
// uses the default.
struct CFAllocator;
using CFAllocatorRef = const CFAllocator*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// A property-list dictionary: text keys to numbers, text or nested dictionaries.
struct CFDictionary;
using CFNumber = std::variant<std::int64_t, std::uint32_t, double>;
using CFPropertyList = std::variant<CFNumber, std::string, std::shared_ptr<const CFDictionary>>;
struct CFDictionary {
    std::map<std::string, CFPropertyList> entries;
};
using CFDictionaryRef = std::shared_ptr<const CFDictionary>;

// Result: a value, or the Failure (-errno and a sentence a person can act on) that kept it from
// being made. The one error type of the tree; exceptions appear only at the client library's API.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kova::base {

// A step that failed: -errno and a sentence a person can act on.
struct Failure {
    int error = 0;
    std::string message;
};

// A value, or the Failure that kept it from being made.
template <class T>
class Result {
  public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<T>(state_); }
    const T& value() const { return std::get<T>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const Failure& failure() const { return std::get<Failure>(state_); }

  private:
    std::variant<T, Failure> state_;
};

}  // namespace kova::base

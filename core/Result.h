#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

// Why an operation failed, in words for a message.
struct Failure {
    std::string reason;
};

// How the tool's own code reports an operation that can fail: its value,
// or the reason it has none. Result<> is an operation without a value.
template <typename T = std::monostate>
class [[nodiscard]] Result {
public:
    Result(T value = T{}) : value_(std::move(value)) {}
    Result(Failure failure) : reason_(std::move(failure.reason)) {}
    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    const std::string& reason() const { return reason_; }

private:
    std::optional<T> value_;
    std::string reason_;
};

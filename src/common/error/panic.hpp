// The one way an invariant failure leaves the tables and containers.
//
// Conditions the design rules out (and a few callers can reach, such as a
// growth target beyond the largest table) stop the current operation with a
// fixed message. In C++ that is an exception of type Panic; the Python layer
// catches it at every entry point and raises its panic exception with the
// same text. Every table checks before it mutates, so a Panic unwinding
// through a table leaves it consistent.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tavoric::common::error {

class Panic final : public std::exception {
public:
    explicit Panic(std::string_view message) : message_(message) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void panic(std::string_view message) { throw Panic(message); }

// Checks an invariant; the message is a fixed text so it can be matched.
inline void check(bool condition, std::string_view message) {
    if (!condition) [[unlikely]] {
        panic(message);
    }
}

}  // namespace tavoric::common::error

// Error values of allocation (TryReserveError) and table construction
// (TryBuildError). Their texts are shown to Python users as they stand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavoric::common::error {

// Failure of an allocation inside a table (growth, rebuild, construction).
class TryReserveError {
public:
    enum class Kind : std::uint8_t { CapacityOverflow, AllocError };

    constexpr explicit TryReserveError(Kind kind) noexcept : kind_(kind) {}
    static constexpr TryReserveError capacity_overflow() noexcept { return TryReserveError(Kind::CapacityOverflow); }
    static constexpr TryReserveError alloc_error() noexcept { return TryReserveError(Kind::AllocError); }

    constexpr Kind kind() const noexcept { return kind_; }

    // Display text.
    constexpr std::string_view message() const noexcept {
        return kind_ == Kind::CapacityOverflow ? std::string_view("capacity overflow")
                                               : std::string_view("memory allocation failed");
    }
    // Debug name of the variant.
    constexpr std::string_view debug_name() const noexcept {
        return kind_ == Kind::CapacityOverflow ? std::string_view("CapacityOverflow") : std::string_view("AllocError");
    }

    friend constexpr bool operator==(TryReserveError, TryReserveError) noexcept = default;

private:
    Kind kind_;
};

// Failure of a table constructor.
class TryBuildError {
public:
    enum class Kind : std::uint8_t { ExponentBelowMinimum, CapacityOverflow, AllocError };

    static constexpr TryBuildError exponent_below_minimum(std::uint32_t exponent, std::uint32_t minimum) noexcept {
        return TryBuildError(Kind::ExponentBelowMinimum, exponent, minimum);
    }
    static constexpr TryBuildError capacity_overflow() noexcept { return TryBuildError(Kind::CapacityOverflow, 0, 0); }
    static constexpr TryBuildError alloc_error() noexcept { return TryBuildError(Kind::AllocError, 0, 0); }

    // A reservation failure met while building becomes the variant of the
    // same meaning.
    static constexpr TryBuildError from(TryReserveError e) noexcept {
        return e.kind() == TryReserveError::Kind::CapacityOverflow ? capacity_overflow() : alloc_error();
    }

    constexpr Kind kind() const noexcept { return kind_; }
    constexpr std::uint32_t exponent() const noexcept { return exponent_; }
    constexpr std::uint32_t minimum() const noexcept { return minimum_; }

    std::string message() const {
        switch (kind_) {
            case Kind::ExponentBelowMinimum:
                return "reserve exponent " + std::to_string(exponent_) + " is below the minimum " +
                       std::to_string(minimum_);
            case Kind::CapacityOverflow:
                return "capacity overflow";
            case Kind::AllocError:
                break;
        }
        return "memory allocation failed";
    }

    friend constexpr bool operator==(const TryBuildError&, const TryBuildError&) noexcept = default;

private:
    constexpr TryBuildError(Kind kind, std::uint32_t exponent, std::uint32_t minimum) noexcept
        : kind_(kind), exponent_(exponent), minimum_(minimum) {}

    Kind kind_;
    std::uint32_t exponent_;
    std::uint32_t minimum_;
};

}  // namespace tavoric::common::error

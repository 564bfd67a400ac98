// The reserve configuration shared by both table designs.
//
// A table of n slots with reserve exponent k keeps the fraction δ = 2^-k of
// its slots free: it accepts n − ⌊n / 2^k⌋ entries (all n when k ≥ 32, where
// the reserve rounds to nothing on every representable n of interest). The
// Funnel plan that turns (n, k) into levels lives in funnel_plan.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/exact/geometry/funnel_plan.hpp"

namespace tavoric::common::exact::geometry {

// Geometry error of the Elastic layout (the Funnel plan has its own reasons).
class ConfigError {
public:
    enum class Kind : std::uint8_t { NTooSmall, ExponentZero };

    static constexpr ConfigError n_too_small(std::size_t n) noexcept { return ConfigError(Kind::NTooSmall, n); }
    static constexpr ConfigError exponent_zero() noexcept { return ConfigError(Kind::ExponentZero, 0); }

    constexpr Kind kind() const noexcept { return kind_; }
    constexpr std::size_t n() const noexcept { return n_; }

    // Debug rendering: the variant name, with its field named n.
    std::string debug() const {
        if (kind_ == Kind::ExponentZero) return "ExponentZero";
        return "NTooSmall { n: " + std::to_string(n_) + " }";
    }

    friend constexpr bool operator==(const ConfigError&, const ConfigError&) noexcept = default;

private:
    constexpr ConfigError(Kind kind, std::size_t n) noexcept : kind_(kind), n_(n) {}
    Kind kind_;
    std::size_t n_;
};

// Entries a table of n slots accepts with reserve exponent k.
constexpr std::size_t insert_budget_for(std::size_t n, std::uint32_t k) noexcept {
    if (k > 31) return n;
    return n - (n >> k);
}

struct PaperConfig {
    std::size_t n = 0;    // slots the plan is for
    std::uint32_t k = 0;  // reserve exponent, δ = 2^-k

    constexpr std::size_t insert_budget() const noexcept { return insert_budget_for(n, k); }
    // The Funnel levels for these n and k, or nothing when n has no layout.
    constexpr std::optional<FunnelPlan> funnel_plan() const noexcept { return geometry::funnel_plan(n, k); }
};

}  // namespace tavoric::common::exact::geometry

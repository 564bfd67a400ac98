// Static shape of an Elastic table: slot count, halving level lengths, the
// insertion quota of every batch and the insert limit.
//
// An Elastic table of S slots is split into L = ceil(log2 S) levels of
// halving length (S = 2^m gives 2^(m-1), ..., 4, 2, 2). Keys arrive in
// batches: batch 0 fills level 0 to three quarters, batch i >= 1 fills level
// i to three quarters and tops level i-1 up to a fraction 1 - delta/2, where
// delta = 2^-k is the reserve fraction. The quotas are cut so that they add
// up exactly to the insert limit u(S) = S - floor(S / 2^k), the most entries
// the table takes before it doubles.
//
// Everything here is plain arithmetic on machine words and allocates
// nothing: the table sizes at most 2^31 slots, so at most 31 levels exist,
// and the fixed arrays below hold up to 64 (the most any machine word can
// describe) so the rules stay total for every slot count.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "common/arena/reserve.hpp"

namespace tavoric::elastic {

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


// Largest slot count an Elastic table ever uses: the selector of a probe has
// five bits for the level, and 2^31 slots make 31 levels.
// Any positive reserve exponent works: the levels adapt to any δ = 2^-k.
inline constexpr std::uint32_t kMinReserveExponent = 1;

inline constexpr std::size_t kElasticMaxSlots = std::size_t{1} << 31;
// Smallest non-empty table.
inline constexpr std::size_t kElasticMinSlots = 8;

// Fixed-capacity list of machine words (level lengths, batch quotas).
class LevelWords {
public:
    static constexpr std::size_t kCapacity = 64;

    constexpr std::size_t size() const noexcept { return count_; }
    constexpr bool empty() const noexcept { return count_ == 0; }
    constexpr std::size_t operator[](std::size_t i) const noexcept { return words_[i]; }
    constexpr const std::size_t* begin() const noexcept { return words_.data(); }
    constexpr const std::size_t* end() const noexcept { return words_.data() + count_; }
    constexpr void push_back(std::size_t w) noexcept { words_[count_++] = w; }

    friend constexpr bool operator==(const LevelWords& a, const LevelWords& b) noexcept {
        if (a.count_ != b.count_) return false;
        for (std::size_t i = 0; i < a.count_; ++i)
            if (a.words_[i] != b.words_[i]) return false;
        return true;
    }

private:
    std::array<std::size_t, kCapacity> words_{};
    std::size_t count_ = 0;
};

// u(S): the entries a table of S slots holds before it grows.
// s(x) = floor(x / 2^(k+1)): the part of a level that stays free once it is
// filled to 1 - delta/2.
constexpr std::size_t elastic_reserve_share(std::size_t len, std::uint32_t k) noexcept {
    if (k >= 31) return 0;
    return len >> (k + 1);
}

// Level count for S slots: the bit length of S - 1 (one level for S = 1).
constexpr std::size_t elastic_level_count(std::size_t slots) noexcept {
    if (slots == 0) return 0;
    if (slots == 1) return 1;
    return static_cast<std::size_t>(std::bit_width(slots - 1));
}

// Level lengths of S slots over L levels: each level takes half of what is
// left (rounded up), the last one takes the whole remainder.
class LevelLengths {
public:
    constexpr LevelLengths(std::size_t slots, std::size_t levels) noexcept
        : remaining_(slots), levels_left_(levels) {}

    constexpr std::optional<std::size_t> next() noexcept {
        if (levels_left_ == 0) return std::nullopt;
        --levels_left_;
        std::size_t len;
        if (levels_left_ == 0) {
            len = remaining_;
        } else {
            len = remaining_ - remaining_ / 2;
        }
        remaining_ -= len;
        return len;
    }

private:
    std::size_t remaining_;
    std::size_t levels_left_;
};

// Batch quotas over the level lengths: quota 0 fills level 0 to three
// quarters; quota i fills level i to three quarters and tops level i-1 up to
// 1 - delta/2. Every quota is capped by what is left of the insert limit, so
// they sum to it and trailing quotas may be 0.
class BatchQuotas {
public:
    constexpr BatchQuotas(std::size_t slots, std::size_t levels, std::size_t limit,
                          std::uint32_t k) noexcept
        : lengths_(slots, levels), remaining_(limit), k_(k) {}

    constexpr std::optional<std::size_t> next() noexcept {
        auto len = lengths_.next();
        if (!len) return std::nullopt;
        std::size_t want = *len - *len / 4;
        if (previous_) {
            want += *previous_ / 4 - elastic_reserve_share(*previous_, k_);
        }
        previous_ = *len;
        std::size_t q = want < remaining_ ? want : remaining_;
        remaining_ -= q;
        return q;
    }

private:
    LevelLengths lengths_;
    std::size_t remaining_;
    std::uint32_t k_;
    std::optional<std::size_t> previous_;
};

struct ElasticGeometry {
    LevelWords level_lengths;
    LevelWords batch_quotas;
    std::size_t slots = 0;
    std::size_t insert_limit = 0;

    // The shape of exactly `slots` slots. Fails only for k = 0 with S >= 2,
    // where no reserve fraction exists.
    static constexpr std::expected<ElasticGeometry, ConfigError> for_slots(std::size_t slots,
                                                                           std::uint32_t k) noexcept {
        ElasticGeometry g;
        g.slots = slots;
        if (slots == 0) return g;
        if (slots == 1) {
            g.level_lengths.push_back(1);
            g.batch_quotas.push_back(1);
            g.insert_limit = 1;
            return g;
        }
        if (k == 0) return std::unexpected(ConfigError::exponent_zero());
        const std::size_t levels = elastic_level_count(slots);
        g.insert_limit = common::arena::insert_budget_for(slots, k);
        LevelLengths lengths(slots, levels);
        while (auto len = lengths.next()) g.level_lengths.push_back(*len);
        BatchQuotas quotas(slots, levels, g.insert_limit, k);
        while (auto q = quotas.next()) g.batch_quotas.push_back(*q);
        return g;
    }

    // Slot count of the smallest table taking `budget` insertions: the first
    // power of two from 8 to 2^31 whose usable count reaches the budget.
    static constexpr std::optional<std::size_t> slots_for_insert_budget(std::size_t budget,
                                                                       std::uint32_t k) noexcept {
        if (budget == 0) return std::size_t{0};
        for (std::size_t s = kElasticMinSlots; s <= kElasticMaxSlots; s *= 2) {
            if (common::arena::insert_budget_for(s, k) >= budget) return s;
        }
        return std::nullopt;
    }

    // The geometry of the smallest table taking `budget` insertions; none
    // when 2^31 slots do not suffice (or k = 0 leaves no usable slot).
    static constexpr std::optional<ElasticGeometry> for_insert_budget(std::size_t budget,
                                                                     std::uint32_t k) noexcept {
        auto slots = slots_for_insert_budget(budget, k);
        if (!slots) return std::nullopt;
        auto geometry = for_slots(*slots, k);
        if (!geometry) return std::nullopt;
        return *geometry;
    }
};

}  // namespace tavoric::elastic

// The Elastic table as the Python classes see it.
#pragma once

#include "elastic/table.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

struct ElasticDesign {
    template <class V>
    using Table = elastic::ElasticTable<HashedAny, V>;

    static constexpr char display_name[] = "Elastic";
    static constexpr std::uint32_t minimum_exponent = elastic::kMinReserveExponent;
    // A capacity no Elastic table reaches is a plain "capacity overflow".
    static constexpr const char* construction_prefix = "";

    template <class V>
    static std::expected<Table<V>, TryBuildError> try_build(std::size_t capacity, std::uint32_t k) {
        return Table<V>::try_with_capacity_and_reserve_and_hasher_in(capacity, k, common::hash::HashSeeds::fresh());
    }
};

using ElasticKind = TableKind<ElasticDesign>;

}  // namespace tavoric::python

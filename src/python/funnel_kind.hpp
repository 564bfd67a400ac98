// The Funnel table as the Python classes see it.
#pragma once

#include "funnel/table.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

struct FunnelDesign {
    template <class V>
    using Table = funnel::FunnelTable<HashedAny, V>;

    static constexpr char display_name[] = "Funnel";
    // Funnel tables need a reserve of at most 1/8.
    static constexpr std::uint32_t minimum_exponent = funnel::kMinReserveExponent;
    static constexpr const char* construction_prefix = "invalid Funnel construction: ";

    template <class V>
    static std::expected<Table<V>, TryBuildError> try_build(std::size_t capacity, std::uint32_t k) {
        return Table<V>::try_with_insert_budget(capacity, k, common::hash::HashSeeds::fresh());
    }
};

using FunnelKind = TableKind<FunnelDesign>;

}  // namespace tavoric::python

// The Funnel table as the Python classes see it.
#pragma once

#include "funnel/table.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

struct FunnelDesign {
    template <class V>
    using Table = funnel::FunnelTable<HashedAny, V>;

    static constexpr const char* display_name = "Funnel";
    static constexpr const char* lower_name = "funnel";
    static constexpr const char* map_name = "FunnelHashMap";
    static constexpr const char* set_name = "FunnelHashSet";
    static constexpr const char* set_iter_name = "_FunnelSetIter";
    static constexpr const char* qualified_map_name = "tavoric.FunnelHashMap";
    static constexpr const char* qualified_set_name = "tavoric.FunnelHashSet";
    static constexpr const char* qualified_set_iter_name = "tavoric._FunnelSetIter";
    // Funnel tables need a reserve of at most 1/8.
    static constexpr std::uint32_t minimum_exponent = 3;
    static constexpr const char* construction_prefix = "invalid Funnel construction: ";

    template <class V>
    static std::expected<Table<V>, TryBuildError> try_build(std::size_t capacity, std::uint32_t k) {
        return Table<V>::try_with_insert_budget(capacity, k, common::hash::HashSeeds::fresh());
    }
};

using FunnelKind = TableKind<FunnelDesign>;

}  // namespace tavoric::python

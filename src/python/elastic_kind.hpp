// The Elastic table as the Python classes see it.
#pragma once

#include "elastic/table.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

struct ElasticDesign {
    template <class V>
    using Table = elastic::ElasticTable<HashedAny, V>;

    static constexpr const char* display_name = "Elastic";
    static constexpr const char* lower_name = "elastic";
    static constexpr const char* map_name = "ElasticHashMap";
    static constexpr const char* set_name = "ElasticHashSet";
    static constexpr const char* set_iter_name = "_ElasticSetIter";
    static constexpr const char* qualified_map_name = "tavoric.ElasticHashMap";
    static constexpr const char* qualified_set_name = "tavoric.ElasticHashSet";
    static constexpr const char* qualified_set_iter_name = "tavoric._ElasticSetIter";
    static constexpr std::uint32_t minimum_exponent = 1;
    // A capacity no Elastic table reaches is a plain "capacity overflow".
    static constexpr const char* construction_prefix = "";

    template <class V>
    static std::expected<Table<V>, TryBuildError> try_build(std::size_t capacity, std::uint32_t k) {
        return Table<V>::try_with_capacity_and_reserve_and_hasher_in(capacity, k, common::hash::HashSeeds::fresh());
    }
};

using ElasticKind = TableKind<ElasticDesign>;

}  // namespace tavoric::python

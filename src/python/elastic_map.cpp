// ElasticHashMap, its views elastic_keys, elastic_values, elastic_items and their
// iterators.
#include "python/elastic_kind.hpp"
#include "python/map_class.hpp"
#include "python/registration.hpp"

namespace tavoric::python {

template class MapClass<ElasticKind>;

namespace {
using Map = MapClass<ElasticKind>;

template <class View>
ClassDefinition view_class() {
    return {View::name().c_str(), View::spec(), &View::type};
}

template <class View>
ClassDefinition iterator_class() {
    return {View::iter_name().c_str(), View::iter_spec(), &View::iter_type};
}
}  // namespace

ClassDefinition elastic_hash_map_class() { return {ElasticKind::map_name, Map::spec(), &Map::type}; }

std::array<ClassDefinition, 6> elastic_map_companion_classes() {
    return {
        view_class<Map::Keys>(),     view_class<Map::Values>(),     view_class<Map::Items>(),
        iterator_class<Map::Keys>(), iterator_class<Map::Values>(), iterator_class<Map::Items>(),
    };
}

}  // namespace tavoric::python

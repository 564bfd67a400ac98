// ElasticHashMap, its views elastic_keys, elastic_values, elastic_items and their
// iterators.
#include "python/elastic_kind.hpp"
#include "python/map_class.hpp"
#include "python/registration.hpp"

namespace tavoric::python {

template class MapClass<ElasticKind>;

ClassDefinition elastic_hash_map_class() {
    return {ElasticKind::map_name, MapClass<ElasticKind>::type_spec(), &MapClass<ElasticKind>::type};
}

std::array<ClassDefinition, 6> elastic_map_companion_classes() { return MapClass<ElasticKind>::companion_classes(); }

}  // namespace tavoric::python

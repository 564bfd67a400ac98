// ElasticHashMap.
#include "python/elastic_kind.hpp"
#include "python/map_class.hpp"
#include "python/registration.hpp"

namespace tavoric::python {

template class MapClass<ElasticKind>;

ClassDefinition elastic_hash_map_class() {
    return {ElasticKind::map_name, MapClass<ElasticKind>::spec(), &MapClass<ElasticKind>::type};
}

}  // namespace tavoric::python

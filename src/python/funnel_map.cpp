// FunnelHashMap, its views funnel_keys, funnel_values, funnel_items and their
// iterators.
#include "python/funnel_kind.hpp"
#include "python/map_class.hpp"
#include "python/registration.hpp"

namespace tavoric::python {

template class MapClass<FunnelKind>;

ClassDefinition funnel_hash_map_class() {
    return {FunnelKind::map_name, MapClass<FunnelKind>::type_spec(), &MapClass<FunnelKind>::type};
}

std::array<ClassDefinition, 6> funnel_map_companion_classes() { return MapClass<FunnelKind>::companion_classes(); }

}  // namespace tavoric::python

// FunnelHashMap.
#include "python/funnel_kind.hpp"
#include "python/map_class.hpp"
#include "python/registration.hpp"

namespace tavoric::python {

template class MapClass<FunnelKind>;

ClassDefinition funnel_hash_map_class() {
    return {FunnelKind::map_name, MapClass<FunnelKind>::spec(), &MapClass<FunnelKind>::type};
}

}  // namespace tavoric::python

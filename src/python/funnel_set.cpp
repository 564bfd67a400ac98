// FunnelHashSet and its iterator _FunnelSetIter.
#include "python/funnel_kind.hpp"
#include "python/registration.hpp"
#include "python/set_class.hpp"

namespace tavoric::python {

template class SetClass<FunnelKind>;

ClassDefinition funnel_hash_set_class() {
    return {FunnelKind::set_name, SetClass<FunnelKind>::type_spec(), &SetClass<FunnelKind>::type};
}

ClassDefinition funnel_set_iter_class() {
    return {FunnelKind::set_iter_name, SetClass<FunnelKind>::iter_spec(), &SetClass<FunnelKind>::iter_type};
}

}  // namespace tavoric::python

// ElasticHashSet and its iterator _ElasticSetIter.
#include "python/elastic_kind.hpp"
#include "python/registration.hpp"
#include "python/set_class.hpp"

namespace tavoric::python {

template class SetClass<ElasticKind>;

ClassDefinition elastic_hash_set_class() {
    return {ElasticKind::set_name, SetClass<ElasticKind>::type_spec(), &SetClass<ElasticKind>::type};
}

ClassDefinition elastic_set_iter_class() {
    return {ElasticKind::set_iter_name, SetClass<ElasticKind>::iter_spec(), &SetClass<ElasticKind>::iter_type};
}

}  // namespace tavoric::python

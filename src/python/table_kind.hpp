// What the Python classes need to know of a table design (its "kind"):
// class names, the smallest reserve exponent, and how a table is built for a
// constructor, a copy or with_options. funnel_kind.hpp and elastic_kind.hpp
// define the two kinds.
//
// Building differs on purpose. A Funnel table has only the fallible
// constructor; a constructor that cannot build one reports the error text
// after "invalid Funnel construction: ". An Elastic constructor asks for the
// table outright, and a capacity no Elastic table reaches is a plain
// "capacity overflow". with_options reports either kind's error after
// "invalid map construction: ". A refused allocation is MemoryError in every
// case (thrown as std::bad_alloc and translated at the entry point), and
// leaves nothing allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <string>

#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"
#include "common/hash/table_hash.hpp"
#include "python/hashed_any.hpp"

namespace tavoric::python {

using common::error::TryBuildError;

// Every constructor, copy and derived container uses this reserve exponent;
// only with_options chooses another.
inline constexpr std::uint32_t default_reserve_exponent = 3;

[[noreturn]] inline void throw_build_error(const char* prefix, const TryBuildError& error) {
    if (error.kind() == TryBuildError::Kind::AllocError) throw std::bad_alloc();
    common::error::panic(prefix + error.message());
}

// A design as the classes see it. `Design` (funnel_kind.hpp,
// elastic_kind.hpp) gives the table template, the class names, the smallest
// reserve exponent, the text put before a constructor's build error, and
// try_build; what is built from those is the same for both.
template <class Design>
struct TableKind : Design {
    // The table of a constructor, a copy or a derived container: default
    // reserve exponent, fresh seed; failures as the constructors report them.
    template <class V>
    static typename Design::template Table<V> build(std::size_t capacity) {
        auto table = Design::template try_build<V>(capacity, default_reserve_exponent);
        if (!table) throw_build_error(Design::construction_prefix, table.error());
        return std::move(*table);
    }
};

// Sizes taken from an operand's len() are hints: an operand may report more
// than it yields. A hint no table can hold is not believed (the container
// then grows as entries come); only memory that is really refused fails.
inline bool believable_hint(const common::error::TryReserveError& error) {
    return error.kind() != common::error::TryReserveError::Kind::CapacityOverflow;
}

// A table built for `hint` entries, or, when no table is that large, an
// empty one that grows as entries come.
template <class Kind, class V>
typename Kind::template Table<V> build_for_hint(std::size_t hint) {
    auto table = Kind::template try_build<V>(hint, default_reserve_exponent);
    if (table) return std::move(*table);
    if (table.error().kind() == TryBuildError::Kind::CapacityOverflow) return Kind::template build<V>(0);
    return Kind::template build<V>(hint);  // reports the refused allocation as the constructors do
}

}  // namespace tavoric::python

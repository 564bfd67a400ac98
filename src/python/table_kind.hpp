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

#include <algorithm>
#include <array>
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

// Class names are spelled out at compile time from the design's name, so
// the type descriptions can point at them for the life of the process.
template <std::size_t... N>
constexpr auto join_names(const char (&... parts)[N]) {
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts, N - 1, out.begin() + at), at += N - 1), ...);
    return out;
}

template <std::size_t N>
constexpr std::array<char, N> lower_case(const char (&text)[N]) {
    std::array<char, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
    return out;
}

// A design as the classes see it. `Design` (funnel_kind.hpp,
// elastic_kind.hpp) gives the table template, its name ("Funnel"), the
// smallest reserve exponent, the text put before a constructor's build
// error, and try_build; everything derived from those is the same for both.
template <class Design>
struct TableKind : Design {
    static constexpr auto lower_storage = lower_case(Design::display_name);
    static constexpr auto map_storage = join_names(Design::display_name, "HashMap");
    static constexpr auto set_storage = join_names(Design::display_name, "HashSet");
    static constexpr auto set_iter_storage = join_names("_", Design::display_name, "SetIter");
    static constexpr auto qualified_map_storage = join_names("tavoric.", Design::display_name, "HashMap");
    static constexpr auto qualified_set_storage = join_names("tavoric.", Design::display_name, "HashSet");
    static constexpr auto qualified_set_iter_storage = join_names("tavoric._", Design::display_name, "SetIter");

    static constexpr const char* lower_name = lower_storage.data();
    static constexpr const char* map_name = map_storage.data();
    static constexpr const char* set_name = set_storage.data();
    static constexpr const char* set_iter_name = set_iter_storage.data();
    static constexpr const char* qualified_map_name = qualified_map_storage.data();
    static constexpr const char* qualified_set_name = qualified_set_storage.data();
    static constexpr const char* qualified_set_iter_name = qualified_set_iter_storage.data();

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

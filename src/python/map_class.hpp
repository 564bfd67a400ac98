// FunnelHashMap and ElasticHashMap: the map classes, one template over the
// table kind.
//
// The container maps HashedAny keys to OwnedRef values: one strong reference
// per stored key and value, released when the entry goes. Like the set
// classes, every method runs under the object's borrow flag (exclusive to
// change, shared to read) for its whole run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "map/hash_map.hpp"
#include "python/container_object.hpp"
#include "python/errors.hpp"
#include "python/frame.hpp"
#include "python/hashed_any.hpp"
#include "python/map_fill.hpp"
#include "python/map_views.hpp"
#include "python/arguments.hpp"
#include "python/owned_ref.hpp"
#include "python/registration.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

template <class KindT>
class MapClass {
    using Frame = python::Frame<MapClass>;

public:
    using Keys = ViewClass<MapClass, KeysWhich>;
    using Values = ViewClass<MapClass, ValuesWhich>;
    using Items = ViewClass<MapClass, ItemsWhich>;

    using Kind = KindT;
    using Table = typename Kind::template Table<OwnedRef>;
    using Container = map::HashMap<HashedAny, OwnedRef, Table>;
    using Object = ContainerObject<Container>;

    static constexpr const char* name = Kind::map_name;
    // Filled in when the classes are registered.
    static inline PyTypeObject* type = nullptr;

    // The class wrapper of the fill: inserts `other` (may be null) and then
    // the keyword pairs (may be null) into `target`, which belongs to `self`
    // (null while constructing). Bumps the counter once when anything was
    // inserted and the whole fill succeeded. 0, or -1 with an exception set;
    // pairs inserted before a failure stay.
    static int update(Container& target, ModificationCounter* counter, PyObject* self, PyObject* other,
                      PyObject* kwargs) {
        MapFill<Container> fill(target);
        bool filled = true;
        // The map's own items view holds exactly its pairs: the same no-op as
        // the map itself (walking it would need the borrow this call holds).
        if (other != nullptr && Py_IS_TYPE(other, Items::type) && ViewObject::from(other)->map.get() == self) {
            other = self;
        }
        if (other != nullptr && other != self) {
            if (Py_IS_TYPE(other, type)) {
                Object* source = Object::from(other);
                SharedBorrow borrow(source->borrow);
                if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
                filled = fill.from_same_class(source->container);
            } else {
                filled = fill.from_object(other);
            }
        }
        // A map updated from itself already holds every pair: only the
        // keyword pairs can change it.
        if (filled && kwargs != nullptr) filled = fill.from_dict(kwargs);
        if (!filled) return -1;
        if (fill.changed() && counter != nullptr) ++*counter;
        return 0;
    }

    static PyType_Spec* type_spec();

    // The map's views and iterators as registered: keys, values and items
    // views, then the key, value and item iterators.
    static std::array<ClassDefinition, 6> companion_classes() {
        return {
            ClassDefinition{Keys::name().c_str(), Keys::type_spec(), &Keys::type},
            ClassDefinition{Values::name().c_str(), Values::type_spec(), &Values::type},
            ClassDefinition{Items::name().c_str(), Items::type_spec(), &Items::type},
            ClassDefinition{Keys::iter_name().c_str(), Keys::iter_spec(), &Keys::iter_type},
            ClassDefinition{Values::iter_name().c_str(), Values::iter_spec(), &Values::iter_type},
            ClassDefinition{Items::iter_name().c_str(), Items::iter_spec(), &Items::iter_type},
        };
    }

private:
    // The arguments of the constructor, __init__ and update(): at most one
    // `other`, positional or by keyword, and keyword pairs. For the
    // constructor and __init__ `capacity` is a parameter too; for update()
    // it is one more pair, as any other name is.
    struct Arguments {
        PyObject* other = nullptr;  // borrowed from the call, or from other_keyword
        OwnedRef other_keyword;
        OwnedRef capacity;
        OwnedRef pairs;  // empty when there are none
    };

    static std::optional<Arguments> parse_fill_arguments(const char* function, PyObject* args, PyObject* kwargs,
                                                    bool capacity_is_parameter) {
        Arguments parsed;
        Py_ssize_t positional = PyTuple_GET_SIZE(args);
        if (positional > 1) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most 1 positional argument (%zd given)", function,
                         positional);
            return std::nullopt;
        }
        if (positional == 1) parsed.other = PyTuple_GET_ITEM(args, 0);
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            // Keyword pairs become keys: like dict, only names are accepted.
            if (!PyArg_ValidateKeywordArguments(kwargs)) return std::nullopt;
            // The copy is ours to take the parameters out of.
            parsed.pairs = OwnedRef::steal(PyDict_Copy(kwargs));
            if (!parsed.pairs) return std::nullopt;
            PyObject* taken = nullptr;
            if (capacity_is_parameter) {
                if (PyDict_PopString(parsed.pairs.get(), "capacity", &taken) < 0) return std::nullopt;
                parsed.capacity = OwnedRef::steal(taken);
            }
            if (PyDict_PopString(parsed.pairs.get(), "other", &taken) < 0) return std::nullopt;
            parsed.other_keyword = OwnedRef::steal(taken);
            if (parsed.other_keyword) {
                if (parsed.other != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'other'", function);
                    return std::nullopt;
                }
                parsed.other = parsed.other_keyword.get();
            }
            if (PyDict_GET_SIZE(parsed.pairs.get()) == 0) parsed.pairs = OwnedRef();
        }
        if (is_absent(parsed.other)) parsed.other = nullptr;
        return parsed;
    }

    // The constructor makes the empty map sized for `capacity`; __init__,
    // which the interpreter calls next with the same arguments, checks the
    // rest of them and fills it (a failure there drops the new object, so no
    // object is created). Only `capacity` is read here.
    static PyObject* construct(PyTypeObject* cls, PyObject*, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* found = nullptr;
            if (kwargs != nullptr && PyDict_GetItemStringRef(kwargs, "capacity", &found) < 0) return nullptr;
            OwnedRef capacity_argument = OwnedRef::steal(found);
            auto capacity = Frame::constructor_capacity(capacity_argument.get());
            if (!capacity) return nullptr;
            return Object::create(cls, Container(Kind::template build<OwnedRef>(*capacity)));
        });
    }

    // __init__, as dict's: an update from the arguments. `capacity` asks
    // for room for that many entries in all.
    static int initialize(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded<int>(-1, [&]() -> int {
            auto parsed = parse_fill_arguments(name, args, kwargs, true);
            if (!parsed) return -1;
            auto capacity = Frame::constructor_capacity(parsed->capacity.get());
            if (!capacity) return -1;
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return (raise_already_borrowed(), -1);
            Container& container = object(self)->container;
            if (*capacity > container.len()) {
                auto reserved = container.reserve(*capacity - container.len());
                if (!reserved) return (raise_reserve_error(reserved.error()), -1);
            }
            if (parsed->other == nullptr && !parsed->pairs) return 0;
            return update(container, &object(self)->counter, self, parsed->other, parsed->pairs.get());
        });
    }

    static Object* object(PyObject* self) noexcept { return Object::from(self); }

    // Copies every entry of `source` into `target` (see MapFill).
    static bool extend_cloned(Container& target, const Container& source) {
        return MapFill<Container>(target).from_same_class(source);
    }

    // ---- item access ----------------------------------------------------------

    static PyObject* subscript(PyObject* self, PyObject* key) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            auto lookup = LookupKey::make(key);
            if (!lookup) return nullptr;
            const auto* entry = object(self)->container.get(*lookup);
            if (entry == nullptr) return raise_key_error(key);
            return Py_NewRef(entry->value.get());
        });
    }

    // `m[k] = v` and `del m[k]`: two entry points, so that each body stays
    // in line with its guard (set_item's is forced; delete_item's is small
    // enough for the compiler to keep).
    static int assign_subscript(PyObject* self, PyObject* key, PyObject* value) {
        return value == nullptr ? delete_item(self, key) : set_item(self, key, value);
    }

    static int delete_item(PyObject* self, PyObject* key) {
        return guarded<int>(-1, [&]() -> int {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return (raise_already_borrowed(), -1);
            auto lookup = LookupKey::make(key);
            if (!lookup) return -1;
            auto removed = object(self)->container.remove_entry(*lookup);
            if (!removed) return (raise_key_error(key), -1);
            ++object(self)->counter;
            removed->key.release_attached();
            removed->value.release_attached();
            return 0;
        });
    }

    static int set_item(PyObject* self, PyObject* key, PyObject* value) {
        return guarded<int>(-1, [&]() __attribute__((always_inline)) -> int {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return (raise_already_borrowed(), -1);
            Container& container = object(self)->container;
            auto lookup = LookupKey::make(key);
            if (!lookup) return -1;
            // An equal stored key keeps its object and gets the value.
            if (OwnedRef* stored = container.find_value(*lookup)) {
                OwnedRef previous = std::exchange(*stored, OwnedRef::borrow(value));
                ++object(self)->counter;  // a replaced value changes the map too
                previous.release_attached();
                return 0;
            }
            return set_new_item(object(self), *lookup, value);
        });
    }

    // The rest of set_item for a key no stored key equals. None can appear
    // before it is placed: the exclusive borrow refuses every other change,
    // from __eq__ or another thread. So it is placed without a second
    // comparing search. Out of line: the replacement of a value above keeps
    // its walk's state in registers.
    [[gnu::noinline]] static int set_new_item(Object* self, const LookupKey& key, PyObject* value) {
        auto placed = self->container.insert_distinct(HashedAny::share(key), OwnedRef::borrow(value));
        if (!placed) return (raise_reserve_error(placed.error()), -1);
        ++self->counter;
        return 0;
    }

    static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() __attribute__((always_inline)) -> PyObject* {
            static const char* const names[] = {"key", "default"};
            PyObject* arguments[2];
            if (!parse_arguments(Parameters<2>{"get", names, 1}, args, nargs, kwnames, arguments)) return nullptr;
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            auto lookup = LookupKey::make(arguments[0]);
            if (!lookup) return nullptr;
            const auto* entry = object(self)->container.get(*lookup);
            if (entry != nullptr) return Py_NewRef(entry->value.get());
            return Py_NewRef(arguments[1] != nullptr ? arguments[1] : Py_None);
        });
    }

    static PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static const char* const names[] = {"key", "default"};
            PyObject* arguments[2];
            if (!parse_arguments(Parameters<2>{"pop", names, 1}, args, nargs, kwnames, arguments)) return nullptr;
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            auto lookup = LookupKey::make(arguments[0]);
            if (!lookup) return nullptr;
            auto removed = object(self)->container.remove_entry(*lookup);
            if (removed) {
                ++object(self)->counter;
                removed->key.release_attached();
                return removed->value.release();
            }
            // None counts as "no default": pop(missing, None) raises.
            if (is_absent(arguments[1])) return raise_key_error(arguments[0]);
            return Py_NewRef(arguments[1]);
        });
    }

    static PyObject* popitem(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            // The first live entry in table order, then the one
            // deferred-removal check (after the bump: the entry is gone even
            // if that check fails).
            auto drain = object(self)->container.extract_if([](const HashedAny&, OwnedRef&) { return true; });
            std::optional<typename Container::entry_type> entry = drain.next();
            if (entry) ++object(self)->counter;
            drain.finish();
            if (!entry) {
                PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
                return nullptr;
            }
            OwnedRef key = OwnedRef::steal(entry->key.release_object());
            OwnedRef value = std::move(entry->value);
            return PyTuple_Pack(2, key.get(), value.get());
        });
    }

    static PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static const char* const names[] = {"key", "default"};
            PyObject* arguments[2];
            if (!parse_arguments(Parameters<2>{"setdefault", names, 1}, args, nargs, kwnames, arguments)) return nullptr;
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            Container& container = object(self)->container;
            auto lookup = LookupKey::make(arguments[0]);
            if (!lookup) return nullptr;
            if (const auto* entry = container.get(*lookup)) return Py_NewRef(entry->value.get());
            // Absent: the key is wrapped (and hashed) once more for storing.
            auto wrapped = HashedAny::wrap(arguments[0]);
            if (!wrapped) return nullptr;
            PyObject* value = is_absent(arguments[1]) ? Py_None : arguments[1];
            auto previous = container.insert(std::move(*wrapped), OwnedRef::borrow(value));
            if (!previous) return raise_reserve_error(previous.error());
            ++object(self)->counter;
            return Py_NewRef(value);
        });
    }

    // ---- bulk operations --------------------------------------------------------

    static PyObject* update_method(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            auto parsed = parse_fill_arguments("update", args, kwargs, false);
            if (!parsed) return nullptr;
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            if (update(object(self)->container, &object(self)->counter, self, parsed->other, parsed->pairs.get()) < 0) {
                return nullptr;
            }
            Py_RETURN_NONE;
        });
    }

    static PyObject* inplace_or(PyObject* self, PyObject* other) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            if (update(object(self)->container, &object(self)->counter, self, other, nullptr) < 0) return nullptr;
            return Py_NewRef(self);
        });
    }

    // Whether a fill could take `other` at all: a mapping or an iterable.
    // Anything else makes `|` answer NotImplemented, so the other operand's
    // reflected method gets its turn, as with dict. 1, 0, or -1 with an
    // exception set.
    static int can_fill_from(PyObject* other) {
        if (PyDict_Check(other) || Py_TYPE(other)->tp_iter != nullptr || PySequence_Check(other)) return 1;
        return PyObject_HasAttrStringWithError(other, "keys");
    }

    // m | other and other | m: a new map of the map operand's class; the
    // right operand's values win where both have a key.
    static PyObject* or_operator(PyObject* left, PyObject* right) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            for (bool map_on_left : {true, false}) {
                PyObject* map = map_on_left ? left : right;
                PyObject* other = map_on_left ? right : left;
                if (!Py_IS_TYPE(map, type)) continue;
                int takeable = can_fill_from(other);
                if (takeable < 0) return nullptr;
                if (takeable == 0) continue;  // leave it to other.__ror__ / __or__
                SharedBorrow borrow(object(map)->borrow);
                if (!borrow.held()) continue;  // try the other operand
                const Container& source = object(map)->container;
                Py_ssize_t other_length = PyObject_Size(other);
                if (other_length < 0) {
                    PyErr_Clear();
                    other_length = 0;
                }
                Container result(build_for_hint<Kind, OwnedRef>(source.len() + static_cast<std::size_t>(other_length)));
                if (map_on_left) {
                    if (!extend_cloned(result, source) || update(result, nullptr, nullptr, other, nullptr) < 0) {
                        return nullptr;
                    }
                } else {
                    if (update(result, nullptr, nullptr, other, nullptr) < 0 || !extend_cloned(result, source)) {
                        return nullptr;
                    }
                }
                return Object::create(type, std::move(result));
            }
            Py_RETURN_NOTIMPLEMENTED;
        });
    }

    static PyObject* copy(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            const Container& source = object(self)->container;
            Container result(Kind::template build<OwnedRef>(source.len()));
            if (!extend_cloned(result, source)) return nullptr;
            return Object::create(type, std::move(result));
        });
    }

    static PyObject* fromkeys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static const char* const names[] = {"iterable", "value"};
            PyObject* arguments[2];
            if (!parse_arguments(Parameters<2>{"fromkeys", names, 1}, args, nargs, kwnames, arguments)) return nullptr;
            PyObject* value = is_absent(arguments[1]) ? Py_None : arguments[1];
            if (Py_IS_TYPE(arguments[0], type)) {
                // A map of this class: its keys are distinct and carry their
                // hashes, so they are placed without hashing or searching.
                SharedBorrow borrow(object(arguments[0])->borrow);
                if (!borrow.held()) return raise_already_mutably_borrowed();
                const Container& source = object(arguments[0])->container;
                Container result(build_for_hint<Kind, OwnedRef>(source.len()));
                for (const auto& entry : source.iter()) {
                    auto placed = result.insert_distinct(HashedAny::share(entry.key), OwnedRef::borrow(value));
                    if (!placed) return raise_reserve_error(placed.error());
                }
                return Object::create(type, std::move(result));
            }
            Py_ssize_t expected = PyObject_Size(arguments[0]);
            if (expected < 0) {
                PyErr_Clear();
                expected = 0;
            }
            Container result(build_for_hint<Kind, OwnedRef>(static_cast<std::size_t>(expected)));
            OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(arguments[0]));
            if (!iterator) return nullptr;
            while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
                // A repeated element finds its first occurrence, which keeps
                // the same value: nothing to do.
                auto key = LookupKey::make(element.get());
                if (!key) return nullptr;
                auto stored = result.find_or_insert(*key, [&] {
                    return typename Container::entry_type(HashedAny::share(*key), OwnedRef::borrow(value));
                });
                if (!stored) return raise_reserve_error(stored.error());
            }
            if (PyErr_Occurred()) return nullptr;
            return Object::create(type, std::move(result));
        });
    }

    static PyObject* clear(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            object(self)->container.clear();
            ++object(self)->counter;
            Py_RETURN_NONE;
        });
    }

    // ---- views, iteration, comparison ---------------------------------------------

    static PyObject* keys(PyObject* self, PyObject*) { return guarded<PyObject*>(nullptr, [&] { return Keys::create(self); }); }
    static PyObject* values(PyObject* self, PyObject*) { return guarded<PyObject*>(nullptr, [&] { return Values::create(self); }); }
    static PyObject* items(PyObject* self, PyObject*) { return guarded<PyObject*>(nullptr, [&] { return Items::create(self); }); }

    static PyObject* iterate(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&] { return Keys::iterate_map(self); });
    }

    // An error met while comparing counts as "unequal" and is discarded,
    // unless it is one no comparison may hide (must_propagate).
    static int unequal_unless_serious() { return must_propagate() ? -1 : (PyErr_Clear(), 0); }

    // map == other: 1, 0, or -1 with an exception set.
    static int equal_to(const Container& own, PyObject* other) {
        if (Py_IS_TYPE(other, type)) {
            Object* them = object(other);
            SharedBorrow borrow(them->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            const Container& theirs = them->container;
            if (theirs.len() != own.len()) return 0;
            for (const auto& entry : own.iter()) {
                const auto* match = theirs.get(entry.key);
                if (match == nullptr) return 0;
                if (int equal = values_equal(entry.value.get(), match->value.get()); equal <= 0) return equal;
            }
            return 1;
        }
        if (PyDict_Check(other)) {
            if (static_cast<std::size_t>(PyDict_GET_SIZE(other)) != own.len()) return 0;
            for (const auto& entry : own.iter()) {
                PyObject* found = nullptr;
                int status = PyDict_GetItemRef(other, entry.key.object(), &found);
                OwnedRef value = OwnedRef::steal(found);
                if (status < 0) return unequal_unless_serious();
                if (status == 0) return 0;
                if (int equal = values_equal(entry.value.get(), value.get()); equal <= 0) return equal;
            }
            return 1;
        }
        int has_keys = PyObject_HasAttrStringWithError(other, "keys");
        if (has_keys < 0) return unequal_unless_serious();
        if (has_keys == 0) return 0;
        Py_ssize_t other_length = PyObject_Size(other);
        if (other_length < 0) return unequal_unless_serious();
        if (static_cast<std::size_t>(other_length) != own.len()) return 0;
        for (const auto& entry : own.iter()) {
            OwnedRef value = OwnedRef::steal(PyObject_GetItem(other, entry.key.object()));
            if (!value) return unequal_unless_serious();
            if (int equal = values_equal(entry.value.get(), value.get()); equal <= 0) return equal;
        }
        return 1;
    }

    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            if (op == Py_NE) {
                int equal = PyObject_RichCompareBool(self, other, Py_EQ);
                if (equal < 0) return nullptr;
                return PyBool_FromLong(!equal);
            }
            if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            int equal = equal_to(object(self)->container, other);
            return equal < 0 ? nullptr : PyBool_FromLong(equal);
        });
    }

    // Pickling: rebuilt through with_options with the same reserve exponent,
    // then filled pair by pair through item assignment.
    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            const Container& container = object(self)->container;
            OwnedRef factory = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "with_options"));
            if (!factory) return nullptr;
            OwnedRef pairs = OwnedRef::steal(PyList_New(0));
            if (!pairs) return nullptr;
            for (const auto& entry : container.iter()) {
                OwnedRef pair = OwnedRef::steal(PyTuple_Pack(2, entry.key.object(), entry.value.get()));
                if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return nullptr;
            }
            OwnedRef pair_iterator = OwnedRef::steal(PyObject_GetIter(pairs.get()));
            if (!pair_iterator) return nullptr;
            return Py_BuildValue("O(nI)OOO", factory.get(), static_cast<Py_ssize_t>(container.len()),
                                 static_cast<unsigned int>(container.table().reserve_exponent()), Py_None, Py_None,
                                 pair_iterator.get());
        });
    }
};

template <class KindT>
PyType_Spec* MapClass<KindT>::type_spec() {
    static const std::string doc = std::string(name) +
                                   "(other=None, *, capacity=0, **kwargs)\n--\n\nA Python wrapper around the native " +
                                   Kind::display_name + " hash map.";
    static PyMethodDef methods[] = {
        {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&get)), METH_FASTCALL | METH_KEYWORDS,
         "get($self, key, default=None)\n--\n\n"},
        {"pop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&pop)), METH_FASTCALL | METH_KEYWORDS,
         "pop($self, key, default=None)\n--\n\n"},
        {"popitem", &popitem, METH_NOARGS, "popitem($self)\n--\n\n"},
        {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&setdefault)),
         METH_FASTCALL | METH_KEYWORDS, "setdefault($self, key, default=None)\n--\n\n"},
        {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&update_method)),
         METH_VARARGS | METH_KEYWORDS,
         "update($self, other=None, **kwargs)\n--\n\n"
         "Mirror of `dict.update`; see [`map_update`] for the branch logic.\n"
         "`bump()` only on actual inserts \u2014 empty `update()` keeps\n"
         "iterators valid."},
        {"clear", &clear, METH_NOARGS, "clear($self)\n--\n\n"},
        {"copy", &copy, METH_NOARGS, "copy($self)\n--\n\n"},
        {"keys", &keys, METH_NOARGS, "keys($self)\n--\n\n"},
        {"values", &values, METH_NOARGS, "values($self)\n--\n\n"},
        {"items", &items, METH_NOARGS, "items($self)\n--\n\n"},
        {"__reversed__", &Keys::reversed_map, METH_NOARGS, nullptr},
        {"fromkeys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fromkeys)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "fromkeys($cls, iterable, value=None)\n--\n\n"},
        {"__reduce__", &reduce, METH_NOARGS, nullptr},
        {"__sizeof__", &Frame::sizeof_method, METH_NOARGS, nullptr},
        {"with_options", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Frame::with_options)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "with_options($cls, capacity=0, reserve_exponent=None)\n--\n\n"},
        {"__class_getitem__", &class_getitem, METH_O | METH_CLASS,
         "__class_getitem__($cls, item)\n--\n\nRuntime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
         "\u2014 parity with the `Generic[K, V]` typing stub."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"capacity", &Frame::capacity, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&construct)},
        {Py_tp_init, reinterpret_cast<void*>(&initialize)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Object::dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&Frame::repr)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&compare)},
        {Py_mp_length, reinterpret_cast<void*>(&Frame::length)},
        {Py_mp_subscript, reinterpret_cast<void*>(&subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(&assign_subscript)},
        {Py_sq_contains, reinterpret_cast<void*>(&Frame::contains)},
        {Py_nb_or, reinterpret_cast<void*>(&or_operator)},
        {Py_nb_inplace_or, reinterpret_cast<void*>(&inplace_or)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        Kind::qualified_map_name, static_cast<int>(sizeof(Object)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
    };
    return &type_spec;
}

}  // namespace tavoric::python

// The set algebra of FunnelHashSet and ElasticHashSet: union, intersection,
// difference and symmetric difference as methods, operators (forward,
// reflected, in place) and `_update` methods; the subset, superset and
// disjointness predicates; equality.
//
// Everything is built from four bulk operations that change one container by
// another operand:
//
//   add_all                    (set_class.hpp) insert every element
//   remove_all                 remove every element
//   retain_in                  keep only the keys the operand holds
//   symmetric_difference_with  toggle every distinct element
//
// Each has two branches. When the operand is a set of the receiver's own
// class its stored keys are used as they are: their cached hashes feed the
// lookups, so no __hash__ runs for a key that is already stored. Any other
// operand (the other table kind's set included) goes through the
// interpreter's iteration protocol and is hashed element by element.
//
// A bulk operation returns 1 when the target's container changed, 0 when
// not, -1 with a Python exception set. `self` is the object owning the
// target, or nullptr for a result under construction. An in-place form given
// its own receiver as operand cannot borrow it (the receiver is held
// exclusively), so each operation answers that case directly with the
// mathematical result: unchanged for union and intersection, empty for
// difference and symmetric difference.
//
// New-set forms copy the receiver under a shared borrow and apply the bulk
// operation to the copy; the receiver's counter is never touched. In-place
// forms hold the exclusive borrow and bump the counter once, when every step
// succeeded and some step changed the set. A failing step keeps what earlier
// steps did but does not bump.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>

#include "common/arena/slot_entry.hpp"
#include "python/container_object.hpp"
#include "python/errors.hpp"
#include "python/hashed_any.hpp"
#include "python/owned_ref.hpp"

namespace tavoric::python {

// True for built-in sets and frozensets (subclasses included) and for
// instances of collections.abc.Set: 1, 0, or -1 with an exception set.
int is_set_like(PyObject* object);

template <class Class>
class SetAlgebra {
    using Container = typename Class::Container;
    using Object = typename Class::Object;
    // A bulk operation: (target, owner of target or nullptr, operand).
    using BulkOp = int (*)(Container&, PyObject*, PyObject*);

public:
    // ---- bulk operations -----------------------------------------------------

    static int remove_all(Container& target, PyObject* self, PyObject* other) {
        std::size_t before = target.len();
        if (is_same_class(other)) {
            if (other == self) {
                target.clear();
                return before != 0 ? 1 : 0;
            }
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            for (const HashedAny& key : object(other)->container.iter()) target.remove(key);
            return target.len() != before ? 1 : 0;
        }
        int walked = for_each_element(other, [&](PyObject* item) -> int {
            auto key = LookupKey::make(item);
            if (!key) return -1;
            target.remove(*key);
            return 1;
        });
        if (walked < 0) return -1;
        return target.len() != before ? 1 : 0;
    }

    static int retain_in(Container& target, PyObject* self, PyObject* other) {
        std::size_t before = target.len();
        if (is_same_class(other)) {
            if (other == self) return 0;
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            const Container& source = object(other)->container;
            target.retain([&source](const HashedAny& key) { return source.contains(key); });
            return target.len() != before ? 1 : 0;
        }
        // The operand is collected first, so an error while iterating or
        // hashing it leaves the target untouched.
        OwnedRef members = OwnedRef::steal(PySet_New(other));
        if (!members) return -1;
        target.retain([&members](const HashedAny& key) {
            int found = PySet_Contains(members.get(), key.object());
            // A key whose __hash__ or __eq__ raises now stops the walk with
            // its error, as with set; keys removed before it stay removed.
            if (found < 0) throw PythonErrorSet{};
            return found == 1;
        });
        return target.len() != before ? 1 : 0;
    }

    static int symmetric_difference_with(Container& target, PyObject* self, PyObject* other) {
        if (is_same_class(other)) {
            if (other == self) {
                bool had_keys = target.len() != 0;
                target.clear();
                return had_keys ? 1 : 0;
            }
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            const Container& source = object(other)->container;
            for (const HashedAny& key : source.iter()) {
                if (target.remove(key)) continue;
                // Just found absent: placed without a second search.
                auto added = target.insert_distinct(HashedAny::share(key));
                if (!added) return (raise_reserve_error(added.error()), -1);
            }
            return source.len() != 0 ? 1 : 0;
        }

        // Phase one collects the distinct elements (the first of equal ones
        // stays), so a repeated element toggles once and an error while
        // iterating or hashing leaves the target untouched.
        Container distinct(Class::Kind::template build<common::arena::Unit>(0));
        int walked = for_each_element(other, [&](PyObject* item) -> int {
            auto key = HashedAny::wrap(item);
            if (!key) return -1;
            auto added = distinct.insert(std::move(*key));
            if (!added) return (raise_reserve_error(added.error()), -1);
            return 1;
        });
        if (walked < 0) return -1;
        bool had_elements = distinct.len() != 0;

        // Phase two moves each collected key into the target unless an equal
        // key was there to remove.
        auto drain = distinct.extract_if([](const HashedAny&) { return true; });
        while (std::optional<HashedAny> key = drain.next()) {
            if (target.remove(*key)) continue;  // `key` is released here
            auto added = target.insert(std::move(*key));
            if (!added) return (raise_reserve_error(added.error()), -1);
        }
        return had_elements ? 1 : 0;
    }

    // ---- predicates (1 true, 0 false, -1 error) -------------------------------

    static int issubset(const Container& set, PyObject* other) {
        if (is_same_class(other)) {
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            const Container& source = object(other)->container;
            if (set.len() > source.len()) return 0;
            for (const HashedAny& key : set.iter()) {
                if (!source.contains(key)) return 0;
            }
            return 1;
        }
        OwnedRef members = OwnedRef::steal(PySet_New(other));
        if (!members) return -1;
        if (static_cast<std::size_t>(PySet_GET_SIZE(members.get())) < set.len()) return 0;
        for (const HashedAny& key : set.iter()) {
            int found = PySet_Contains(members.get(), key.object());
            if (found <= 0) return found;
        }
        return 1;
    }

    static int issuperset(const Container& set, PyObject* other) {
        if (is_same_class(other)) {
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            const Container& source = object(other)->container;
            if (set.len() < source.len()) return 0;
            for (const HashedAny& key : source.iter()) {
                if (!set.contains(key)) return 0;
            }
            return 1;
        }
        return for_each_element(other, [&](PyObject* item) -> int {
            auto key = LookupKey::make(item);
            if (!key) return -1;
            return set.contains(*key) ? 1 : 0;
        });
    }

    static int isdisjoint(const Container& set, PyObject* other) {
        if (is_same_class(other)) {
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            const Container& source = object(other)->container;
            // Walk the smaller side; on a tie, the receiver.
            const Container& walked = source.len() < set.len() ? source : set;
            const Container& searched = &walked == &set ? source : set;
            for (const HashedAny& key : walked.iter()) {
                if (searched.contains(key)) return 0;
            }
            return 1;
        }
        return for_each_element(other, [&](PyObject* item) -> int {
            auto key = LookupKey::make(item);
            if (!key) return -1;
            return set.contains(*key) ? 0 : 1;
        });
    }

    // Equality with any object: a set of this class compares its contents;
    // anything else must be set-like, of the same length, and yield only
    // members. 1, 0, or -1 with an exception set.
    static int equals(const Container& set, PyObject* other) {
        if (is_same_class(other)) {
            SharedBorrow borrow(object(other)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            return set == object(other)->container ? 1 : 0;
        }
        int set_like = is_set_like(other);
        if (set_like <= 0) return set_like;
        Py_ssize_t length = PyObject_Size(other);
        if (length < 0) {
            PyErr_Clear();  // a set-like object without a usable length is not equal
            return 0;
        }
        if (static_cast<std::size_t>(length) != set.len()) return 0;
        return for_each_element(other, [&](PyObject* item) -> int {
            auto key = LookupKey::make(item);
            if (!key) return -1;
            return set.contains(*key) ? 1 : 0;
        });
    }

    // ---- Python methods --------------------------------------------------------

    static PyObject* union_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        return derive_many(self, args, nargs, &Class::add_all);
    }
    static PyObject* intersection(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        return derive_many(self, args, nargs, &retain_in);
    }
    static PyObject* difference(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        return derive_many(self, args, nargs, &remove_all);
    }
    static PyObject* symmetric_difference(PyObject* self, PyObject* other) {
        return derive_many(self, &other, 1, &symmetric_difference_with);
    }

    static PyObject* intersection_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        return update_many(self, args, nargs, &retain_in) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    static PyObject* difference_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        return update_many(self, args, nargs, &remove_all) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    static PyObject* symmetric_difference_update(PyObject* self, PyObject* other) {
        return update_many(self, &other, 1, &symmetric_difference_with) < 0 ? nullptr : Py_NewRef(Py_None);
    }

    static PyObject* method_issubset(PyObject* self, PyObject* other) { return predicate(self, other, &issubset); }
    static PyObject* method_issuperset(PyObject* self, PyObject* other) {
        return predicate(self, other, &issuperset);
    }
    static PyObject* method_isdisjoint(PyObject* self, PyObject* other) {
        return predicate(self, other, &isdisjoint);
    }

    // ---- number protocol -------------------------------------------------------

    static PyObject* nb_or(PyObject* left, PyObject* right) { return binary(left, right, &Class::add_all); }
    static PyObject* nb_and(PyObject* left, PyObject* right) { return binary(left, right, &retain_in); }
    static PyObject* nb_xor(PyObject* left, PyObject* right) {
        return binary(left, right, &symmetric_difference_with);
    }
    static PyObject* nb_subtract(PyObject* left, PyObject* right) {
        if (is_same_class(left)) return derive_many(left, &right, 1, &remove_all);
        if (is_same_class(right)) return reflected_difference(left, right);
        Py_RETURN_NOTIMPLEMENTED;
    }

    static PyObject* nb_inplace_or(PyObject* self, PyObject* other) {
        return in_place(self, other, &Class::add_all);
    }
    static PyObject* nb_inplace_and(PyObject* self, PyObject* other) { return in_place(self, other, &retain_in); }
    static PyObject* nb_inplace_subtract(PyObject* self, PyObject* other) {
        return in_place(self, other, &remove_all);
    }
    static PyObject* nb_inplace_xor(PyObject* self, PyObject* other) {
        return in_place(self, other, &symmetric_difference_with);
    }

    // ---- comparison ------------------------------------------------------------

    static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            switch (op) {
                case Py_EQ: {
                    SharedBorrow borrow(object(self)->borrow);
                    if (!borrow.held()) return raise_already_mutably_borrowed();
                    int equal = equals(object(self)->container, other);
                    if (equal < 0) return nullptr;
                    return Py_NewRef(equal ? Py_True : Py_False);
                }
                case Py_NE: {
                    // Through the full protocol, so the operand's reflected
                    // __eq__ has its say as it would for `not (s == other)`.
                    OwnedRef equal = OwnedRef::steal(PyObject_RichCompare(self, other, Py_EQ));
                    if (!equal) return nullptr;
                    int truth = PyObject_IsTrue(equal.get());
                    if (truth < 0) return nullptr;
                    return Py_NewRef(truth ? Py_False : Py_True);
                }
                case Py_LT:
                case Py_LE:
                case Py_GT:
                case Py_GE:
                    // No subset ordering through operators: issubset() and
                    // issuperset() say what is meant.
                    Py_RETURN_NOTIMPLEMENTED;
                default:
                    PyErr_SetString(PyExc_SystemError, "invalid compareop");
                    return nullptr;
            }
        });
    }

private:
    static Object* object(PyObject* self) noexcept { return Object::from(self); }
    static bool is_same_class(PyObject* other) noexcept { return Py_IS_TYPE(other, Class::type); }

    // Runs visit(item) for every element of iter(other) while it returns 1.
    // Returns 1 when the elements ran out, 0 when visit stopped the walk,
    // -1 with an exception set on an error from iterating or from visit.
    template <class Visit>
    static int for_each_element(PyObject* other, Visit&& visit) {
        OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(other));
        if (!iterator) return -1;
        while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
            int step = visit(item.get());
            if (step <= 0) return step;
        }
        return PyErr_Occurred() ? -1 : 1;
    }

    // A new set of the class: a copy of `self` with `op` applied for every
    // operand in order. The receiver is only read.
    static PyObject* derive_many(PyObject* self, PyObject* const* operands, Py_ssize_t count, BulkOp op) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            Container result = Class::copy_container(object(self)->container);
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (op(result, nullptr, operands[i]) < 0) return nullptr;
            }
            return Object::create(Class::type, std::move(result));
        });
    }

    // Applies `op` for every operand to the receiver itself; 0 or -1.
    static int update_many(PyObject* self, PyObject* const* operands, Py_ssize_t count, BulkOp op) {
        return guarded<int>(-1, [&]() -> int {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return (raise_already_borrowed(), -1);
            bool changed = false;
            for (Py_ssize_t i = 0; i < count; ++i) {
                int result = op(object(self)->container, self, operands[i]);
                if (result < 0) return -1;
                changed |= result > 0;
            }
            if (changed) ++object(self)->counter;
            return 0;
        });
    }

    static PyObject* in_place(PyObject* self, PyObject* other, BulkOp op) {
        if (!is_same_class(self)) Py_RETURN_NOTIMPLEMENTED;
        if (update_many(self, &other, 1, op) < 0) return nullptr;
        return Py_NewRef(self);
    }

    // Union, intersection and symmetric difference commute, so `x OP s`
    // computes `s OP x`: a set of s's class either way.
    static PyObject* binary(PyObject* left, PyObject* right, BulkOp op) {
        if (is_same_class(left)) return derive_many(left, &right, 1, op);
        if (is_same_class(right)) return derive_many(right, &left, 1, op);
        Py_RETURN_NOTIMPLEMENTED;
    }

    // `x - s` for an `x` of another type: the distinct elements of x that s
    // does not hold, as a set of s's class.
    static PyObject* reflected_difference(PyObject* x, PyObject* s) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            Container result(Class::Kind::template build<common::arena::Unit>(0));
            if (Class::add_all(result, nullptr, x) < 0) return nullptr;
            {
                SharedBorrow borrow(object(s)->borrow);
                if (!borrow.held()) return raise_already_mutably_borrowed();
                for (const HashedAny& key : object(s)->container.iter()) result.remove(key);
            }
            return Object::create(Class::type, std::move(result));
        });
    }

    using Predicate = int (*)(const Container&, PyObject*);
    static PyObject* predicate(PyObject* self, PyObject* other, Predicate test) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            int result = test(object(self)->container, other);
            if (result < 0) return nullptr;
            return Py_NewRef(result ? Py_True : Py_False);
        });
    }
};

}  // namespace tavoric::python

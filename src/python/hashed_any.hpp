// HashedAny: the key wrapper every table stores.
//
// Two machine words: the key object's address with a two-bit type tag in its
// low bits, and the key's Python hash, computed once when the key enters the
// module and never again (growth and copies reuse it). The tag lets equality
// compare exact ints and exact strs natively:
//
//   tag 1  the key's type is exactly str
//   tag 2  the key's type is exactly int
//   tag 0  anything else, subclasses of str and int included
//
// A stored HashedAny owns one strong reference to its key and releases it,
// with the thread attached, when destroyed. A LookupKey has the same two
// words but borrows the caller's reference: it serves searches that store
// nothing (`in`, `[]`, `discard`, ...) and costs no reference traffic.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "python/attach.hpp"

namespace tavoric::python {

namespace key_tag {
inline constexpr std::uintptr_t other = 0;
inline constexpr std::uintptr_t exact_str = 1;
inline constexpr std::uintptr_t exact_int = 2;
inline constexpr std::uintptr_t mask = 3;
}  // namespace key_tag

// The two words both wrappers share, and the key equality over them.
class KeyWords {
public:
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(tagged_ & ~key_tag::mask); }
    std::uintptr_t tag() const noexcept { return tagged_ & key_tag::mask; }
    std::intptr_t cached_hash() const noexcept { return hash_; }

    // Key equality, this (the probe) on the left. An exception from __eq__
    // or from the truth test of its result stays set and PythonErrorSet is
    // thrown (errors.hpp): the search stops with no effect on the table, and
    // the caller sees the key's exception, as with dict.
    //
    // The hash and identity tests are inlined into the probe loops; the
    // comparison by value is a call, made only for equal hashes of distinct
    // objects. Identity is tested on the whole tagged words: an object's
    // tag follows from the object, so the words are equal exactly when the
    // objects are, and neither address needs its tag masked off first.
    // The hashes stay first: a stored object whose hash has changed since
    // is not equal to itself under its new hash. (Identity first saved str
    // hits a few instructions more. Inlining the one-digit int comparison
    // too saved 16 instructions on a Funnel int hit but cost Elastic 17 on
    // every miss: its inlined primary-slot test grew in every caller.)
    [[gnu::always_inline]] bool matches(const KeyWords& stored) const {
        if (hash_ != stored.hash_) return false;
        if (tagged_ == stored.tagged_) [[likely]] return true;
        return matches_by_value(stored);
    }

private:
    [[gnu::noinline]] bool matches_by_value(const KeyWords& stored) const {
        // Exact ints and strs compare by their representation, without a
        // Python call: an int that fits one digit by its value, strs by
        // kind, length and code units (every str is kept in its narrowest
        // kind, so equal strs have equal representations).
        if (tag() == stored.tag() && tag() != key_tag::other) {
            if (tag() == key_tag::exact_str) return equal_strs(object(), stored.object());
            auto* a = reinterpret_cast<PyLongObject*>(object());
            auto* b = reinterpret_cast<PyLongObject*>(stored.object());
            if (PyUnstable_Long_IsCompact(a) && PyUnstable_Long_IsCompact(b)) {
                return PyUnstable_Long_CompactValue(a) == PyUnstable_Long_CompactValue(b);
            }
        }
        return equal_slow(stored);
    }

protected:
    KeyWords() noexcept = default;
    KeyWords(std::uintptr_t tagged, std::intptr_t hash) noexcept : tagged_(tagged), hash_(hash) {}

    // Reads the object's hash and tag. False with the Python error set when
    // hashing fails. Exact ints of one digit and exact strs whose hash is
    // already cached are read in line: the same values the interpreter's
    // hash gives, without its call chain.
    static bool prepare(PyObject* object, std::uintptr_t& tagged, std::intptr_t& hash) {
        return prepare_in_line(object, tagged, hash) || prepare_slow(object, tagged, hash);
    }

    // The in-line cases alone: false, with nothing set, for every other key.
    [[gnu::always_inline]] static bool prepare_in_line(PyObject* object, std::uintptr_t& tagged,
                                                       std::intptr_t& hash) noexcept {
        PyTypeObject* type = Py_TYPE(object);
        const auto address = reinterpret_cast<std::uintptr_t>(object);
        if (type == &PyLong_Type) {
            auto* value = reinterpret_cast<PyLongObject*>(object);
            // The commonest key, a positive int of one digit, by its tag
            // alone: its hash is its digit (below 2^30, never -1).
            if (value->long_value.lv_tag == kPositiveOneDigitTag) {
                hash = static_cast<std::intptr_t>(value->long_value.ob_digit[0]);
                tagged = address | key_tag::exact_int;
                return true;
            }
            if (PyUnstable_Long_IsCompact(value)) {
                // One digit is below 2^30, far below the hash modulus 2^61 - 1:
                // the hash is the value itself, except that -1 is reserved.
                const Py_ssize_t v = PyUnstable_Long_CompactValue(value);
                hash = v == -1 ? -2 : v;
                tagged = address | key_tag::exact_int;
                return true;
            }
        } else if (type == &PyUnicode_Type) {
            // Written once by whichever thread hashes the str first; -1 until then.
            const Py_hash_t cached =
                __atomic_load_n(&reinterpret_cast<PyASCIIObject*>(object)->hash, __ATOMIC_RELAXED);
            if (cached != -1) {
                hash = cached;
                tagged = address | key_tag::exact_str;
                return true;
            }
        }
        return false;
    }

    std::uintptr_t tagged_ = 0;
    std::intptr_t hash_ = 0;

private:
    // An int's tag holds its digit count above the sign bits; sign 0 is
    // positive.
    static constexpr std::uintptr_t kPositiveOneDigitTag = std::uintptr_t{1} << _PyLong_NON_SIZE_BITS;

    static bool prepare_slow(PyObject* object, std::uintptr_t& tagged, std::intptr_t& hash);
    static bool equal_strs(PyObject* a, PyObject* b) noexcept {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        const int kind = PyUnicode_KIND(a);
        return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
    }
    bool equal_slow(const KeyWords& stored) const;
};

// A search key borrowing the caller's reference.
class LookupKey : public KeyWords {
public:
    // nullopt with the Python error set when the object cannot be hashed.
    static std::optional<LookupKey> make(PyObject* object) {
        std::uintptr_t tagged;
        std::intptr_t hash;
        if (!prepare(object, tagged, hash)) return std::nullopt;
        return LookupKey(tagged, hash);
    }

    // The same key for an exact int of one digit or an exact str with a
    // cached hash, read without running any Python code; for any other
    // object an empty key (no error set). Not an optional: its flag would
    // be stored on the stack of callers that keep everything in registers.
    [[gnu::always_inline]] static LookupKey make_in_line(PyObject* object) noexcept {
        std::uintptr_t tagged = 0;
        std::intptr_t hash = 0;
        prepare_in_line(object, tagged, hash);
        return LookupKey(tagged, hash);
    }
    bool empty() const noexcept { return tagged_ == 0; }

private:
    using KeyWords::KeyWords;
};

// A stored key owning one strong reference.
class HashedAny : public KeyWords {
public:
    HashedAny(const HashedAny&) = delete;
    HashedAny& operator=(const HashedAny&) = delete;
    HashedAny(HashedAny&& other) noexcept : KeyWords(std::exchange(other.tagged_, 0), other.hash_) {}
    HashedAny& operator=(HashedAny&& other) noexcept {
        if (this != &other) {
            release();
            tagged_ = std::exchange(other.tagged_, 0);
            hash_ = other.hash_;
        }
        return *this;
    }
    ~HashedAny() { release(); }

    // wrap_key: hashes the object and takes a new reference. nullopt with the
    // Python error set when hashing fails.
    static std::optional<HashedAny> wrap(PyObject* object) {
        std::uintptr_t tagged;
        std::intptr_t hash;
        if (!prepare(object, tagged, hash)) return std::nullopt;
        Py_INCREF(object);
        return HashedAny(tagged, hash);
    }

    // A new reference to an already wrapped key, reusing its cached hash (for
    // copies between containers: no __hash__ call).
    static HashedAny share(const KeyWords& key) noexcept {
        Py_INCREF(key.object());
        return HashedAny(reinterpret_cast<std::uintptr_t>(key.object()) | key.tag(), key.cached_hash());
    }

    // Releases the key now, without the attach check (see OwnedRef).
    void release_attached() noexcept {
        if (tagged_ != 0) Py_DECREF(object());
        tagged_ = 0;
    }

    // Hands the key object's reference to the caller; the wrapper is empty.
    PyObject* release_object() noexcept {
        PyObject* object = this->object();
        tagged_ = 0;
        return object;
    }

private:
    using KeyWords::KeyWords;
    // In line, because most wrappers die empty (moved into a table, or
    // released already); only a full one pays for the attach check's call.
    [[gnu::always_inline]] void release() noexcept {
        if (tagged_ != 0) [[unlikely]]
            release_full();
    }
    [[gnu::noinline]] void release_full() noexcept {
        release_reference(object());
        tagged_ = 0;
    }
};

static_assert(sizeof(HashedAny) == 2 * sizeof(void*), "a stored key costs two machine words");

}  // namespace tavoric::python

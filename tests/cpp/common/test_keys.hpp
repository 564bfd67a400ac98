// Keys and values of the table and container tests. IntKey is a plain 16-byte
// key (value plus cached hash). CountedKey / CountedValue record every release
// in a Ledger, so tests can prove each object is released exactly once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace tavoric::testing {

struct IntKey {
    std::int64_t value = 0;
    std::intptr_t hash = 0;
    IntKey() = default;
    IntKey(std::int64_t v, std::intptr_t h) : value(v), hash(h) {}
    explicit IntKey(std::int64_t v) : IntKey(v, static_cast<std::intptr_t>(v)) {}
    std::intptr_t cached_hash() const noexcept { return hash; }
    template <class Stored>
    bool matches(const Stored& stored) const { return value == key_value(stored); }
};
inline std::int64_t key_value(const IntKey& k) { return k.value; }

// A probe that notes every stored key it is compared with and matches
// `target` only: for tests of which keys a walk compares, in what order.
struct RecordingProbe {
    std::int64_t target;
    std::vector<std::int64_t>* seen;
    bool matches(const IntKey& stored) const {
        seen->push_back(stored.value);
        return stored.value == target;
    }
};

class Ledger {
public:
    std::int64_t create() { return next_id_++; }
    void release(std::int64_t id) { ++released_[id]; }
    std::int64_t created() const { return next_id_; }
    std::size_t released_count() const { return released_.size(); }
    int times_released(std::int64_t id) const { return released_.count(id) ? released_.at(id) : 0; }
    bool none_released_twice() const {
        return std::ranges::all_of(released_, [](const auto& entry) { return entry.second == 1; });
    }
    bool all_released_once() const { return std::int64_t(released_.size()) == next_id_ && none_released_twice(); }

private:
    std::int64_t next_id_ = 0;
    std::map<std::int64_t, int> released_;
};

// Owns one ledger entry and reports its release on destruction; moves hand it on.
class Counted {
public:
    Counted(Ledger& ledger, std::int64_t n) : ledger_(&ledger), id_(ledger.create()), n_(n) {}
    Counted(Counted&& o) noexcept : ledger_(std::exchange(o.ledger_, nullptr)), id_(o.id_), n_(o.n_) {}
    Counted& operator=(Counted&& o) noexcept {
        if (this != &o) {
            if (ledger_ != nullptr) ledger_->release(id_);
            ledger_ = std::exchange(o.ledger_, nullptr);
            id_ = o.id_;
            n_ = o.n_;
        }
        return *this;
    }
    ~Counted() { ledger_ != nullptr ? ledger_->release(id_) : void(); }
    std::int64_t id() const { return id_; }

protected:
    Ledger* ledger_;
    std::int64_t id_, n_;
};

class CountedKey : public Counted {
public:
    CountedKey(Ledger& ledger, std::int64_t value, std::intptr_t hash) : Counted(ledger, value), hash_(hash) {}
    CountedKey(Ledger& ledger, std::int64_t value) : CountedKey(ledger, value, static_cast<std::intptr_t>(value)) {}
    std::intptr_t cached_hash() const noexcept { return hash_; }
    bool matches(const CountedKey& stored) const { return n_ == stored.n_; }
    friend std::int64_t key_value(const CountedKey& k) { return k.n_; }
    std::int64_t value() const { return n_; }

private:
    std::intptr_t hash_;
};

class CountedValue : public Counted {
public:
    using Counted::Counted;
    std::int64_t payload() const { return n_; }
};

}  // namespace tavoric::testing

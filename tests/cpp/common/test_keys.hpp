// Key and value types for the table and container tests.
//
// IntKey is a plain 16-byte key (value plus cached hash), the shape of the
// real key wrapper. CountedKey / CountedValue record every release in a
// Ledger, so tests can prove each stored object is released exactly once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace tavoric::testing {

struct IntKey {
    std::int64_t value = 0;
    std::intptr_t hash = 0;

    IntKey() = default;
    explicit IntKey(std::int64_t v) : value(v), hash(static_cast<std::intptr_t>(v)) {}
    IntKey(std::int64_t v, std::intptr_t h) : value(v), hash(h) {}

    std::intptr_t cached_hash() const noexcept { return hash; }
    // Probes with the same value match any stored test key.
    template <class Stored>
    bool matches(const Stored& stored) const {
        return value == key_value(stored);
    }
};

inline std::int64_t key_value(const IntKey& k) { return k.value; }

class Ledger {
public:
    std::int64_t create() { return next_id_++; }
    void release(std::int64_t id) { ++released_[id]; }

    std::int64_t created() const { return next_id_; }
    std::size_t released_count() const { return released_.size(); }
    int times_released(std::int64_t id) const {
        auto it = released_.find(id);
        return it == released_.end() ? 0 : it->second;
    }
    // Every object ever created was released exactly once.
    bool all_released_once() const {
        if (static_cast<std::int64_t>(released_.size()) != next_id_) return false;
        for (const auto& [id, times] : released_) {
            if (times != 1) return false;
        }
        return true;
    }
    // No object was released twice.
    bool none_released_twice() const {
        for (const auto& [id, times] : released_) {
            if (times > 1) return false;
        }
        return true;
    }

private:
    std::int64_t next_id_ = 0;
    std::map<std::int64_t, int> released_;
};

// A key that owns a "reference": its destructor reports the release.
class CountedKey {
public:
    CountedKey(Ledger& ledger, std::int64_t value, std::intptr_t hash)
        : ledger_(&ledger), id_(ledger.create()), value_(value), hash_(hash) {}
    CountedKey(Ledger& ledger, std::int64_t value) : CountedKey(ledger, value, static_cast<std::intptr_t>(value)) {}
    CountedKey(CountedKey&& other) noexcept
        : ledger_(std::exchange(other.ledger_, nullptr)), id_(other.id_), value_(other.value_), hash_(other.hash_) {}
    CountedKey& operator=(CountedKey&& other) noexcept {
        if (this != &other) {
            reset();
            ledger_ = std::exchange(other.ledger_, nullptr);
            id_ = other.id_;
            value_ = other.value_;
            hash_ = other.hash_;
        }
        return *this;
    }
    ~CountedKey() { reset(); }

    std::intptr_t cached_hash() const noexcept { return hash_; }
    bool matches(const CountedKey& stored) const { return value_ == stored.value_; }
    friend std::int64_t key_value(const CountedKey& k) { return k.value_; }
    std::int64_t value() const { return value_; }
    std::int64_t id() const { return id_; }

private:
    void reset() {
        if (ledger_ != nullptr) ledger_->release(id_);
        ledger_ = nullptr;
    }

    Ledger* ledger_;
    std::int64_t id_;
    std::int64_t value_;
    std::intptr_t hash_;
};

class CountedValue {
public:
    CountedValue(Ledger& ledger, std::int64_t payload) : ledger_(&ledger), id_(ledger.create()), payload_(payload) {}
    CountedValue(CountedValue&& other) noexcept
        : ledger_(std::exchange(other.ledger_, nullptr)), id_(other.id_), payload_(other.payload_) {}
    CountedValue& operator=(CountedValue&& other) noexcept {
        if (this != &other) {
            reset();
            ledger_ = std::exchange(other.ledger_, nullptr);
            id_ = other.id_;
            payload_ = other.payload_;
        }
        return *this;
    }
    ~CountedValue() { reset(); }

    std::int64_t payload() const { return payload_; }
    std::int64_t id() const { return id_; }

private:
    void reset() {
        if (ledger_ != nullptr) ledger_->release(id_);
        ledger_ = nullptr;
    }

    Ledger* ledger_;
    std::int64_t id_;
    std::int64_t payload_;
};

}  // namespace tavoric::testing

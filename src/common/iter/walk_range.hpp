// Range-for support for the containers' read-only walks.
//
// A walk is any object whose `next()` returns a pointer to the next item, or
// nullptr at the end; `for (const auto& item : walk)` then visits every item
// once. The map walk (entries) and the set walk (keys) share this instead of
// each carrying its own iterator pair.
#pragma once

#include <type_traits>
#include <utility>

namespace tavoric::common::iter {

class WalkEnd {};

template <class Walk>
class WalkPosition {
public:
    using pointer = decltype(std::declval<Walk&>().next());

    explicit WalkPosition(Walk& walk) : walk_(&walk), current_(walk.next()) {}
    std::remove_pointer_t<pointer>& operator*() const noexcept { return *current_; }
    WalkPosition& operator++() {
        current_ = walk_->next();
        return *this;
    }
    bool operator==(WalkEnd) const noexcept { return current_ == nullptr; }

private:
    Walk* walk_;
    pointer current_;
};

}  // namespace tavoric::common::iter

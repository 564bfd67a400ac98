// The SplitMix64 finalizer: a bijective 64-bit mix both tables use to turn a
// table hash into independent-looking probe positions.
#pragma once

#include <cstdint>

namespace tavoric::common::hash {

constexpr std::uint64_t splitmix64_finalize(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace tavoric::common::hash

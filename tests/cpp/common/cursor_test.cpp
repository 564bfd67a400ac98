#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "common/arena/control.hpp"
#include "common/iter/cursor.hpp"

namespace {

using tavoric::common::arena::is_live;
using tavoric::common::iter::Cursor;

// A table of several regions of plain integers: entry i of region r is
// r * 1000 + i, and a control pattern says which are live.
struct RegionTable {
    std::vector<std::vector<std::uint8_t>> ctrl;
    std::vector<std::vector<int>> entries;
    int advances = 0;

    explicit RegionTable(std::vector<std::vector<std::uint8_t>> patterns) : ctrl(std::move(patterns)) {
        for (std::size_t r = 0; r < ctrl.size(); ++r) {
            entries.emplace_back();
            for (std::size_t i = 0; i < ctrl[r].size(); ++i) entries[r].push_back(static_cast<int>(r * 1000 + i));
        }
    }

    // Walks with a cursor and checks the result against a naive scan.
    void check_walk() {
        std::size_t live = 0;
        std::vector<int> expected, seen;
        for (std::size_t r = 0; r < ctrl.size(); ++r)
            for (std::size_t i = 0; i < ctrl[r].size(); ++i)
                if (is_live(ctrl[r][i])) ++live, expected.push_back(entries[r][i]);
        Cursor<int> c(live);
        auto advance = [&](Cursor<int>& cur) {
            ++advances;
            const std::size_t next = cur.regions_entered();
            if (next >= ctrl.size()) return false;
            cur.enter_region(ctrl[next].data(), ctrl[next].size(), entries[next].data());
            return true;
        };
        while (int* e = c.next(advance)) {
            seen.push_back(*e);
            EXPECT_EQ(*e % 1000, static_cast<int>(c.last_slot()));
        }
        EXPECT_EQ(c.remaining(), 0u);
        EXPECT_EQ(seen, expected);
    }
};

TEST(Cursor, EmptyTableAsksForRegionsUntilThereAreNone) {
    RegionTable none({});
    none.check_walk();
    EXPECT_EQ(none.advances, 1);
    RegionTable empty_regions({{}, {0, 0, 0}, std::vector<std::uint8_t>(17, 0x80)});
    empty_regions.check_walk();
    EXPECT_EQ(empty_regions.advances, 4);
}

// Region lengths of any size put live slots in full groups and in tails
// read byte by byte, including the last byte of each region.
TEST(Cursor, MatchesANaiveScanOnRandomRegions) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::vector<std::uint8_t>> patterns(rng() % 5);
        for (auto& p : patterns) {
            p.resize(rng() % 40);
            for (auto& b : p) {
                const auto r = rng() % 4;
                b = r == 0 ? 0 : r == 1 ? 0x80 : static_cast<std::uint8_t>(1 + rng() % 127);
            }
        }
        RegionTable(patterns).check_walk();
    }
}

}  // namespace

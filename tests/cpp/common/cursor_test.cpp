#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "common/arena/control.hpp"
#include "common/error/panic.hpp"
#include "common/iter/cursor.hpp"

namespace {

using tavoric::common::iter::Cursor;

// A table made of several regions of plain integers: entry i of region r is
// r * 1000 + i, and a control pattern says which are live.
struct RegionTable {
    std::vector<std::vector<std::uint8_t>> ctrl;
    std::vector<std::vector<int>> entries;
    mutable int advances = 0;

    explicit RegionTable(std::vector<std::vector<std::uint8_t>> patterns) : ctrl(std::move(patterns)) {
        for (std::size_t r = 0; r < ctrl.size(); ++r) {
            entries.emplace_back();
            for (std::size_t i = 0; i < ctrl[r].size(); ++i) entries[r].push_back(static_cast<int>(r * 1000 + i));
        }
    }

    bool scan_advance(Cursor<int>& c) {
        ++advances;
        std::size_t next = c.regions_entered();
        if (next >= ctrl.size()) return false;
        c.enter_region(ctrl[next].data(), ctrl[next].size(), entries[next].data());
        return true;
    }

    std::vector<int> walk() {
        std::size_t live = 0;
        for (auto& region : ctrl)
            for (auto b : region) live += tavoric::common::arena::is_live(b);
        Cursor<int> c(live);
        std::vector<int> seen;
        while (int* e = c.next([&](Cursor<int>& cur) { return scan_advance(cur); })) {
            seen.push_back(*e);
            EXPECT_EQ(*e % 1000, static_cast<int>(c.last_slot()));
        }
        EXPECT_EQ(c.remaining(), 0u);
        return seen;
    }

    std::vector<int> expected() const {
        std::vector<int> out;
        for (std::size_t r = 0; r < ctrl.size(); ++r)
            for (std::size_t i = 0; i < ctrl[r].size(); ++i)
                if (tavoric::common::arena::is_live(ctrl[r][i])) out.push_back(entries[r][i]);
        return out;
    }
};

TEST(Cursor, EmptyTableAsksForRegionsUntilThereAreNone) {
    RegionTable none({});
    EXPECT_TRUE(none.walk().empty());
    EXPECT_EQ(none.advances, 1);

    RegionTable empty_regions({{}, {0, 0, 0}, std::vector<std::uint8_t>(17, 0x80)});
    EXPECT_TRUE(empty_regions.walk().empty());
    EXPECT_EQ(empty_regions.advances, 4);
}

TEST(Cursor, RegionsWhoseLengthIsNotAMultipleOfEight) {
    // Region lengths 5, 13, 8 and 21 put live slots in full groups and in
    // tails read byte by byte, including the last byte of each region.
    RegionTable table({
        {1, 0, 0x80, 0, 0x7f},
        {0, 0, 0, 0, 0, 0, 0, 9, 0x81, 0, 0, 0, 3},
        {2, 2, 2, 2, 2, 2, 2, 2},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0x80, 0, 6},
    });
    std::vector<int> want = {0, 4, 1007, 1008, 1012, 2000, 2001, 2002, 2003, 2004, 2005, 2006, 2007, 3016, 3020};
    EXPECT_EQ(table.walk(), want);
    EXPECT_EQ(table.expected(), want);
}

TEST(Cursor, MatchesANaiveScanOnRandomRegions) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::vector<std::uint8_t>> patterns(rng() % 5);
        for (auto& p : patterns) {
            p.resize(rng() % 40);
            for (auto& b : p) {
                auto r = rng() % 4;
                b = r == 0 ? 0 : r == 1 ? 0x80 : static_cast<std::uint8_t>(1 + rng() % 127);
            }
        }
        RegionTable table(patterns);
        EXPECT_EQ(table.walk(), table.expected());
    }
}

}  // namespace

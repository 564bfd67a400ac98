#include <gtest/gtest.h>

#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"

namespace {

using tavoric::common::error::Panic;
using tavoric::common::error::TryBuildError;
using tavoric::common::error::TryReserveError;

TEST(Errors, ReserveErrorTextsAndDebugNames) {
    EXPECT_EQ(TryReserveError::capacity_overflow().message(), "capacity overflow");
    EXPECT_EQ(TryReserveError::alloc_error().message(), "memory allocation failed");
    EXPECT_EQ(TryReserveError::capacity_overflow().debug_name(), "CapacityOverflow");
    EXPECT_EQ(TryReserveError::alloc_error().debug_name(), "AllocError");
}

TEST(Errors, BuildErrorTextsAndConversion) {
    EXPECT_EQ(TryBuildError::exponent_below_minimum(2, 3).message(), "Funnel reserve exponent 2 is below the minimum 3");
    EXPECT_EQ(TryBuildError::exponent_below_minimum(0, 3).message(), "Funnel reserve exponent 0 is below the minimum 3");
    EXPECT_EQ(TryBuildError::capacity_overflow().message(), "capacity overflow");
    EXPECT_EQ(TryBuildError::alloc_error().message(), "memory allocation failed");
    EXPECT_EQ(TryBuildError::from(TryReserveError::alloc_error()), TryBuildError::alloc_error());
    EXPECT_EQ(TryBuildError::from(TryReserveError::capacity_overflow()), TryBuildError::capacity_overflow());
}

TEST(Errors, PanicCarriesItsMessage) {
    try {
        tavoric::common::error::panic("capacity overflow");
        FAIL() << "panic returned";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "capacity overflow");
        EXPECT_STREQ(p.what(), "capacity overflow");
    }
    EXPECT_NO_THROW(tavoric::common::error::check(true, "never"));
    EXPECT_THROW(tavoric::common::error::check(false, "always"), Panic);
}

}  // namespace

#include "common/arena/reserve.hpp"

namespace {

using tavoric::common::arena::insert_budget_for;

TEST(Errors, InsertBudgetKeepsTheReserveFree) {
    EXPECT_EQ(insert_budget_for(144, 3), 126u);
    EXPECT_EQ(insert_budget_for(145, 3), 127u);
    EXPECT_EQ(insert_budget_for(1142, 3), 1000u);
    EXPECT_EQ(insert_budget_for(344, 4), 323u);
    EXPECT_EQ(insert_budget_for(0, 3), 0u);
    EXPECT_EQ(insert_budget_for(1000, 32), 1000u);
}

}  // namespace

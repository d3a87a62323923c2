#include "blocklist/domain_set_holder.h"

#include <gtest/gtest.h>

namespace sieveharbor::blocklist {
namespace {

// Readers never check for null: there is always a set, empty until the first load.
TEST(DomainSetHolder, starts_empty_and_never_hands_out_null) {
    DomainSetHolder holder;
    ASSERT_NE(holder.snapshot(), nullptr);
    EXPECT_TRUE(holder.snapshot()->empty());
    holder.publish(nullptr);
    ASSERT_NE(holder.snapshot(), nullptr);
    EXPECT_TRUE(holder.snapshot()->empty());
}

}  // namespace
}  // namespace sieveharbor::blocklist

#include "blocklist/domain_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sieveharbor::blocklist {
namespace {

std::string entryNumber(int i) {
    return "host" + std::to_string(i) + ".example";
}

TEST(DomainSet, holds_every_entry_through_regrowth_and_nothing_else) {
    DomainSetBuilder builder;  // no size hints: the table must grow many times
    constexpr int kEntries = 100000;
    for (int i = 0; i < kEntries; ++i) {
        builder.add(entryNumber(i));
    }
    const DomainSet set = std::move(builder).finish();
    ASSERT_EQ(set.size(), static_cast<std::size_t>(kEntries));
    for (int i = 0; i < kEntries; ++i) {
        ASSERT_TRUE(set.contains(entryNumber(i))) << i;
        ASSERT_FALSE(set.contains(entryNumber(i + kEntries))) << i;
    }
    // One arena and one table: well under a heap node's cost per entry.
    EXPECT_LE(set.heapBytes() / set.size(), 48u);
}

TEST(DomainSet, collapses_duplicates_and_ignores_empty_text) {
    DomainSetBuilder builder;
    builder.add("a.example");
    builder.add("a.example");
    builder.add("");
    builder.add("b.example");
    const DomainSet set = std::move(builder).finish();
    EXPECT_EQ(set.size(), 2u);
    std::vector<std::string> seen;
    set.forEach([&](std::string_view entry) { seen.emplace_back(entry); });
    EXPECT_EQ(seen, (std::vector<std::string>{"a.example", "b.example"}));
}

TEST(DomainSet, keeps_long_entries_whole) {
    // Entries of 128 bytes and more need a longer length prefix in the arena.
    const std::string lengths[] = {std::string(127, 'a'), std::string(128, 'b'),
                                   std::string(70000, 'c')};
    DomainSetBuilder builder;
    for (const auto& entry : lengths) {
        builder.add(entry);
    }
    const DomainSet set = std::move(builder).finish();
    for (const auto& entry : lengths) {
        EXPECT_TRUE(set.contains(entry)) << entry.size();
        EXPECT_FALSE(set.contains(entry.substr(1))) << entry.size();
        EXPECT_TRUE(set.containsNameOrParent("x." + entry)) << entry.size();
    }
}

TEST(DomainSet, oversized_size_hint_is_trimmed_away) {
    DomainSetBuilder builder(1000000, 0);
    builder.add("only.example");
    const DomainSet set = std::move(builder).finish();
    EXPECT_TRUE(set.contains("only.example"));
    EXPECT_LT(set.heapBytes(), 4096u) << "the smallest table, not the 18 MB the hint asked for";
}

}  // namespace
}  // namespace sieveharbor::blocklist

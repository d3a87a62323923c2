#include "blocklist/domain_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/blocklist_text.h"
#include "blocklist/suffix_hash.h"

namespace sieveharbor::blocklist {
namespace {

std::string entryNumber(int i) {
    return "host" + std::to_string(i) + ".example";
}

// A seed fixed by the test, for cases that pick entries by their hashes.
constexpr std::uint64_t kFixedSeed = 0x243f6a8885a308d3ULL;

DomainSet build(const std::vector<std::string>& entries,
                std::uint64_t seed = DomainSetBuilder::randomSeed()) {
    DomainSetBuilder builder(0, DomainSet::kMaxArenaBytes, seed);
    for (const auto& entry : entries) {
        builder.add(entry);
    }
    return std::move(builder).finish();
}

TEST(DomainSet, holds_every_entry_and_nothing_else) {
    DomainSetBuilder builder;  // no size hint: the arena grows as entries come
    constexpr int kEntries = 100000;
    for (int i = 0; i < kEntries; ++i) {
        builder.add(entryNumber(i));
    }
    // Entries of 128 bytes and more need a longer length prefix in the arena.
    const std::string longEntries[] = {std::string(127, 'a'), std::string(128, 'b'),
                                       std::string(70000, 'c')};
    for (const auto& entry : longEntries) {
        builder.add(entry);
    }
    const DomainSet set = std::move(builder).finish();
    ASSERT_EQ(set.size(), kEntries + std::size(longEntries));
    for (int i = 0; i < kEntries; ++i) {
        ASSERT_TRUE(set.contains(entryNumber(i))) << i;
        ASSERT_FALSE(set.contains(entryNumber(i + kEntries))) << i;
    }
    for (const auto& entry : longEntries) {
        EXPECT_TRUE(set.contains(entry)) << entry.size();
        EXPECT_FALSE(set.contains(entry.substr(1))) << entry.size();
        EXPECT_TRUE(set.containsNameOrParent("x." + entry)) << entry.size();
    }
    // One arena and one table: well under a heap node's cost per entry.
    EXPECT_LE(set.heapBytes() / set.size(), 48u);
}

TEST(DomainSet, collapses_duplicates_into_their_first_occurrence) {
    // Duplicates are dropped while the table is built, in batches, and the entries after them
    // move down in the arena: a duplicate in the same batch as its original, in a later batch,
    // and runs of them must all leave the other entries whole and in order.
    struct Case {
        const char* what;
        std::vector<std::string> added;
        std::vector<std::string> kept;
    };
    std::vector<std::string> cycled;   // 0..299 three times over
    std::vector<std::string> doubled;  // 0, 0, 1, 1, ...
    std::vector<std::string> firstKept;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300; ++i) {
            cycled.push_back(entryNumber(i));
        }
    }
    for (int i = 0; i < 300; ++i) {
        doubled.insert(doubled.end(), 2, entryNumber(i));
        firstKept.push_back(entryNumber(i));
    }
    const std::vector<Case> cases = {
        {"empty text ignored", {"a.example", "", "b.example"}, {"a.example", "b.example"}},
        {"neighbours", {"a.example", "a.example", "b.example"}, {"a.example", "b.example"}},
        {"far apart", cycled, firstKept},
        {"every entry twice", doubled, firstKept},
        {"only duplicates after the first", {"x.example", "x.example", "x.example"}, {"x.example"}},
    };
    for (const auto& c : cases) {
        DomainSetBuilder builder;
        for (const auto& entry : c.added) {
            builder.add(entry);
        }
        const DomainSet set = std::move(builder).finish();
        std::vector<std::string> seen;
        set.forEach([&](std::string_view entry) { seen.emplace_back(entry); });
        EXPECT_EQ(seen, c.kept) << c.what;
        EXPECT_EQ(set.size(), c.kept.size()) << c.what;
        for (const auto& entry : c.kept) {
            EXPECT_TRUE(set.contains(entry)) << c.what << ": " << entry;
        }
        EXPECT_FALSE(set.contains("host300.example")) << c.what;
    }
}

TEST(DomainSet, a_run_past_the_last_bucket_keeps_every_entry) {
    // Hashes in the top 1/4096 of their range all start in the last bucket of any table of fewer
    // than 4096 buckets, so forty of them fill it and run on past its end.
    constexpr std::uint64_t kTop = ~std::uint64_t{0} - (~std::uint64_t{0} >> 12);
    std::vector<std::string> last;
    std::vector<std::string> others;
    for (int i = 0; last.size() < 40; ++i) {
        std::string entry = entryNumber(i);
        (detail::hashOf(entry, kFixedSeed) >= kTop ? last : others).push_back(std::move(entry));
    }
    const DomainSet set = build(last, kFixedSeed);
    EXPECT_EQ(set.size(), last.size());
    for (const auto& entry : last) {
        EXPECT_TRUE(set.contains(entry)) << entry;
        EXPECT_TRUE(set.containsNameOrParent("www." + entry)) << entry;
    }
    for (std::size_t i = 0; i < 1000; ++i) {
        EXPECT_FALSE(set.contains(others[i])) << others[i];
    }
}

TEST(DomainSet, a_list_made_to_collide_does_not_collide_in_a_set_seeded_at_random) {
    // 2,000 entries whose hashes under one seed all fall in the first of the table's buckets: a
    // list someone made against a known seed.
    constexpr std::size_t kEntries = 2000;
    const std::uint64_t homeBuckets = kEntries * 5 / 36 + 1;
    const std::uint64_t firstBucketBelow = ~std::uint64_t{0} / homeBuckets;
    std::vector<std::string> crafted;
    for (int i = 0; crafted.size() < kEntries; ++i) {
        std::string entry = entryNumber(i);
        if (detail::hashOf(entry, kFixedSeed) < firstBucketBelow) {
            crafted.push_back(std::move(entry));
        }
    }
    // Under that seed every probe walks one long run of buckets...
    EXPECT_GE(build(crafted, kFixedSeed).longestProbe(), kEntries / 12);
    // ...while each set is seeded afresh, and the same list spreads out into runs of a few
    // buckets (a chance run of 16 at this load is vanishingly unlikely).
    const DomainSet set = build(crafted);
    EXPECT_LE(set.longestProbe(), 16u);
    EXPECT_EQ(set.size(), kEntries);
    EXPECT_TRUE(set.containsNameOrParent("www." + crafted.back()));
}

TEST(DomainSet, memory_follows_the_distinct_entries_not_the_lines) {
    // More than one huge page of text, so the arena is mapped rather than taken from the heap.
    constexpr int kLines = 300000;
    struct Case {
        const char* what;
        int distinct;
    };
    for (const Case c : {Case{"one entry over and over", 1}, Case{"two entries taking turns", 2},
                         Case{"a thousand entries a few hundred times", 1000}}) {
        std::string once;
        std::string repeated;
        for (int i = 0; i < c.distinct; ++i) {
            once += entryNumber(i) + "\n";
        }
        for (int i = 0; i < kLines; ++i) {
            repeated += entryNumber(i % c.distinct) + "\n";
        }
        const DomainSet written = parseBlocklist(once).value();
        const DomainSet duplicated = parseBlocklist(repeated).value();
        EXPECT_EQ(duplicated.size(), written.size()) << c.what;
        EXPECT_LE(duplicated.heapBytes(), written.heapBytes()) << c.what;
        EXPECT_TRUE(duplicated.contains(entryNumber(c.distinct - 1))) << c.what;
    }
}

}  // namespace
}  // namespace sieveharbor::blocklist

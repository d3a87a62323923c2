#include "blocklist/large_page_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "blocklist/blocklist_text.h"

namespace sieveharbor::blocklist {
namespace {

constexpr std::size_t kHugePage = LargePageAllocator<char>::kHugePage;

// The blocks the advice below was given, in order; room is made first, so that the noexcept
// advice never allocates.
std::vector<std::pair<void*, std::size_t>> advised;

void recordAdvice(void* start, std::size_t bytes) noexcept {
    advised.emplace_back(start, bytes);
}

void startRecording() {
    advised.clear();
    advised.reserve(64);
}

// Only mapped blocks are advised, each once, whole, from its aligned start; and the advice moves
// and swaps with the vector that holds it, without its block being copied, so a vector that grows
// later advises its new block too.
TEST(LargePageAllocator, advises_each_mapped_block_and_travels_with_its_container) {
    using Vector = std::vector<char, LargePageAllocator<char>>;
    for (const std::size_t bytes : {std::size_t{1}, kHugePage - 1, kHugePage, 3 * kHugePage + 5}) {
        startRecording();
        Vector held{LargePageAllocator<char>(recordAdvice)};
        held.reserve(bytes);
        const bool mapped = bytes >= kHugePage;
        ASSERT_EQ(advised.size(), mapped ? 1u : 0u) << bytes;
        if (mapped) {
            EXPECT_EQ(advised[0].first, held.data()) << bytes;
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(held.data()) % kHugePage, 0u) << bytes;
            EXPECT_EQ(advised[0].second, LargePageAllocator<char>::mappedBytes(bytes)) << bytes;
        }
    }
    startRecording();
    Vector held{LargePageAllocator<char>(recordAdvice)};
    held.reserve(kHugePage);
    const char* block = held.data();
    Vector moved;
    moved = std::move(held);
    Vector swapped;
    swapped.swap(moved);
    EXPECT_EQ(swapped.data(), block);
    swapped.reserve(2 * kHugePage);
    ASSERT_EQ(advised.size(), 2u);
    EXPECT_EQ(advised[1].first, swapped.data());
}

// Both big arrays of a set are advised: the arena, sized from the text up front, and the table,
// made in finish once the entries are counted (about 300,000 entries: both over a huge page).
TEST(LargePageAllocator, a_parsed_set_advises_its_arena_and_its_table) {
    std::string text;
    for (int i = 0; i < 300000; ++i) {
        text += "host" + std::to_string(i) + ".example\n";
    }
    startRecording();
    const auto set = parseBlocklist(text, recordAdvice);
    ASSERT_TRUE(set.has_value());
    EXPECT_TRUE(set->containsNameOrParent("www.host299999.example"));
    ASSERT_EQ(advised.size(), 2u);
    EXPECT_EQ(advised[0].second, LargePageAllocator<char>::mappedBytes(text.size()));
    EXPECT_GE(advised[1].second, kHugePage);
}

}  // namespace
}  // namespace sieveharbor::blocklist

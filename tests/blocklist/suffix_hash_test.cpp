#include "blocklist/suffix_hash.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace sieveharbor::blocklist::detail {
namespace {

constexpr std::uint64_t kSeed = 0x243f6a8885a308d3ULL;

// The probe of a suffix must hash exactly as that suffix does when it is an entry on its own,
// whatever the label lengths, the case, the empty labels, or the length of the whole name.
TEST(SuffixHash, each_suffix_hashes_as_the_same_text_alone) {
    std::mt19937 rng(7);
    const std::string alphabet = "abcXYZ09-.\xC3\xA9";
    for (int round = 0; round < 3000; ++round) {
        std::string name;
        const std::size_t length = rng() % (round % 10 == 0 ? 600 : 60);
        for (std::size_t i = 0; i < length; ++i) {
            name += alphabet[rng() % alphabet.size()];
        }
        std::vector<std::size_t> starts;
        forEachSuffixHash(PaddedLower(name), kSeed, [&](std::size_t start, std::uint64_t h) {
            EXPECT_EQ(h, hashOf(name.substr(start), kSeed)) << "[" << name << "] from " << start;
            EXPECT_TRUE(start == 0 || name[start - 1] == '.');
            starts.push_back(start);
            return false;
        });
        // Every non-empty suffix after a dot, then the whole name, shortest first.
        std::vector<std::size_t> expected;
        for (std::size_t i = name.size(); i-- > 0;) {
            if (name[i] == '.' && i + 1 < name.size()) {
                expected.push_back(i + 1);
            }
        }
        expected.push_back(0);
        ASSERT_EQ(starts, expected) << "[" << name << "]";
    }
}

TEST(SuffixHash, reads_ascii_capitals_as_small_letters_only) {
    EXPECT_EQ(hashOf("Ads.Example.COM", kSeed), hashOf("ads.example.com", kSeed));
    EXPECT_EQ(PaddedLower("AZ@[`{\xC3\x89").view(), "az@[`{\xC3\x89");
    EXPECT_NE(hashOf("a.b", kSeed), hashOf("ab", kSeed));
    EXPECT_NE(hashOf("a..b", kSeed), hashOf("a.b", kSeed));
    EXPECT_NE(hashOf("a.", kSeed), hashOf("a", kSeed));
    EXPECT_NE(hashOf(std::string("a\0", 2), kSeed), hashOf("a", kSeed));
}

}  // namespace
}  // namespace sieveharbor::blocklist::detail

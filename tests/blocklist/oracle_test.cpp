// The matcher probes the name and each parent suffix in a hash table; this checks it against a
// plain scan of every entry, written straight from the rule, over many random sets and names.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "blocklist/matching.h"
#include "scan_oracle.h"
#include "text/text.h"

namespace sieveharbor::blocklist {
namespace {

using testing::scanIsBlocked;

// Pieces chosen to hit the awkward cases: dots in every position, "*", spaces, capitals,
// U+00E9 and its decomposed form e + U+0301, a bare combining mark, and U+0130 whose lower case
// grows into two characters.
const std::vector<std::string> kPieces = {
    "a", "b",        "e",        "E",         "A",        ".",        ".",   ".", "*",
    " ", "\xC3\xA9", "\xC3\x89", "e\xCC\x81", "\xCC\x81", "\xC4\xB0", "com", "ex"};

std::string randomText(std::mt19937& rng, int minPieces, int maxPieces) {
    std::uniform_int_distribution<int> count(minPieces, maxPieces);
    std::uniform_int_distribution<std::size_t> piece(0, kPieces.size() - 1);
    std::string s;
    for (int n = count(rng); n > 0; --n) {
        s += kPieces[piece(rng)];
    }
    return s;
}

// Swaps the precomposed and decomposed e-acute and changes case, so that a name built from an
// entry is equivalent to it without being byte-equal.
std::string disguise(std::mt19937& rng, std::string s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\xC3\xA9") == 0 && (rng() & 1)) {
            out += "e\xCC\x81";
            ++i;
        } else if (s[i] >= 'a' && s[i] <= 'z' && (rng() & 1)) {
            out += static_cast<char>(s[i] - 'a' + 'A');
        } else {
            out += s[i];
        }
    }
    return out;
}

TEST(MatcherAgainstScan, agrees_on_random_sets_and_names) {
    std::mt19937 rng(20261206);
    constexpr int kSets = 5000;
    constexpr int kNamesPerSet = 20;
    int blocked = 0;
    int pairs = 0;
    for (int s = 0; s < kSets; ++s) {
        std::vector<std::string> entries;
        DomainSetBuilder builder;
        for (int n = std::uniform_int_distribution<int>(0, 6)(rng); n > 0; --n) {
            const std::string entry = text::toLower(randomText(rng, 1, 6));
            entries.push_back(entry);
            builder.add(text::canonicalLower(entry));
        }
        const DomainSet set = std::move(builder).finish();
        for (int k = 0; k < kNamesPerSet; ++k) {
            std::string name;
            if (!entries.empty() && (rng() % 3) != 0) {
                const std::string& entry = entries[rng() % entries.size()];
                // An entry with a random prefix: beneath it, a lookalike, or the entry itself.
                name = randomText(rng, 0, 3) + disguise(rng, entry);
            } else {
                name = randomText(rng, 0, 8);
            }
            const bool expected = scanIsBlocked(name, entries);
            ASSERT_EQ(isNameBlocked(name, set), expected)
                << "name [" << name << "] set of " << entries.size() << " entries, first ["
                << (entries.empty() ? "" : entries[0]) << "]";
            blocked += expected ? 1 : 0;
            ++pairs;
        }
    }
    EXPECT_GE(pairs, 100000);
    // Both verdicts must be well represented, or the comparison proves little.
    EXPECT_GT(blocked, pairs / 10);
    EXPECT_LT(blocked, pairs * 9 / 10);
}

}  // namespace
}  // namespace sieveharbor::blocklist

#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "blocklist/large_page_allocator.h"

namespace sieveharbor::blocklist {

// An immutable set of blocked domains, kept compact: every entry's text lives in one arena
// (a length byte or two, then the bytes), indexed by an open-addressing table of 64-byte
// buckets. A bucket holds twelve tag bytes and the twelve arena offsets beside them, so a probe
// reads one cache line whether it misses or hits, and a hit reaches the entry's text with one
// more read. A million entries cost a few heap blocks, not a million nodes.
//
// Entries are kept in canonical form (text::canonicalLower), so byte equality is canonical
// equivalence. Built once by DomainSetBuilder, then only read: any number of threads may read
// one set at once.
class DomainSet {
  public:
    DomainSet() = default;

    // Exact membership of an entry given in canonical form.
    bool contains(std::string_view canonicalEntry) const noexcept;

    // True when `name`, or the text after any "." in it, is an entry. A-Z in `name` are read
    // as a-z; every other byte must already be in canonical form. The suffix hashes come out of
    // one right-to-left pass and each bucket is fetched as soon as its hash is known, so the
    // cache misses of a large table overlap instead of adding up.
    bool containsNameOrParent(std::string_view name) const noexcept;
    // The same for a name whose A-Z are already lowered and which is followed in memory by at
    // least 8 readable zero bytes: read where it lies, with no copy.
    bool containsPaddedNameOrParent(std::string_view paddedLower) const noexcept;

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    // Heap bytes held by the set (arena and table capacity).
    std::size_t heapBytes() const noexcept;

    // The most buckets any probe reads: 1 or 2 for a well-spread table, whatever the list.
    std::size_t longestProbe() const noexcept;

    // Visits every entry, in arena order (the order of first insertion).
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (std::size_t offset = 0; offset < arena_.size();) {
            const std::string_view entry = entryAt(offset);
            visit(entry);
            offset = static_cast<std::size_t>(entry.data() + entry.size() - arena_.data());
        }
    }

    // Entries are found by 32-bit arena offsets, half the table of 64-bit ones; the arena holds
    // about as many bytes as the list's text, so only a text of 4 GiB or more does not fit.
    using Offset = std::uint32_t;
    static constexpr std::size_t kMaxArenaBytes = std::numeric_limits<Offset>::max();

  private:
    friend class DomainSetBuilder;

    explicit DomainSet(PageAdvice advice) noexcept
        : arena_(LargePageAllocator<char>(advice)), buckets_(LargePageAllocator<Bucket>(advice)) {}

    static constexpr std::size_t kBucketSlots = 12;
    // A tag byte is 0 for an empty slot, else eight bits of the entry's hash (0 read as 1):
    // about one in 255 occupied slots met by a probe that misses needs a look at the arena.
    static constexpr std::uint8_t kEmpty = 0;
    struct alignas(64) Bucket {
        std::uint8_t tags[kBucketSlots];  // filled from the front, never emptied
        // Set once an entry whose probe passed through here went on to a later bucket: a probe
        // that misses ends at the first bucket without it.
        std::uint8_t overflowed;
        std::uint8_t unused[3];
        Offset offsets[kBucketSlots];
    };
    static_assert(sizeof(Bucket) == 64, "one cache line per bucket");
    // Probing never wraps around: a run that passes the last home bucket goes on into buckets
    // added after it, and room for kSpareBuckets of them is set aside up front.
    static constexpr std::size_t kSpareBuckets = 8;
    static std::uint8_t tagOf(std::uint64_t hash) noexcept {
        const auto tag = static_cast<std::uint8_t>(hash);
        return static_cast<std::uint8_t>(tag + (tag == kEmpty));
    }

    struct Probe {
        std::size_t start;  // the suffix is name[start..]
        std::uint64_t hash;
        std::size_t bucket;  // its home bucket
    };

    std::string_view entryAt(std::size_t offset) const noexcept;
    // The home bucket, from the hash's high bits: multiply-shift onto the home buckets.
    std::size_t indexOf(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * homeBuckets_) >>
                                        64);
    }
    bool matchesFrom(std::size_t bucket, std::uint64_t hash, std::string_view text) const noexcept;
    bool anyProbeHits(std::string_view name, const Probe* probes, std::size_t count) const noexcept;
    template <class Padded>
    bool probeSuffixes(const Padded& name) const noexcept;

    std::vector<char, LargePageAllocator<char>> arena_;
    // Empty for the empty set.
    std::vector<Bucket, LargePageAllocator<Bucket>> buckets_;
    std::size_t homeBuckets_ = 0;
    std::size_t count_ = 0;
    std::uint64_t seed_ = 0;
};

// Collects canonical entries into a DomainSet; equal entries collapse into one. Entries go into
// the arena as they come; the table is built once, in finish, when their number is known.
class DomainSetBuilder {
  public:
    // The hint sizes the arena up front so that a big list is read without copying it as it
    // grows; it need not be exact. maxArenaBytes is lowered, and the seed fixed, only by tests.
    // The set's big arrays are given the host's page advice (see LargePageAllocator).
    explicit DomainSetBuilder(std::size_t expectedBytes = 0,
                              std::size_t maxArenaBytes = DomainSet::kMaxArenaBytes,
                              std::uint64_t seed = randomSeed(), PageAdvice advice = nullptr);

    // A fresh seed from the system's randomness for each set, so that nobody can know in advance
    // which entries share a bucket.
    static std::uint64_t randomSeed() noexcept;

    // Adds one entry, already in canonical form; empty text is ignored. False when the arena has
    // no room for it (duplicates take room until finish collapses them): the set is then not
    // the whole list.
    bool add(std::string_view canonicalEntry);

    // The finished set, duplicates collapsed into their first occurrence. Its table and arena
    // are sized by the distinct entries, however many duplicates came in.
    DomainSet finish() &&;

  private:
    static std::size_t bucketsFor(std::size_t entries);
    void insertOffset(std::uint64_t hash, std::size_t offset);
    void makeTable(std::size_t entries);
    void giveBackDuplicatesRoom();

    DomainSet set_;
    std::size_t added_ = 0;  // entries in the arena, duplicates included
    std::size_t maxArenaBytes_;
};

}  // namespace sieveharbor::blocklist

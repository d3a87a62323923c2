#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "blocklist/large_page_allocator.h"

namespace sieveharbor::blocklist {

// An immutable set of blocked domains, kept compact: every entry's text lives in one arena
// (a length byte or two, then the bytes), indexed by an open-addressing table with linear
// probing. The table is split in two parallel arrays: one tag byte per slot, and the arena
// offsets. A probe that misses reads only tag bytes (2 MiB for a million entries, small enough
// to stay in the last-level cache); offsets and arena are read only when a tag matches.
// A million entries cost three heap blocks, not a million nodes.
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
    // one right-to-left pass and their probes are issued together, so the cache misses of a
    // large table overlap instead of adding up.
    bool containsNameOrParent(std::string_view name) const noexcept;

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    // Heap bytes held by the set (arena and table capacity).
    std::size_t heapBytes() const noexcept;

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

    // A tag byte is 0 for an empty slot, else 0x80 | seven bits of the entry's hash: one in 128
    // occupied slots met by a probe that misses needs a look at the arena.
    static constexpr std::uint8_t kEmpty = 0;
    // Probing never wraps around: no probe starts in the last kOverflowSlots + kGroup slots, so
    // a run that starts near the end goes on into the overflow slots (the table grows in the rare
    // case that it would run past them), and the last group of tags stays empty, so a probe reads
    // any group of eight tags without a bounds test.
    static constexpr std::size_t kOverflowSlots = 64;
    static constexpr std::size_t kGroup = 8;
    static constexpr std::size_t kTailSlots = kOverflowSlots + kGroup;
    static std::uint8_t tagOf(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(0x80 | (hash & 0x7F));
    }

    struct Probe {
        std::size_t start;  // the suffix is name[start..]
        std::uint64_t hash;
    };

    std::string_view entryAt(std::size_t offset) const noexcept;
    // The home slot, from the hash's high bits: multiply-shift onto the slots a probe may start in.
    std::size_t indexOf(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(
            (static_cast<unsigned __int128>(hash) * (slots_ - kTailSlots)) >> 64);
    }
    bool matchesAt(std::size_t index, std::uint64_t hash, std::string_view text) const noexcept;
    bool anyProbeHits(std::string_view name, const Probe* probes, std::size_t count) const noexcept;

    std::vector<char, LargePageAllocator<char>> arena_;
    // Slot arrays of slots_ entries (a power of two, so that huge pages hold them without a
    // partly used page at the end); offsets_ leaves out the last, always empty, group. All
    // empty for the empty set.
    std::vector<std::uint8_t, LargePageAllocator<std::uint8_t>> tags_;
    std::vector<Offset, LargePageAllocator<Offset>> offsets_;
    std::size_t slots_ = 0;
    std::size_t count_ = 0;
};

// Collects canonical entries into a DomainSet; equal entries collapse into one.
class DomainSetBuilder {
  public:
    // Hints size the arena and table up front so that a big list is built without regrowth;
    // they need not be exact. maxArenaBytes is lowered only by tests.
    explicit DomainSetBuilder(std::size_t expectedEntries = 0, std::size_t expectedBytes = 0,
                              std::size_t maxArenaBytes = DomainSet::kMaxArenaBytes);

    // Adds one entry, already in canonical form and non-empty; empty text is ignored. False when
    // the entry is new but the arena has no room for it: the set is then not the whole list.
    bool add(std::string_view canonicalEntry);

    std::size_t size() const noexcept { return set_.count_; }

    // The finished set; the table is trimmed to the entries actually added.
    DomainSet finish() &&;

  private:
    static std::size_t slotsFor(std::size_t entries);
    // Rebuilds the table from the arena with `slots` slots, or more if a run would overflow.
    void rehash(std::size_t slots);
    // False when the probe run would leave the overflow slots: the table must grow.
    bool insertOffset(std::uint64_t hash, std::size_t offset);

    DomainSet set_;
    std::size_t maxArenaBytes_;
};

}  // namespace sieveharbor::blocklist

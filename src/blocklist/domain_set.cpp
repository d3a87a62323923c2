#include "blocklist/domain_set.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <exception>
#include <random>

#include "blocklist/suffix_hash.h"

namespace sieveharbor::blocklist {

std::string_view DomainSet::entryAt(std::size_t offset) const noexcept {
    // Length as LEB128: one byte for entries under 128 bytes, which is nearly all of them.
    std::size_t length = 0;
    unsigned shift = 0;
    unsigned char byte = 0;
    do {
        byte = static_cast<unsigned char>(arena_[offset++]);
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        shift += 7;
    } while ((byte & 0x80) != 0);
    return {arena_.data() + offset, length};
}

bool DomainSet::matchesFrom(std::size_t bucket, std::uint64_t hash,
                            std::string_view text) const noexcept {
    // The twelve tags as two words: the bytes equal to the tag are the only candidates, so a
    // probe that misses usually costs one cache line and no unpredictable branch. Empty slots
    // never match, since no tag is 0.
    static_assert(std::endian::native == std::endian::little, "byte i of a word is bits 8i..");
    static_assert(kBucketSlots == 12, "eight tags in the first word, four in the second");
    constexpr std::uint64_t kFourTags = 0x80808080;
    const std::uint64_t tagWord = tagOf(hash) * detail::kOnes;
    for (const Bucket* b = &buckets_[bucket];; ++b) {
        const auto* tags = reinterpret_cast<const char*>(b->tags);
        const auto hits = [&](std::uint64_t candidates, std::size_t first) {
            for (; candidates != 0; candidates &= candidates - 1) {
                const std::size_t slot =
                    first + static_cast<std::size_t>(std::countr_zero(candidates)) / 8;
                if (entryAt(b->offsets[slot]) == text) {
                    return true;
                }
            }
            return false;
        };
        if (hits(detail::zeroBytes8(detail::load8(tags) ^ tagWord), 0) ||
            hits(detail::zeroBytes8(detail::load8(tags + 8) ^ tagWord) & kFourTags, 8)) {
            return true;
        }
        if (b->overflowed == 0) {
            return false;
        }
    }
}

bool DomainSet::contains(std::string_view canonicalEntry) const noexcept {
    if (count_ == 0) {
        return false;
    }
    const std::uint64_t hash = detail::hashOf(canonicalEntry, seed_);
    return matchesFrom(indexOf(hash), hash, canonicalEntry);
}

bool DomainSet::anyProbeHits(std::string_view name, const Probe* probes,
                             std::size_t count) const noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (matchesFrom(probes[i].bucket, probes[i].hash, name.substr(probes[i].start))) {
            return true;
        }
    }
    return false;
}

template <class Padded>
bool DomainSet::probeSuffixes(const Padded& name) const noexcept {
    constexpr std::size_t kBatch = 16;
    Probe probes[kBatch];
    std::size_t pending = 0;
    return detail::forEachSuffixHash(name, seed_, [&](std::size_t start, std::uint64_t hash) {
        // Each bucket is fetched as soon as its hash is known, while the longer suffixes are
        // still being hashed.
        const std::size_t bucket = indexOf(hash);
        __builtin_prefetch(&buckets_[bucket]);
        probes[pending++] = {start, hash, bucket};
        if (pending < kBatch && start != 0) {
            return false;
        }
        const bool any = anyProbeHits(name.view(), probes, pending);
        pending = 0;
        return any;
    });
}

bool DomainSet::containsNameOrParent(std::string_view name) const noexcept {
    if (count_ == 0 || name.empty()) {
        return false;
    }
    return probeSuffixes(detail::PaddedLower(name));
}

bool DomainSet::containsPaddedNameOrParent(std::string_view paddedLower) const noexcept {
    if (count_ == 0 || paddedLower.empty()) {
        return false;
    }
    return probeSuffixes(detail::PaddedView(paddedLower));
}

std::size_t DomainSet::heapBytes() const noexcept {
    return arena_.capacity() + buckets_.capacity() * sizeof(Bucket);
}

std::size_t DomainSet::longestProbe() const noexcept {
    std::size_t longest = buckets_.empty() ? 0 : 1;
    std::size_t run = 1;
    for (const Bucket& bucket : buckets_) {
        run = bucket.overflowed != 0 ? run + 1 : 1;
        longest = std::max(longest, run);
    }
    return longest;
}

// Buckets hold 7.2 entries on average (0.6 of their slots), so few overflow into the next
// bucket: about 8.9 table bytes per entry.
std::size_t DomainSetBuilder::bucketsFor(std::size_t entries) {
    return entries * 5 / 36 + 1;
}

std::uint64_t DomainSetBuilder::randomSeed() noexcept {
    std::uint64_t seed = 0;
    try {
        std::random_device device;  // 32 bits a call
        seed = (std::uint64_t{device()} << 32) | device();
    } catch (const std::exception&) {
        // Only where the system offers no randomness at all: still differs from run to run.
        seed = static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
               reinterpret_cast<std::uintptr_t>(&seed);
    }
    return seed;
}

DomainSetBuilder::DomainSetBuilder(std::size_t expectedBytes, std::size_t maxArenaBytes,
                                   std::uint64_t seed, PageAdvice advice)
    : set_(advice), maxArenaBytes_(std::min(maxArenaBytes, DomainSet::kMaxArenaBytes)) {
    set_.seed_ = seed;
    set_.arena_.reserve(std::min(expectedBytes, maxArenaBytes_));
}

void DomainSetBuilder::makeTable(std::size_t entries) {
    DomainSet& set = set_;
    set.homeBuckets_ = bucketsFor(entries);
    // A fresh vector rather than a resize, so that a table sized for the duplicates too is given
    // back whole.
    std::vector<DomainSet::Bucket, LargePageAllocator<DomainSet::Bucket>> buckets(
        set.buckets_.get_allocator());
    buckets.reserve(set.homeBuckets_ + DomainSet::kSpareBuckets);
    buckets.assign(set.homeBuckets_, DomainSet::Bucket{});
    set.buckets_.swap(buckets);
}

void DomainSetBuilder::insertOffset(std::uint64_t hash, std::size_t offset) {
    auto& buckets = set_.buckets_;
    for (std::size_t index = set_.indexOf(hash);; ++index) {
        if (index == buckets.size()) {
            buckets.emplace_back();
        }
        DomainSet::Bucket& bucket = buckets[index];
        for (std::size_t slot = 0; slot < DomainSet::kBucketSlots; ++slot) {
            if (bucket.tags[slot] == DomainSet::kEmpty) {
                bucket.tags[slot] = DomainSet::tagOf(hash);
                bucket.offsets[slot] = static_cast<DomainSet::Offset>(offset);
                return;
            }
        }
        bucket.overflowed = 1;
    }
}

bool DomainSetBuilder::add(std::string_view canonicalEntry) {
    if (canonicalEntry.empty()) {
        return true;
    }
    const std::size_t offset = set_.arena_.size();
    constexpr std::size_t kLengthBytes = 10;  // LEB128 of any 64-bit length
    if (canonicalEntry.size() > maxArenaBytes_ - offset ||
        maxArenaBytes_ - offset - canonicalEntry.size() < kLengthBytes) {
        return false;
    }
    for (std::size_t length = canonicalEntry.size();; length >>= 7) {
        const auto low = static_cast<char>(length & 0x7F);
        if (length < 0x80) {
            set_.arena_.push_back(low);
            break;
        }
        set_.arena_.push_back(static_cast<char>(low | 0x80));
    }
    set_.arena_.insert(set_.arena_.end(), canonicalEntry.begin(), canonicalEntry.end());
    ++added_;
    return true;
}

DomainSet DomainSetBuilder::finish() && {
    DomainSet& set = set_;
    if (added_ > 0) {
        makeTable(added_);
    }
    // One pass over the arena in batches: first the hashes, with their home buckets prefetched so
    // that the cache misses of a batch overlap; then each entry is looked up and, unless it is a
    // duplicate, moved down over the duplicates before it and indexed.
    struct Pending {
        std::size_t offset;
        std::size_t bytes;  // length prefix and text
        std::uint64_t hash;
    };
    constexpr std::size_t kBatch = 16;
    Pending batch[kBatch];
    char* const arena = set.arena_.data();
    std::size_t write = 0;
    for (std::size_t read = 0; read < set.arena_.size();) {
        std::size_t n = 0;
        for (; n < kBatch && read < set.arena_.size(); ++n) {
            const std::string_view entry = set.entryAt(read);
            const auto next = static_cast<std::size_t>(entry.data() + entry.size() - arena);
            batch[n] = {read, next - read, detail::hashOf(entry, set.seed_)};
            __builtin_prefetch(&set.buckets_[set.indexOf(batch[n].hash)]);
            read = next;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Pending& entry = batch[i];
            // Entries before this one have only moved down, so its text is still in place.
            if (set.matchesFrom(set.indexOf(entry.hash), entry.hash, set.entryAt(entry.offset))) {
                continue;
            }
            std::memmove(arena + write, arena + entry.offset, entry.bytes);
            insertOffset(entry.hash, write);
            write += entry.bytes;
            ++set.count_;
        }
    }
    set.arena_.resize(write);
    giveBackDuplicatesRoom();
    return std::move(set);
}

void DomainSetBuilder::giveBackDuplicatesRoom() {
    DomainSet& set = set_;
    // A mapped arena mostly used is left as it is: its unused tail was never touched, so it holds
    // no memory, while a shrink would copy the whole arena and briefly need it twice. One less
    // than half used held duplicates (or the size hint was far off): the copy is then small.
    if (set.arena_.capacity() < LargePageAllocator<char>::kHugePage ||
        set.arena_.size() < set.arena_.capacity() / 2) {
        set.arena_.shrink_to_fit();
    }
    // A table sized for many duplicates is built again for the distinct entries alone.
    if (set.count_ > 0 && bucketsFor(set.count_) < set.homeBuckets_ / 2) {
        makeTable(set.count_);
        for (std::size_t offset = 0; offset < set.arena_.size();) {
            const std::string_view entry = set.entryAt(offset);
            insertOffset(detail::hashOf(entry, set.seed_), offset);
            offset = static_cast<std::size_t>(entry.data() + entry.size() - set.arena_.data());
        }
    }
}

}  // namespace sieveharbor::blocklist

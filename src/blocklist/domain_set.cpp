#include "blocklist/domain_set.h"

#include <algorithm>
#include <bit>

#include "blocklist/suffix_hash.h"

namespace sieveharbor::blocklist {
namespace {

using detail::hashOf;

// `v = {}` would keep the capacity; moving an empty vector in frees it.
template <class Vector>
void releaseMemory(Vector& v) {
    v = Vector();
}

}  // namespace

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

bool DomainSet::matchesAt(std::size_t index, std::uint64_t hash,
                          std::string_view text) const noexcept {
    // Eight tags at a time: the bytes equal to the tag before the first empty one are the only
    // candidates, so a probe that misses usually costs one load and no unpredictable branch.
    static_assert(std::endian::native == std::endian::little, "byte i of a group is bits 8i..");
    const std::uint64_t tagWord = tagOf(hash) * detail::kOnes;
    for (;; index += kGroup) {
        const std::uint64_t group = detail::load8(reinterpret_cast<const char*>(&tags_[index]));
        const std::uint64_t empty = detail::zeroBytes8(group);
        std::uint64_t candidates = detail::zeroBytes8(group ^ tagWord);
        if (empty != 0) {
            candidates &= (empty & (~empty + 1)) - 1;  // below the lowest empty byte
        }
        while (candidates != 0) {
            const std::size_t slot =
                index + static_cast<std::size_t>(std::countr_zero(candidates)) / 8;
            if (entryAt(offsets_[slot]) == text) {
                return true;
            }
            candidates &= candidates - 1;
        }
        if (empty != 0) {
            return false;
        }
    }
}

bool DomainSet::contains(std::string_view canonicalEntry) const noexcept {
    if (count_ == 0) {
        return false;
    }
    const std::uint64_t hash = hashOf(canonicalEntry);
    return matchesAt(indexOf(hash), hash, canonicalEntry);
}

bool DomainSet::anyProbeHits(std::string_view name, const Probe* probes,
                             std::size_t count) const noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        __builtin_prefetch(&tags_[indexOf(probes[i].hash)]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (matchesAt(indexOf(probes[i].hash), probes[i].hash, name.substr(probes[i].start))) {
            return true;
        }
    }
    return false;
}

bool DomainSet::containsNameOrParent(std::string_view name) const noexcept {
    if (count_ == 0 || name.empty()) {
        return false;
    }
    const detail::PaddedLower lowered(name);
    constexpr std::size_t kBatch = 16;
    Probe probes[kBatch];
    std::size_t pending = 0;
    const bool hit = detail::forEachSuffixHash(lowered, [&](std::size_t start, std::uint64_t hash) {
        probes[pending++] = {start, hash};
        if (pending < kBatch && start != 0) {
            return false;
        }
        const bool any = anyProbeHits(lowered.view(), probes, pending);
        pending = 0;
        return any;
    });
    return hit;
}

std::size_t DomainSet::heapBytes() const noexcept {
    return arena_.capacity() + tags_.capacity() + offsets_.capacity() * sizeof(Offset);
}

// Load factor stays at or below 0.7 (of the slots a probe may start in): short probe runs, and
// at most 9 / 0.35 table bytes per entry right after a doubling.
std::size_t DomainSetBuilder::slotsFor(std::size_t entries) {
    const std::size_t needed = entries + entries * 3 / 7 + 1 + DomainSet::kTailSlots;
    return std::bit_ceil(std::max<std::size_t>(needed, 128));
}

DomainSetBuilder::DomainSetBuilder(std::size_t expectedEntries, std::size_t expectedBytes,
                                   std::size_t maxArenaBytes)
    : maxArenaBytes_(std::min(maxArenaBytes, DomainSet::kMaxArenaBytes)) {
    set_.arena_.reserve(std::min(expectedBytes, maxArenaBytes_));
    if (expectedEntries > 0) {
        rehash(slotsFor(expectedEntries));
    }
}

bool DomainSetBuilder::insertOffset(std::uint64_t hash, std::size_t offset) {
    const std::size_t end = set_.slots_ - DomainSet::kGroup;
    for (std::size_t index = set_.indexOf(hash); index < end; ++index) {
        if (set_.tags_[index] == DomainSet::kEmpty) {
            set_.tags_[index] = DomainSet::tagOf(hash);
            set_.offsets_[index] = static_cast<DomainSet::Offset>(offset);
            return true;
        }
    }
    return false;
}

void DomainSetBuilder::rehash(std::size_t slots) {
    for (;; slots *= 2) {
        // Release the old arrays first so that regrowth never holds two tables at once.
        releaseMemory(set_.tags_);
        releaseMemory(set_.offsets_);
        set_.tags_.assign(slots, DomainSet::kEmpty);
        set_.offsets_.assign(slots - DomainSet::kGroup, 0);
        set_.slots_ = slots;
        // The arena is walked in order, so regrowth reads memory sequentially.
        bool placed = true;
        for (std::size_t offset = 0; placed && offset < set_.arena_.size();) {
            const std::string_view entry = set_.entryAt(offset);
            placed = insertOffset(hashOf(entry), offset);
            offset = static_cast<std::size_t>(entry.data() + entry.size() - set_.arena_.data());
        }
        if (placed) {
            return;
        }
    }
}

bool DomainSetBuilder::add(std::string_view canonicalEntry) {
    if (canonicalEntry.empty()) {
        return true;
    }
    if (slotsFor(set_.count_ + 1) > set_.slots_) {
        rehash(slotsFor(set_.count_ + 1));
    }
    const std::uint64_t hash = hashOf(canonicalEntry);
    if (set_.matchesAt(set_.indexOf(hash), hash, canonicalEntry)) {
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
    ++set_.count_;
    if (!insertOffset(hash, offset)) {
        rehash(set_.slots_ * 2);  // places the new entry too: it is in the arena already
    }
    return true;
}

DomainSet DomainSetBuilder::finish() && {
    if (set_.count_ == 0) {
        releaseMemory(set_.tags_);
        releaseMemory(set_.offsets_);
        set_.slots_ = 0;
    } else if (set_.slots_ > slotsFor(set_.count_)) {
        rehash(slotsFor(set_.count_));
    }
    // A mapped arena is left as it is: its unused tail was never touched, so it holds no memory,
    // while a shrink would copy the whole arena and briefly need it twice.
    if (set_.arena_.capacity() < LargePageAllocator<char>::kHugePage) {
        set_.arena_.shrink_to_fit();
    }
    return std::move(set_);
}

}  // namespace sieveharbor::blocklist

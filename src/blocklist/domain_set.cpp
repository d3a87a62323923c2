#include "blocklist/domain_set.h"

#include <bit>

#include "text/text.h"

namespace sieveharbor::blocklist {
namespace {

// Entries come from the user's own file, not from the network, so queries cannot shape the
// table; a fixed seed keeps layouts (and benchmarks) reproducible.
constexpr std::uint64_t kSeed = 0xcbf29ce484222325ULL;

// FNV-1a steps fed from the last byte towards the first: the state after each "." is the hash
// of the suffix behind it, so one pass yields the hashes of the name and of all its parents.
inline std::uint64_t step(std::uint64_t h, char c) noexcept {
    return (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
}

// Murmur3's finaliser spreads the state over all 64 bits: the high bits pick the slot, the low
// bits make the tag.
inline std::uint64_t finalize(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

std::uint64_t hashText(std::string_view text) noexcept {
    std::uint64_t h = kSeed;
    for (std::size_t i = text.size(); i-- > 0;) {
        h = step(h, text[i]);
    }
    return finalize(h);
}

bool equalsLowered(std::string_view entry, std::string_view text) noexcept {
    if (entry.size() != text.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text::asciiLower(text[i]) != entry[i]) {
            return false;
        }
    }
    return true;
}

// Load factor stays at or below 0.7: short probe runs, and at most 8 / 0.35 table bytes per
// entry right after a doubling.
std::size_t slotsFor(std::size_t entries) {
    std::size_t needed = entries + entries * 3 / 7 + 1;
    return std::bit_ceil(needed < 16 ? std::size_t{16} : needed);
}

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
    const std::size_t mask = tags_.size() - 1;
    const std::uint8_t tag = tagOf(hash);
    for (;; index = (index + 1) & mask) {
        const std::uint8_t slotTag = tags_[index];
        if (slotTag == kEmpty) {
            return false;
        }
        if (slotTag == tag && equalsLowered(entryAt(offsets_[index]), text)) {
            return true;
        }
    }
}

bool DomainSet::contains(std::string_view canonicalEntry) const noexcept {
    if (count_ == 0) {
        return false;
    }
    const std::uint64_t hash = hashText(canonicalEntry);
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
    constexpr std::size_t kBatch = 16;
    Probe probes[kBatch];
    std::size_t pending = 0;
    std::uint64_t h = kSeed;
    for (std::size_t i = name.size(); i-- > 0;) {
        const char c = text::asciiLower(name[i]);
        // An empty suffix (a trailing dot) can never be an entry.
        if (c == '.' && i + 1 < name.size()) {
            probes[pending++] = {i + 1, finalize(h)};
            if (pending == kBatch) {
                if (anyProbeHits(name, probes, pending)) {
                    return true;
                }
                pending = 0;
            }
        }
        h = step(h, c);
    }
    probes[pending++] = {0, finalize(h)};
    return anyProbeHits(name, probes, pending);
}

std::size_t DomainSet::heapBytes() const noexcept {
    return arena_.capacity() + tags_.capacity() + offsets_.capacity() * sizeof(std::uint64_t);
}

DomainSetBuilder::DomainSetBuilder(std::size_t expectedEntries, std::size_t expectedBytes) {
    set_.arena_.reserve(expectedBytes);
    if (expectedEntries > 0) {
        rehash(slotsFor(expectedEntries));
    }
}

void DomainSetBuilder::insertOffset(std::uint64_t hash, std::size_t offset) {
    const std::size_t mask = set_.tags_.size() - 1;
    std::size_t index = set_.indexOf(hash);
    while (set_.tags_[index] != DomainSet::kEmpty) {
        index = (index + 1) & mask;
    }
    set_.tags_[index] = DomainSet::tagOf(hash);
    set_.offsets_[index] = offset;
}

void DomainSetBuilder::rehash(std::size_t slotCount) {
    // Release the old arrays first so that regrowth never holds two tables at once.
    releaseMemory(set_.tags_);
    releaseMemory(set_.offsets_);
    set_.tags_.assign(slotCount, DomainSet::kEmpty);
    set_.offsets_.assign(slotCount, 0);
    set_.shift_ = 64 - static_cast<unsigned>(std::countr_zero(slotCount));
    // The arena is walked in order, so regrowth reads memory sequentially.
    for (std::size_t offset = 0; offset < set_.arena_.size();) {
        const std::string_view entry = set_.entryAt(offset);
        insertOffset(hashText(entry), offset);
        offset = static_cast<std::size_t>(entry.data() + entry.size() - set_.arena_.data());
    }
}

void DomainSetBuilder::add(std::string_view canonicalEntry) {
    if (canonicalEntry.empty()) {
        return;
    }
    if (slotsFor(set_.count_ + 1) > set_.tags_.size()) {
        rehash(slotsFor(set_.count_ + 1));
    }
    const std::uint64_t hash = hashText(canonicalEntry);
    if (set_.matchesAt(set_.indexOf(hash), hash, canonicalEntry)) {
        return;
    }
    const std::size_t offset = set_.arena_.size();
    for (std::size_t length = canonicalEntry.size();; length >>= 7) {
        const auto low = static_cast<char>(length & 0x7F);
        if (length < 0x80) {
            set_.arena_.push_back(low);
            break;
        }
        set_.arena_.push_back(static_cast<char>(low | 0x80));
    }
    set_.arena_.insert(set_.arena_.end(), canonicalEntry.begin(), canonicalEntry.end());
    insertOffset(hash, offset);
    ++set_.count_;
}

DomainSet DomainSetBuilder::finish() && {
    if (set_.count_ == 0) {
        releaseMemory(set_.tags_);
        releaseMemory(set_.offsets_);
        set_.shift_ = 64;
    } else if (set_.tags_.size() > slotsFor(set_.count_)) {
        rehash(slotsFor(set_.count_));
    }
    set_.arena_.shrink_to_fit();
    return std::move(set_);
}

}  // namespace sieveharbor::blocklist

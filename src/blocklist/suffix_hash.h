#pragma once

// Hashing of a name and of all its parent suffixes in one pass, label by label from the right.
// A text's hash is built from its labels (split at every ".") right to left, so the state after
// the labels right of a "." is exactly the hash of the suffix behind that ".", and an entry
// hashes the same as the equal suffix of any name.
//
// The name is first copied lower-cased (A-Z only) into a buffer padded with zero bytes, so labels
// are read eight bytes at a time without ever reading outside the buffer.

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace sieveharbor::blocklist::detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// A-Z to a-z in eight bytes at once; bytes of 0x80 and above are left alone. The additions
// never carry across bytes, since each adds at most 0x3F to a byte of at most 0x7F.
inline std::uint64_t lowerAscii8(std::uint64_t w) noexcept {
    const std::uint64_t heptets = w & ~kHighBits;
    const std::uint64_t atLeastA = heptets + (0x80 - 'A') * kOnes;
    const std::uint64_t aboveZ = heptets + (0x80 - 'Z' - 1) * kOnes;
    const std::uint64_t upper = atLeastA & ~aboveZ & ~w & kHighBits;
    return w | (upper >> 2);
}

// The high bit of every zero byte of w; exact, with no false hits next to a zero byte (the
// additions cannot carry, since the high bits are cleared first).
inline std::uint64_t zeroBytes8(std::uint64_t w) noexcept {
    return ~(((w & ~kHighBits) + ~kHighBits) | w) & kHighBits;
}

// The high bit of every byte of w that is ".".
inline std::uint64_t dotBits8(std::uint64_t w) noexcept {
    return zeroBytes8(w ^ ('.' * kOnes));
}

inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// 64x64 -> 128-bit multiply, folded: the mixing step of the wyhash family.
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline constexpr std::uint64_t kSalt1 = 0xa0761d6478bd642fULL;
inline constexpr std::uint64_t kSalt2 = 0xe7037ed1a0b428dbULL;

// Folds one label into the hash of the labels right of it. `label` points into a padded buffer.
inline std::uint64_t addLabel(std::uint64_t h, const char* label, std::size_t length) noexcept {
    std::uint64_t lengthAndState = h ^ (length * kSalt2);
    std::size_t left = length;
    const char* p = label;
    while (left > 16) {
        lengthAndState = mix(load8(p) ^ kSalt1, load8(p + 8) ^ lengthAndState);
        p += 16;
        left -= 16;
    }
    // The last 1..16 bytes (or none, for an empty label), with the padding masked off.
    auto masked = [](std::uint64_t w, std::size_t bytes) {
        return bytes >= 8 ? w : (bytes == 0 ? 0 : w & (~std::uint64_t{0} >> (64 - 8 * bytes)));
    };
    const std::uint64_t low = masked(load8(p), left);
    const std::uint64_t high = left > 8 ? masked(load8(p + 8), left - 8) : 0;
    return mix(low ^ kSalt1 ^ lengthAndState, high ^ kSalt2);
}

// A lower-cased copy of a name followed by at least 8 zero bytes; on the stack for names of
// ordinary length.
class PaddedLower {
  public:
    explicit PaddedLower(std::string_view name) : size_(name.size()) {
        char* out = stack_;
        if (size_ > kStackBytes - 16) {
            heap_ = std::make_unique<char[]>(size_ + 16);
            out = heap_.get();
        }
        data_ = out;
        std::size_t i = 0;
        for (; i + 8 <= size_; i += 8) {
            const std::uint64_t w = lowerAscii8(load8(name.data() + i));
            std::memcpy(out + i, &w, 8);
        }
        for (; i < size_; ++i) {
            const char c = name[i];
            out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        std::memset(out + size_, 0, 16);
    }

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::string_view view() const noexcept { return {data_, size_}; }

  private:
    static constexpr std::size_t kStackBytes = 272;
    std::size_t size_;
    char stack_[kStackBytes];
    std::unique_ptr<char[]> heap_;
    const char* data_;
};

// A name already lower-cased (A-Z at least) that has 8 readable zero bytes after it, read where
// it lies.
class PaddedView {
  public:
    explicit PaddedView(std::string_view name) noexcept : name_(name) {}
    const char* data() const noexcept { return name_.data(); }
    std::size_t size() const noexcept { return name_.size(); }
    std::string_view view() const noexcept { return name_; }

  private:
    std::string_view name_;
};

// Calls visit(start, hash) for each non-empty suffix that follows a "." and then for the whole
// name (start 0), from the shortest suffix to the longest; returns true as soon as visit does.
// The seed starts every hash: a set seeded at random cannot be flooded by a list made to collide.
// Padded is PaddedLower or PaddedView.
template <class Padded, class Visit>
bool forEachSuffixHash(const Padded& name, std::uint64_t seed, Visit&& visit) {
    const char* const data = name.data();
    const std::size_t size = name.size();
    std::uint64_t h = seed;
    std::size_t labelEnd = size;
    // Words from the last to the first, and within a word its dots from the highest byte down,
    // so dots come in falling order. The padding holds no dots.
    for (std::size_t word = (size + 7) / 8; word-- > 0;) {
        std::uint64_t dots = dotBits8(load8(data + word * 8));
        while (dots != 0) {
            const unsigned bit = 63 - static_cast<unsigned>(std::countl_zero(dots));
            dots &= ~(std::uint64_t{1} << bit);
            const std::size_t dot = word * 8 + bit / 8;
            h = addLabel(h, data + dot + 1, labelEnd - dot - 1);
            labelEnd = dot;
            if (dot + 1 < size && visit(dot + 1, h)) {
                return true;
            }
        }
    }
    h = addLabel(h, data, labelEnd);
    return visit(std::size_t{0}, h);
}

// The hash of a whole text, as forEachSuffixHash gives it for start 0.
inline std::uint64_t hashOf(std::string_view text, std::uint64_t seed) {
    std::uint64_t whole = 0;
    forEachSuffixHash(PaddedLower(text), seed, [&](std::size_t start, std::uint64_t h) {
        whole = h;
        return start == 0;
    });
    return whole;
}

}  // namespace sieveharbor::blocklist::detail

#include "text/text.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uidna.h>

#include <cstdint>
#include <cstring>

namespace sieveharbor::text {

bool isAscii(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    // Eight bytes at a time: names and list lines are almost always plain ASCII.
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & 0x8080808080808080ULL) != 0) {
            return false;
        }
        p += 8;
        n -= 8;
    }
    for (; n > 0; --n, ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool isWellFormedUtf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    auto isTrail = [](unsigned char b) { return isContinuationByte(static_cast<char>(b)); };
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        const auto left = static_cast<std::size_t>(end - p);
        if (b >= 0xC2 && b <= 0xDF) {
            if (left < 2 || !isTrail(p[1])) {
                return false;
            }
            p += 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            if (left < 3) {
                return false;
            }
            // E0 needs A0..BF (no overlongs); ED needs 80..9F (no surrogates).
            const unsigned char lo = (b == 0xE0) ? 0xA0 : 0x80;
            const unsigned char hi = (b == 0xED) ? 0x9F : 0xBF;
            if (p[1] < lo || p[1] > hi || !isTrail(p[2])) {
                return false;
            }
            p += 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            if (left < 4) {
                return false;
            }
            // F0 needs 90..BF (no overlongs); F4 needs 80..8F (nothing above U+10FFFF).
            const unsigned char lo = (b == 0xF0) ? 0x90 : 0x80;
            const unsigned char hi = (b == 0xF4) ? 0x8F : 0xBF;
            if (p[1] < lo || p[1] > hi || !isTrail(p[2]) || !isTrail(p[3])) {
                return false;
            }
            p += 4;
        } else {
            return false;  // a stray trail byte, C0/C1 overlong leads, or F5..FF
        }
    }
    return true;
}

AsciiScan asciiLowerInPlace(std::string& text) noexcept {
    char* const p = text.data();
    const std::size_t n = text.size();
    if (n < 8) {
        AsciiScan scan;
        for (std::size_t i = 0; i < n; ++i) {
            scan.ascii = scan.ascii && static_cast<unsigned char>(p[i]) < 0x80;
            scan.hyphen = scan.hyphen || p[i] == '-';
            p[i] = asciiLower(p[i]);
        }
        return {scan.ascii, scan.ascii && scan.hyphen};
    }
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighBits = kOnes << 7;
    std::uint64_t high = 0;
    std::uint64_t hyphens = 0;
    // Each byte's low seven bits are compared by adding to them, which cannot carry into the next
    // byte; a byte with its high bit set is left alone. A '-' is the one ASCII byte that XOR with
    // '-' turns to zero, which the subtraction finds. The last eight bytes are read even where
    // they overlap the word before: lowering twice changes nothing.
    const auto take = [&](std::size_t at) {
        std::uint64_t word;
        std::memcpy(&word, p + at, 8);
        const std::uint64_t low = word & ~kHighBits;
        const std::uint64_t capitals =
            (low + kOnes * (0x80 - 'A')) & ~(low + kOnes * (0x80 - 'Z' - 1)) & ~word & kHighBits;
        high |= word & kHighBits;
        const std::uint64_t x = low ^ (kOnes * '-');
        hyphens |= (x - kOnes) & ~x & kHighBits;
        word |= capitals >> 2;
        std::memcpy(p + at, &word, 8);
    };
    for (std::size_t at = 0; at + 8 <= n; at += 8) {
        take(at);
    }
    take(n - 8);
    return {high == 0, high == 0 && hyphens != 0};
}

std::string toLower(std::string_view utf8) {
    std::string out(utf8);
    if (!fitsIcu(utf8) || isAscii(utf8) || !isWellFormedUtf8(utf8)) {
        asciiLowerInPlace(out);
        return out;
    }
    out.clear();
    icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(utf8.size()));
    UErrorCode status = U_ZERO_ERROR;
    // The empty locale id is the root locale: the default mapping, with no Turkish or
    // Lithuanian tailoring whatever the process locale is.
    icu::CaseMap::utf8ToLower("", 0,
                              icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())),
                              sink, nullptr, status);
    if (U_FAILURE(status)) {
        out.assign(utf8);
        asciiLowerInPlace(out);
    }
    return out;
}

std::string toNfc(std::string_view utf8) {
    if (!fitsIcu(utf8) || isAscii(utf8) || !isWellFormedUtf8(utf8)) {
        return std::string(utf8);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    const icu::StringPiece piece(utf8.data(), static_cast<int32_t>(utf8.size()));
    if (U_FAILURE(status)) {
        return std::string(utf8);
    }
    if (nfc->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) {
        return std::string(utf8);
    }
    status = U_ZERO_ERROR;
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(utf8.size()));
    nfc->normalizeUTF8(0, piece, sink, nullptr, status);
    if (U_FAILURE(status)) {
        return std::string(utf8);
    }
    return out;
}

std::string canonicalLower(std::string_view utf8) {
    if (isAscii(utf8)) {
        std::string out(utf8);
        asciiLowerInPlace(out);
        return out;
    }
    return toNfc(toLower(utf8));
}

namespace {

// ICU's UTS #46 processor: immutable once made and safe to share between threads, so it is made
// once, like ICU's own normaliser instances. Null when ICU cannot make it.
const UIDNA* uts46() {
    static const UIDNA* const idna = [] {
        UErrorCode status = U_ZERO_ERROR;
        UIDNA* made =
            uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_NONTRANSITIONAL_TO_UNICODE |
                                UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ,
                            &status);
        return U_SUCCESS(status) ? made : nullptr;
    }();
    return idna;
}

using IdnaConversion = int32_t (*)(const UIDNA*, const char*, int32_t, char*, int32_t, UIDNAInfo*,
                                   UErrorCode*);

std::optional<std::string> convertName(IdnaConversion conversion, std::string_view utf8) {
    const UIDNA* idna = uts46();
    if (idna == nullptr || !fitsIcu(utf8) || !isWellFormedUtf8(utf8)) {
        return std::nullopt;
    }
    // Room for a name that grows a little; a longer result is written again into room of its
    // exact size.
    std::string out(utf8.size() + 32, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UIDNAInfo info = UIDNA_INFO_INITIALIZER;
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length =
            conversion(idna, utf8.data(), static_cast<int32_t>(utf8.size()), out.data(),
                       static_cast<int32_t>(out.size()), &info, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(static_cast<std::size_t>(length), '\0');
            continue;
        }
        if (U_FAILURE(status) || info.errors != 0) {
            return std::nullopt;
        }
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> idnaToAscii(std::string_view utf8) {
    return convertName(uidna_nameToASCII_UTF8, utf8);
}

std::optional<std::string> idnaToUnicode(std::string_view utf8) {
    return convertName(uidna_nameToUnicodeUTF8, utf8);
}

bool hasAceLabel(std::string_view name) noexcept {
    // "--" is rare in names, so the search is mostly one pass for a '-' that finds none.
    for (std::size_t at = name.find("--", 2); at != std::string_view::npos;
         at = name.find("--", at + 1)) {
        const bool labelStart = at == 2 || name[at - 3] == '.';
        if (labelStart && asciiLower(name[at - 2]) == 'x' && asciiLower(name[at - 1]) == 'n') {
            return true;
        }
    }
    return false;
}

}  // namespace sieveharbor::text

#include "text/text.h"

#include <unicode/ucasemap.h>
#include <unicode/uidna.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

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

namespace {

// Only ICU's C API is used: its C++ API has no stable ABI, and macOS offers ICU only as the
// system's libicucore. Lengths go to ICU as int32_t; callers check fitsIcu first.
template <class Text>
int32_t icuLength(const Text& text) noexcept {
    return static_cast<int32_t>(text.size());
}

// Calls write(dest, capacity, status), an ICU function that writes into a buffer and returns the
// length of its whole result, with room for `guess` units; when that was too little, once more
// with room for the result. `out` holds the result; false when ICU fails.
template <class Out, class Write>
bool writeGrowing(Out& out, std::size_t guess, Write write) {
    out.resize(std::min<std::size_t>(guess, std::numeric_limits<int32_t>::max()));
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = write(out.data(), icuLength(out), status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<std::size_t>(length));
            continue;
        }
        if (U_FAILURE(status) || length < 0) {
            return false;
        }
        out.resize(static_cast<std::size_t>(length));
        return true;
    }
    return false;
}

// The root locale's case mapping: made once per process and never changed, so any thread may map
// with it at once. Null when ICU cannot make it.
const UCaseMap* rootCaseMap() {
    static const UCaseMap* const caseMap = [] {
        UErrorCode status = U_ZERO_ERROR;
        // The empty locale id is the root locale: the default mapping, with no Turkish or
        // Lithuanian tailoring whatever the process locale is.
        UCaseMap* made = ucasemap_open("", 0, &status);
        if (U_FAILURE(status)) {
            ucasemap_close(made);
            return static_cast<UCaseMap*>(nullptr);
        }
        return made;
    }();
    return caseMap;
}

// True when every character is below U+0300: each of those is its own NFC and none combines with
// the one before it (ICU's own quick check starts at U+0300), so the text is in NFC already. Most
// non-ASCII names are such Latin text. A byte of 0xCC or more leads a character of U+0300 or above.
bool belowCombiningMarks(std::string_view utf8) noexcept {
    return std::all_of(utf8.begin(), utf8.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0xCC; });
}

}  // namespace

std::string toLower(std::string_view utf8) {
    std::string out(utf8);
    const UCaseMap* caseMap = rootCaseMap();
    if (caseMap == nullptr || !fitsIcu(utf8) || isAscii(utf8) || !isWellFormedUtf8(utf8)) {
        asciiLowerInPlace(out);
        return out;
    }
    // The lower case is seldom longer ("\u0130", two bytes, becomes three).
    const bool mapped =
        writeGrowing(out, utf8.size() + 16, [&](char* dest, int32_t capacity, UErrorCode& status) {
            return ucasemap_utf8ToLower(caseMap, dest, capacity, utf8.data(), icuLength(utf8),
                                        &status);
        });
    if (!mapped) {
        out.assign(utf8);
        asciiLowerInPlace(out);
    }
    return out;
}

std::string toNfc(std::string_view utf8) {
    if (!fitsIcu(utf8) || belowCombiningMarks(utf8) || !isWellFormedUtf8(utf8)) {
        return std::string(utf8);
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status)) {
        return std::string(utf8);
    }
    // The C API normalises UTF-16 only. Well-formed UTF-8 never takes more UTF-16 units than it
    // has bytes.
    std::u16string utf16;
    const bool converted =
        writeGrowing(utf16, utf8.size(), [&](UChar* dest, int32_t capacity, UErrorCode& error) {
            int32_t length = 0;
            u_strFromUTF8(dest, capacity, &length, utf8.data(), icuLength(utf8), &error);
            return length;
        });
    if (!converted) {
        return std::string(utf8);
    }
    // Text already in NFC, nearly all text, is returned as it came rather than written again.
    const UBool normalized = unorm2_isNormalized(nfc, utf16.data(), icuLength(utf16), &status);
    if (U_FAILURE(status) || normalized) {
        return std::string(utf8);
    }
    std::u16string composed;
    std::string out;
    // NFC can be longer than its text: a few characters are never composed again.
    const bool done =
        writeGrowing(composed, utf16.size() + 16,
                     [&](UChar* dest, int32_t capacity, UErrorCode& error) {
                         return unorm2_normalize(nfc, utf16.data(), icuLength(utf16), dest,
                                                 capacity, &error);
                     }) &&
        writeGrowing(out, utf8.size() + 16, [&](char* dest, int32_t capacity, UErrorCode& error) {
            int32_t length = 0;
            u_strToUTF8(dest, capacity, &length, composed.data(), icuLength(composed), &error);
            return length;
        });
    return done ? out : std::string(utf8);
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
    std::string out;
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    const bool converted =
        writeGrowing(out, utf8.size() + 32, [&](char* dest, int32_t capacity, UErrorCode& status) {
            info = UIDNA_INFO_INITIALIZER;
            return conversion(idna, utf8.data(), icuLength(utf8), dest, capacity, &info, &status);
        });
    if (!converted || info.errors != 0) {
        return std::nullopt;
    }
    return out;
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

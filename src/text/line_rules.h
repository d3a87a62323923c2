#pragma once

// Where a line of a list ends and what is trimmed from its ends: the rules the blocklist loader
// reads a file by, kept here so that whatever writes such a file can make lines that read back
// as written. Pure, inline: the loader calls newlineLengthAt once per byte.

#include <cstddef>
#include <string_view>

namespace sieveharbor::text {

// Length in bytes of the newline character starting at `i` (LF, VT, FF, CR, NEL, U+2028,
// U+2029), or 0. Each of them ends a line on its own.
inline std::size_t newlineLengthAt(std::string_view s, std::size_t i) noexcept {
    const auto byteAt = [s](std::size_t at) { return static_cast<unsigned char>(s[at]); };
    const unsigned char b = byteAt(i);
    if (b >= 0x0A && b <= 0x0D) {
        return 1;
    }
    if (b == 0xC2 && i + 1 < s.size() && byteAt(i + 1) == 0x85) {
        return 2;  // U+0085
    }
    if (b == 0xE2 && i + 2 < s.size() && byteAt(i + 1) == 0x80 &&
        (byteAt(i + 2) == 0xA8 || byteAt(i + 2) == 0xA9)) {
        return 3;  // U+2028, U+2029
    }
    return 0;
}

// True when `c`, the bytes of one character, is tab or a space separator (Zs): U+0020, U+00A0,
// U+1680, U+2000..U+200A, U+202F, U+205F, U+3000.
inline bool isWhitespace(std::string_view c) noexcept {
    switch (c.size()) {
        case 1:
            return c[0] == '\t' || c[0] == ' ';
        case 2:
            return c == "\xC2\xA0";
        case 3: {
            if (c == "\xE1\x9A\x80" || c == "\xE2\x80\xAF" || c == "\xE2\x81\x9F" ||
                c == "\xE3\x80\x80") {
                return true;
            }
            const auto last = static_cast<unsigned char>(c[2]);
            return c.starts_with("\xE2\x80") && last >= 0x80 && last <= 0x8A;
        }
        default:
            return false;
    }
}

// Length in bytes of the whitespace character starting at `i`, or 0.
inline std::size_t whitespaceLengthAt(std::string_view s, std::size_t i) noexcept {
    for (std::size_t width = 1; width <= 3 && i + width <= s.size(); ++width) {
        if (isWhitespace(s.substr(i, width))) {
            return width;
        }
    }
    return 0;
}

// The line without the whitespace characters at either end.
inline std::string_view trimWhitespace(std::string_view line) noexcept {
    // Nearly every line starts and ends with a visible ASCII character, which no whitespace
    // character starts or ends with.
    const auto visibleAscii = [](char c) { return c > ' ' && c < '\x7F'; };
    if (!line.empty() && visibleAscii(line.front()) && visibleAscii(line.back())) {
        return line;
    }
    while (!line.empty()) {
        const std::size_t width = whitespaceLengthAt(line, 0);
        if (width == 0) {
            break;
        }
        line.remove_prefix(width);
    }
    bool trimmed = true;
    while (trimmed && !line.empty()) {
        trimmed = false;
        for (std::size_t width = 1; width <= 3 && width <= line.size(); ++width) {
            if (isWhitespace(line.substr(line.size() - width))) {
                line.remove_suffix(width);
                trimmed = true;
                break;
            }
        }
    }
    return line;
}

}  // namespace sieveharbor::text

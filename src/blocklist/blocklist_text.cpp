#include "blocklist/blocklist_text.h"

#include <algorithm>
#include <string>

#include "text/text.h"

namespace sieveharbor::blocklist {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

inline unsigned char byteAt(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// Length in bytes of the newline character starting at `i`, or 0.
std::size_t newlineAt(std::string_view s, std::size_t i) {
    const unsigned char b = byteAt(s, i);
    if (b >= 0x0A && b <= 0x0D) {
        return 1;
    }
    if (b == 0xC2 && i + 1 < s.size() && byteAt(s, i + 1) == 0x85) {
        return 2;  // U+0085
    }
    if (b == 0xE2 && i + 2 < s.size() && byteAt(s, i + 1) == 0x80 &&
        (byteAt(s, i + 2) == 0xA8 || byteAt(s, i + 2) == 0xA9)) {
        return 3;  // U+2028, U+2029
    }
    return 0;
}

// Tab and the space separators: U+0020, U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F, U+3000.
bool isWhitespace(std::string_view c) {
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

std::string_view trim(std::string_view line) {
    bool trimmed = true;
    while (trimmed && !line.empty()) {
        trimmed = false;
        for (std::size_t width = 1; width <= 3 && width <= line.size(); ++width) {
            if (isWhitespace(line.substr(0, width))) {
                line.remove_prefix(width);
                trimmed = true;
                break;
            }
        }
    }
    trimmed = true;
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

}  // namespace

BlocklistParser::BlocklistParser(std::size_t expectedBytes, Limits limits)
    : builder_(expectedBytes, limits.maxArenaBytes), maxLineBytes_(limits.maxLineBytes) {}

void BlocklistParser::takeLine(std::string_view line) {
    if (line.size() > maxLineBytes_) {
        refusal_ = Refusal::lineTooLong;
        return;
    }
    line = trim(line);
    if (line.empty() || line.front() == '#') {
        return;
    }
    bool added = false;
    if (text::isAscii(line)) {
        scratch_.assign(line);
        text::asciiLowerInPlace(scratch_);
        added = builder_.add(scratch_);
    } else {
        added = builder_.add(text::canonicalLower(line));
    }
    if (!added) {
        refusal_ = Refusal::tooBig;
    }
}

bool BlocklistParser::feed(std::string_view piece) {
    if (refusal_) {
        return false;  // the list is refused whole: the rest need not be read into it
    }
    if (!started_ && !piece.empty()) {
        started_ = true;
        if (piece.starts_with(kByteOrderMark)) {
            piece.remove_prefix(kByteOrderMark.size());
        }
    }
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < piece.size() && !refusal_;) {
        const std::size_t newline = newlineAt(piece, i);
        if (newline == 0) {
            ++i;
            continue;
        }
        const std::string_view line = piece.substr(lineStart, i - lineStart);
        if (partialLine_.empty()) {
            takeLine(line);
        } else {
            partialLine_.append(line);
            takeLine(partialLine_);
            partialLine_.clear();
        }
        i += newline;
        lineStart = i;
    }
    const std::string_view rest = piece.substr(std::min(lineStart, piece.size()));
    if (!refusal_ && partialLine_.size() + rest.size() > maxLineBytes_) {
        refusal_ = Refusal::lineTooLong;
    }
    if (refusal_) {
        partialLine_ = std::string();
        return false;
    }
    partialLine_.append(rest);
    return true;
}

std::optional<DomainSet> BlocklistParser::finish() && {
    if (!refusal_) {
        takeLine(partialLine_);
    }
    if (refusal_) {
        return std::nullopt;
    }
    return std::move(builder_).finish();
}

std::optional<DomainSet> parseBlocklist(std::string_view text) {
    BlocklistParser parser(text.size());
    parser.feed(text);
    return std::move(parser).finish();
}

}  // namespace sieveharbor::blocklist

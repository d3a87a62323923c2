// Any text: every entry of the parsed set is a clean, canonical line; every entry blocks itself
// and the names beneath it; for names taken from the text the hash-probing matcher agrees with a
// straight scan of the entries; the text fed in pieces, cut at arbitrary character boundaries,
// gives the same set; and under a small line bound the list is refused exactly as the lines
// between its line feeds say.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "blocklist/blocklist_text.h"
#include "blocklist/matching.h"
#include "check.h"
#include "scan_oracle.h"
#include "text/text.h"

using namespace sieveharbor;

namespace {

// The text fed in pieces whose lengths come from the input's own bytes, each cut moved on to a
// character boundary; what the parser refused, and the set when it did not.
std::optional<blocklist::DomainSet> parseInPieces(std::string_view input,
                                                  blocklist::ParseLimits limits,
                                                  bool& lineTooLong) {
    blocklist::BlocklistParser parser(input.size(), limits);
    std::size_t at = 0;
    for (std::size_t i = 0; at < input.size(); ++i) {
        std::size_t end =
            std::min(input.size(), at + 1 + static_cast<std::uint8_t>(input[i % input.size()]));
        while (end < input.size() && text::isContinuationByte(input[end])) {
            ++end;
        }
        if (!parser.feed(input.substr(at, end - at))) {
            break;
        }
        at = end;
    }
    lineTooLong = parser.refusal() == blocklist::BlocklistParser::Refusal::lineTooLong;
    return std::move(parser).finish();
}

// The longest run of bytes without a line feed: every line is at most this long, since a line
// feed always ends a line.
std::size_t longestRunWithoutLineFeed(std::string_view input) {
    std::size_t longest = 0;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        longest = std::max(longest, end - start);
        start = end + 1;
    }
    return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto parsed = blocklist::parseBlocklist(input);
    FUZZ_CHECK(parsed.has_value() || size > blocklist::BlocklistParser::kMaxLineBytes);
    if (!parsed || !text::isWellFormedUtf8(input)) {
        return 0;  // the loader never hands ill-formed text over; parsing it only has to be safe
    }
    const blocklist::DomainSet& set = *parsed;
    std::vector<std::string> entries;
    set.forEach([&](std::string_view entry) { entries.emplace_back(entry); });
    FUZZ_CHECK(entries.size() == set.size());

    bool lineTooLong = false;
    const auto fromPieces = parseInPieces(input, {}, lineTooLong);
    FUZZ_CHECK(fromPieces && fromPieces->size() == set.size());
    fromPieces->forEach([&](std::string_view entry) { FUZZ_CHECK(set.contains(entry)); });

    // A bound of 1..64 bytes: refused only with a run that long between line feeds, and always
    // accepted when every such run fits.
    const std::size_t bound = size == 0 ? 1 : 1 + data[0] % 64;
    const auto bounded = parseInPieces(input, {.maxLineBytes = bound}, lineTooLong);
    FUZZ_CHECK(bounded.has_value() == !lineTooLong);
    const std::size_t longest = longestRunWithoutLineFeed(input);
    FUZZ_CHECK(!lineTooLong || longest > bound);
    FUZZ_CHECK(lineTooLong || bounded->size() == set.size());

    for (const auto& entry : entries) {
        FUZZ_CHECK(!entry.empty());
        FUZZ_CHECK(entry.front() != '#');
        FUZZ_CHECK(entry.front() != ' ' && entry.front() != '\t');
        FUZZ_CHECK(entry.back() != ' ' && entry.back() != '\t');
        FUZZ_CHECK(entry.find_first_of("\n\r\v\f") == std::string::npos);
        FUZZ_CHECK(text::canonicalLower(entry) == entry);
        FUZZ_CHECK(set.contains(entry));
        FUZZ_CHECK(blocklist::isNameBlocked(entry, set));
        FUZZ_CHECK(blocklist::isNameBlocked("x." + entry, set));
    }
    // Names drawn from the input itself: every tail of it, cut at each byte that starts a
    // character, so lookalikes, parents and partial labels are all tried.
    for (std::size_t start = 0; start < input.size() && start < 64; ++start) {
        if (text::isContinuationByte(input[start])) {
            continue;
        }
        const std::string_view name = input.substr(start, 48);
        if (!text::isWellFormedUtf8(name)) {
            continue;
        }
        FUZZ_CHECK(blocklist::isNameBlocked(name, set) ==
                   blocklist::testing::scanIsBlocked(name, entries));
    }
    return 0;
}

// Any text: every entry of the parsed set is a clean, canonical line; every entry blocks itself
// and the names beneath it; for names taken from the text the hash-probing matcher agrees with a
// straight scan of the entries; and the text fed in two pieces, cut at a character boundary,
// gives the same set.

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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto parsed = blocklist::parseBlocklist(input);
    FUZZ_CHECK(parsed.has_value());
    const blocklist::DomainSet& set = *parsed;
    if (!text::isWellFormedUtf8(input)) {
        return 0;  // the loader never hands such text over; parsing it only has to be safe
    }
    std::vector<std::string> entries;
    set.forEach([&](std::string_view entry) { entries.emplace_back(entry); });
    FUZZ_CHECK(entries.size() == set.size());

    std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    while (cut < size && text::isContinuationByte(static_cast<char>(data[cut]))) {
        ++cut;
    }
    blocklist::BlocklistParser pieces(size);
    pieces.feed(input.substr(0, cut));
    pieces.feed(input.substr(cut));
    const auto fromPieces = std::move(pieces).finish();
    FUZZ_CHECK(fromPieces && fromPieces->size() == set.size());
    fromPieces->forEach([&](std::string_view entry) { FUZZ_CHECK(set.contains(entry)); });
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

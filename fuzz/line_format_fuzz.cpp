// Any text, read as lines of a list: every view the recogniser gives lies inside its line; every
// entry is a clean, canonical name that reads back as itself, from the written list by the
// loader and from a plain, hosts or adblock line by the recogniser; and a minimised list holds no
// entry beneath another.

#include <cstdint>
#include <string>
#include <string_view>

#include "blocklist/blocklist_text.h"
#include "check.h"
#include "lists/list_builder.h"
#include "text/line_rules.h"
#include "text/text.h"

using namespace sieveharbor;

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

// The one entry a line gives, or nothing.
std::string soleEntry(std::string_view line) {
    const auto recognised = lists::recogniseLine(line);
    auto names = recognised.names;
    std::string entry;
    const auto raw = lists::takeName(names, recognised.separator);
    if (recognised.kind != lists::LineKind::names ||
        !lists::takeName(names, recognised.separator).empty() ||
        lists::normaliseName(raw, entry).skipped) {
        return {};
    }
    return entry;
}

void checkEntry(const std::string& entry) {
    FUZZ_CHECK(!entry.empty() && entry.front() != '#');
    FUZZ_CHECK(text::isWellFormedUtf8(entry));
    FUZZ_CHECK(text::canonicalLower(entry) == entry);
    for (std::size_t i = 0; i < entry.size(); ++i) {
        FUZZ_CHECK(text::newlineLengthAt(entry, i) == 0 && text::whitespaceLengthAt(entry, i) == 0);
    }
    FUZZ_CHECK(soleEntry(entry) == entry);
    FUZZ_CHECK(soleEntry("0.0.0.0 " + entry) == entry);
    FUZZ_CHECK(soleEntry("||" + entry + "^") == entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    lists::ListBuilder builder;
    builder.beginInput("fuzz");
    for (std::size_t start = 0; start <= input.size();) {
        const auto end = std::min(input.find('\n', start), input.size());
        const auto line = input.substr(start, end - start);
        start = end + 1;
        FUZZ_CHECK(builder.addLine(line));
        const auto recognised = lists::recogniseLine(line);
        FUZZ_CHECK(inside(recognised.names, line));
        auto names = recognised.names;
        for (auto raw = lists::takeName(names, recognised.separator); !raw.empty();
             raw = lists::takeName(names, recognised.separator)) {
            FUZZ_CHECK(inside(raw, line));
            std::string entry;
            if (!lists::normaliseName(raw, entry).skipped) {
                checkEntry(entry);
            }
        }
    }
    const auto list = std::move(builder).finish(true);
    const auto loaded = blocklist::parseBlocklist(lists::renderList(list, "fuzz"));
    FUZZ_CHECK(loaded.has_value());
    for (const auto entry : list.entries) {
        FUZZ_CHECK(loaded->contains(entry));
        const auto dot = entry.find('.');
        FUZZ_CHECK(dot == std::string_view::npos ||
                   !list.set.containsNameOrParent(entry.substr(dot + 1)));
    }
    return 0;
}

#include "blocklist/blocklist_text.h"

#include <algorithm>
#include <string>

#include "text/line_rules.h"
#include "text/line_splitter.h"
#include "text/text.h"

namespace sieveharbor::blocklist {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// True for text a line of the file could give as an entry. IDNA drops invisible characters, so
// the form of "\u200B# note" would be "# note": such a form is no entry.
bool isLineEntry(std::string_view entry) {
    if (entry.empty() || entry.front() == '#' || text::trimWhitespace(entry) != entry) {
        return false;
    }
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (text::newlineLengthAt(entry, i) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

BlocklistParser::BlocklistParser(std::size_t expectedBytes, Limits limits, PageAdvice advice)
    : builder_(expectedBytes, limits.maxArenaBytes, DomainSetBuilder::randomSeed(), advice),
      lines_(limits.maxLineBytes, text::LineSplitter::Ends::anyNewline) {}

bool BlocklistParser::takeLine(std::string_view line) {
    line = text::trimWhitespace(line);
    if (line.empty() || line.front() == '#') {
        return true;
    }
    bool added = false;
    scratch_.assign(line);
    if (const auto scan = text::asciiLowerInPlace(scratch_); scan.ascii) {
        added = builder_.add(scratch_) && (!scan.hyphen || addIdnaForms(scratch_, true));
    } else {
        const std::string entry = text::canonicalLower(line);
        added = builder_.add(entry) && addIdnaForms(entry, false);
    }
    if (!added) {
        refusal_ = Refusal::tooBig;
    }
    return added;
}

// Kept out of takeLine, whose ASCII path nearly every line takes: inlined there, the temporaries
// of this rare path slowed every line down.
[[gnu::noinline]] bool BlocklistParser::addIdnaForms(const std::string& entry, bool ascii) {
    const auto add = [this](const std::optional<std::string>& form) {
        return !form || !isLineEntry(*form) || builder_.add(text::canonicalLower(*form));
    };
    return (ascii || add(text::idnaToAscii(entry))) &&
           (!text::hasAceLabel(entry) || add(text::idnaToUnicode(entry)));
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
    const auto refuseTooLong = [this] {
        refusal_ = Refusal::lineTooLong;
        return false;
    };
    return lines_.feed(
        piece, [this](std::string_view line) { return takeLine(line); }, refuseTooLong);
}

std::optional<DomainSet> BlocklistParser::finish() && {
    if (!refusal_) {
        lines_.finish([this](std::string_view line) { return takeLine(line); });
    }
    if (refusal_) {
        return std::nullopt;
    }
    return std::move(builder_).finish();
}

std::optional<DomainSet> parseBlocklist(std::string_view text, PageAdvice advice) {
    BlocklistParser parser(text.size(), {}, advice);
    parser.feed(text);
    return std::move(parser).finish();
}

}  // namespace sieveharbor::blocklist

#include "blocklist/blocklist_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "text/text.h"

namespace sieveharbor::blocklist {
namespace {

std::vector<std::string> sortedEntries(const std::optional<DomainSet>& set) {
    std::vector<std::string> entries;
    if (set) {
        set->forEach([&](std::string_view e) { entries.emplace_back(e); });
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The entries of the whole text; the same text fed in two pieces, cut at any character boundary,
// and one character per piece must give the same entries, as the loader feeds a file in pieces.
std::vector<std::string> entriesOf(std::string_view text) {
    const auto whole = sortedEntries(parseBlocklist(text));
    BlocklistParser single(text.size());
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        if (cut < text.size() && text::isContinuationByte(text[cut])) {
            continue;  // inside a character: the file reader never cuts there
        }
        BlocklistParser halves(text.size());
        halves.feed(text.substr(0, cut));
        halves.feed(text.substr(cut));
        EXPECT_EQ(sortedEntries(std::move(halves).finish()), whole) << "cut at " << cut;
        if (cut > 0) {
            std::size_t from = cut - 1;
            while (from > 0 && text::isContinuationByte(text[from])) {
                --from;
            }
            single.feed(text.substr(from, cut - from));
        }
    }
    EXPECT_EQ(sortedEntries(std::move(single).finish()), whole) << "one character per piece";
    return whole;
}

TEST(ParseBlocklist, splits_trims_lowers_and_drops_comments) {
    struct Row {
        const char* what;
        std::string text;
        std::vector<std::string> entries;
    };
    using S = std::vector<std::string>;
    const S ab = {"a.example", "b.example"};
    const S x = {"x.example"};
    const S bucher = {"b\u00FCcher.example", "xn--bcher-kva.example"};
    // clang-format off
    const Row rows[] = {
        {"spaces around mixed case", "  Example.COM  ", {"example.com"}},
        {"tabs around", "\tads.example.com\t", {"ads.example.com"}},
        {"indented comment", "   #comment", {}},
        {"comment line", "#example.com", {}},
        {"hash after text is part of the entry", "example.com # note", {"example.com # note"}},
        {"CR LF line ends", "a.example\r\nb.example\r\n", ab},
        {"case duplicates collapse", "Example.com\nexample.com", {"example.com"}},
        {"no-break space trimmed", "\xC2\xA0x.example\xC2\xA0", x},
        // IDNA ignores the zero-width space, so the ASCII form clients would send is x.example.
        {"zero-width space kept, and left out of the ascii form", "\xE2\x80\x8Bx.example", {"x.example", "\xE2\x80\x8Bx.example"}},
        {"ideographic and en spaces trimmed", "\xE3\x80\x80x.example\xE2\x80\x82", x},
        {"ogham and narrow no-break spaces trimmed", "\xE1\x9A\x80x.example\xE2\x80\xAF", x},
        {"form feed splits", "a.example\fb.example", ab},
        {"vertical tab splits", "a.example\vb.example", ab},
        {"next line splits", "a.example\xC2\x85" "b.example", ab},
        {"line separator splits", "a.example\xE2\x80\xA8" "b.example", ab},
        {"paragraph separator splits", "a.example\xE2\x80\xA9" "b.example", ab},
        {"last line without newline", "a.example\nb.example", ab},
        {"empty text", "", {}},
        {"only blanks and comments", "\n  \n# x\n\t\n", {}},
        {"byte-order mark removed", "\xEF\xBB\xBF" "a.example", {"a.example"}},
        {"byte-order mark only at the start", "a.example\n\xEF\xBB\xBF" "b.example", {"a.example", "b.example", "\xEF\xBB\xBF" "b.example"}},
        {"inner spaces and stars stay", "*.ads example.com", {"*.ads example.com"}},
        {"a leading dot stays", ".lead.example", {".lead.example"}},
        {"non-ascii lowered and composed", "CAFE\u0301.example", {"caf\u00E9.example", "xn--caf-dma.example"}},
        {"unicode entry also gives its ascii form", "B\u00DCcher.example", bucher},
        {"ace entry also gives its unicode form", "XN--bcher-kva.example", bucher},
        {"both ways at once", "b\u00FCcher.xn--p1ai", {"b\u00FCcher.xn--p1ai", "b\u00FCcher.\u0440\u0444", "xn--bcher-kva.xn--p1ai"}},
        {"an ascii form that would read as a comment is left out", "\u200B# note", {"\u200B# note"}},
        {"a name idna refuses keeps only its own form", "xn--a.example\na\u0639b.example", {"a\u0639b.example", "xn--a.example"}},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(entriesOf(row.text), row.entries) << row.what;
    }
}

TEST(ParseBlocklist, a_list_too_big_for_one_set_gives_nothing_rather_than_a_part) {
    constexpr std::size_t kRoom = 32;  // two entries of nine bytes, with their lengths, fit
    BlocklistParser fits(0, {.maxArenaBytes = kRoom});
    fits.feed("a.example\nb.example\n");
    const auto two = std::move(fits).finish();
    ASSERT_TRUE(two);
    EXPECT_EQ(two->size(), 2u);

    BlocklistParser overflows(0, {.maxArenaBytes = kRoom});
    overflows.feed("a.example\nb.example\nc.example\n");
    EXPECT_EQ(overflows.refusal(), BlocklistParser::Refusal::tooBig);
    EXPECT_FALSE(std::move(overflows).finish());
}

TEST(ParseBlocklist, a_line_longer_than_any_name_refuses_the_list) {
    // However the text is cut into pieces, a line of more than 65,535 bytes refuses the list, and
    // the parser stops taking text rather than keep an endless line (a sparse file of zeros).
    constexpr std::size_t kMax = BlocklistParser::kMaxLineBytes;
    struct Case {
        const char* what;
        std::string text;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"longest line kept", "a.example\n" + std::string(kMax, 'x') + "\nb.example", false},
        {"one byte more", "a.example\n" + std::string(kMax + 1, 'x') + "\nb.example", true},
        {"last line without its newline", "a.example\n" + std::string(kMax + 1, 'x'), true},
        {"zero bytes, no newline", std::string(4 * kMax, '\0'), true},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {c.text.size(), std::size_t{4096}, std::size_t{1000}}) {
            BlocklistParser parser(c.text.size());
            std::size_t taken = 0;
            for (std::size_t at = 0; at < c.text.size(); at += piece) {
                taken = at;
                if (!parser.feed(std::string_view(c.text).substr(at, piece))) {
                    break;
                }
            }
            const bool refused = parser.refusal() == BlocklistParser::Refusal::lineTooLong;
            EXPECT_EQ(refused, c.refused) << c.what << ", pieces of " << piece;
            EXPECT_EQ(std::move(parser).finish().has_value(), !c.refused) << c.what;
            if (c.refused && piece == 1000) {
                EXPECT_LE(taken, kMax) << c.what << ": fed on past the piece that refused";
            }
        }
    }
}

}  // namespace
}  // namespace sieveharbor::blocklist

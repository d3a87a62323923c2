#include "text/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

namespace sieveharbor::text {
namespace {

struct Utf8Case {
    const char* what;
    std::string bytes;
    bool wellFormed;
};

TEST(Utf8, accepts_exactly_the_well_formed_sequences) {
    const Utf8Case cases[] = {
        {"empty", "", true},
        {"ascii", "example.com", true},
        {"nul is a character", std::string("a\0b", 3), true},
        {"two bytes U+00E9", "caf\xC3\xA9", true},
        {"three bytes U+20AC", "\xE2\x82\xAC", true},
        {"four bytes U+1F600", "\xF0\x9F\x98\x80", true},
        {"highest code point U+10FFFF", "\xF4\x8F\xBF\xBF", true},
        {"last before surrogates U+D7FF", "\xED\x9F\xBF", true},
        {"first after surrogates U+E000", "\xEE\x80\x80", true},
        {"lone trail byte", "\x80", false},
        {"overlong slash C0 AF", "\xC0\xAF", false},
        {"overlong C1 BF", "\xC1\xBF", false},
        {"overlong three-byte E0 80 AF", "\xE0\x80\xAF", false},
        {"overlong four-byte F0 8F BF BF", "\xF0\x8F\xBF\xBF", false},
        {"surrogate U+D800", "\xED\xA0\x80", false},
        {"surrogate U+DFFF", "\xED\xBF\xBF", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"F5 lead", "\xF5\x80\x80\x80", false},
        {"FF byte", "\xFF", false},
        {"truncated two-byte", "a\xC3", false},
        {"truncated three-byte", "\xE2\x82", false},
        {"truncated four-byte", "\xF0\x9F\x98", false},
        {"bad trail in three-byte", "\xE2\x28\xA1", false},
        {"ascii then bad after eight bytes", "abcdefgh\xFF", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isWellFormedUtf8(c.bytes), c.wellFormed) << c.what;
    }
}

TEST(Ascii, lowers_and_detects_any_high_byte_and_any_hyphen_at_any_position) {
    EXPECT_TRUE(isAscii(""));
    EXPECT_TRUE(isAscii("a.long.name.beyond.eight.bytes"));
    // Every length around the eight-byte steps, every position: the word-at-a-time pass must
    // agree with the byte-at-a-time rules.
    const auto bytewise = [](const std::string& s) {
        std::string lowered;
        bool ascii = true;
        bool hyphen = false;
        for (const char c : s) {
            lowered += asciiLower(c);
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
            hyphen = hyphen || c == '-';
        }
        return std::tuple{lowered, ascii, ascii && hyphen};
    };
    // Bytes next to 'A', 'Z' and '-' in value, and high bytes whose low seven bits are those.
    const char probes[] = {'A', 'Z', '@', '[', '-', ',', '.', '\xC1', '\xDA', '\xAD', '\x80'};
    for (std::size_t size = 1; size <= 20; ++size) {
        for (std::size_t at = 0; at < size; ++at) {
            for (const char probe : probes) {
                std::string s(size, 'M');
                s[at] = probe;
                const auto [lowered, ascii, hyphen] = bytewise(s);
                EXPECT_EQ(isAscii(s), ascii);
                const AsciiScan scan = asciiLowerInPlace(s);
                EXPECT_EQ(s, lowered) << "size " << size << " byte " << int(probe) << " at " << at;
                EXPECT_EQ(scan.ascii, ascii) << "size " << size << " at " << at;
                EXPECT_EQ(scan.hyphen, hyphen) << "size " << size << " at " << at;
            }
        }
    }
}

// The rows pin the choices made here (root locale, lowering before composing, ill-formed bytes
// lowered as ASCII only), not ICU's case data.
TEST(CaseAndNormalisation, lower_in_the_root_locale_then_compose) {
    struct Row {
        const char* what;
        std::string input, lower, canonical;
    };
    // clang-format off
    const Row rows[] = {
        {"ascii capitals", "Mail.Example.TEST", "mail.example.test", "mail.example.test"},
        {"dotted capital I is not lowered the Turkish way", "\xC4\xB0", "i\xCC\x87", "i\xCC\x87"},
        {"decomposed capital E acute composes", "CAFE\xCC\x81", "cafe\xCC\x81", "caf\xC3\xA9"},
        {"ill-formed bytes only ascii-lowered", "AB\xFF", "ab\xFF", "ab\xFF"},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(toLower(row.input), row.lower) << row.what;
        EXPECT_EQ(canonicalLower(row.input), row.canonical) << row.what;
    }
}

std::string repeated(std::string_view text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// ICU writes into room guessed from the text's length; a result that outgrows it must come out
// whole, not cut at the guess.
TEST(CaseAndNormalisation, results_longer_than_their_text_come_out_whole) {
    for (const std::size_t times : {1, 20, 2000}) {
        // Capital I with dot above: two bytes, lowered to three.
        const std::string dotted = repeated("\xC4\xB0", times);
        EXPECT_EQ(toLower(dotted), repeated("i\xCC\x87", times)) << times;
        EXPECT_EQ(canonicalLower(dotted), repeated("i\xCC\x87", times)) << times;
        // Devanagari QA is never composed: its NFC is two characters, three bytes become six.
        const std::string qa = repeated("\xE0\xA5\x98", times);
        EXPECT_EQ(toNfc(qa), repeated("\xE0\xA4\x95\xE0\xA4\xBC", times)) << times;
        EXPECT_EQ(canonicalLower(qa), repeated("\xE0\xA4\x95\xE0\xA4\xBC", times)) << times;
    }
}

// The rows pin the options chosen (nontransitional, no STD3 rules, bidi and joiner checks, the
// root's dot kept) and the refusals, not ICU's mapping data.
TEST(Idna, gives_both_forms_or_refuses_the_name) {
    struct Row {
        const char* what;
        std::string name;
        std::optional<std::string> ascii;  // nothing: the name is refused
        std::optional<std::string> unicode;
    };
    const auto none = std::nullopt;
    // clang-format off
    const Row rows[] = {
        {"unicode label", "B\u00DCcher.example.", "xn--bcher-kva.example.", "b\u00FCcher.example."},
        {"ace label", "xn--bcher-kva.example", "xn--bcher-kva.example", "b\u00FCcher.example"},
        {"sharp s stays itself", "fa\u00DF.de", "xn--fa-hia.de", "fa\u00DF.de"},
        {"underscore allowed", "_dmarc.b\u00FCcher", "_dmarc.xn--bcher-kva", "_dmarc.b\u00FCcher"},
        {"bad punycode", "xn--a.example", none, none},
        {"empty label", "b\u00FCcher..example", none, none},
        {"right-to-left after left-to-right", "a\u0639b.example", none, none},
        {"zero width joiner out of context", "a\u200Db.example", none, none},
        {"ill-formed bytes", "b\xFF.example", none, none},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(idnaToAscii(row.name), row.ascii) << row.what;
        EXPECT_EQ(idnaToUnicode(row.name), row.unicode) << row.what;
    }
}

TEST(Idna, ace_labels_are_found_only_at_a_label_start) {
    for (const std::string_view name : {"xn--bcher-kva.example", "XN--bcher-kva.example",
                                        "www.xn--bcher-kva.example", "a.b.xn--p1ai"}) {
        EXPECT_TRUE(hasAceLabel(name)) << name;
    }
    for (const std::string_view name : {"", "xn-", "axn--b.example", "x.yxn--b", "xn-a--b.example",
                                        "r3---sn-abc.example", "n--a.example"}) {
        EXPECT_FALSE(hasAceLabel(name)) << name;
    }
}

}  // namespace
}  // namespace sieveharbor::text

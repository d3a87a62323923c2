#include "dns/query_name.h"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <tuple>

#include "dns/question.h"
#include "wire.h"

namespace sieveharbor::dns {
namespace {

using testing::appendBytes;
using testing::appendLabel;
using testing::header;
using testing::query;

Datagram withLabels(std::initializer_list<std::string_view> labels) {
    Datagram d = header();
    for (auto label : labels) {
        appendLabel(d, label);
    }
    return d;
}

Datagram concat(Datagram d, std::initializer_list<std::uint8_t> tail) {
    appendBytes(d, tail);
    return d;
}

struct NameCase {
    const char* what;
    Datagram datagram;
    std::optional<std::string> name;
};

TEST(ExtractDomainName, reads_the_first_question_name_or_nothing) {
    Datagram pointer192 = header();
    pointer192.push_back(0xC0);
    Datagram pointerLong = pointer192;
    pointerLong.insert(pointerLong.end(), 192, 'x');
    Datagram pointerShort = pointer192;
    pointerShort.insert(pointerShort.end(), 191, 'x');
    Datagram response = query({"example", "test"});
    response[2] = 0x81;  // QR set
    response[5] = 0x00;  // QDCOUNT 0

    const NameCase cases[] = {
        {"empty datagram", {}, std::nullopt},
        {"bare header", header(), std::nullopt},
        {"root name", concat(header(), {0x00}), std::nullopt},
        {"plain name with type and class", query({"example", "test"}), "example.test"},
        {"mixed case is lowered", query({"Mail", "Example", "TEST"}), "mail.example.test"},
        {"ends right after the zero byte", concat(withLabels({"example", "test"}), {0x00}),
         "example.test"},
        {"last label ends the datagram without a zero byte", withLabels({"example", "test"}),
         "example.test"},
        {"label overruns the end even after good labels",
         concat(withLabels({"abc"}), {0x05, 'x', 'y'}), std::nullopt},
        {"undecodable label in the middle is skipped",
         concat(withLabels({"abc", "\xFF", "test"}), {0x00}), "abc.test"},
        {"undecodable first label leaves no leading dot",
         concat(withLabels({"\xFF", "test"}), {0x00}), "test"},
        {"only label undecodable", concat(withLabels({"\xFF"}), {0x00}), std::nullopt},
        {"undecodable last label leaves no trailing dot",
         concat(withLabels({"test", "\xC3"}), {0x00}), "test"},
        {"dot inside a label", query({"a.b", "test"}), "a.b.test"},
        {"spaces and non-ascii kept, lowered", query({"Caf\xC3\x89 Bar", "test"}),
         "caf\xC3\xA9 bar.test"},
        {"compression pointer in a short datagram", pointerShort, std::nullopt},
        {"compression pointer read as a 192-byte label", pointerLong, std::string(192, 'x')},
        {"header fields do not matter", response, "example.test"},
        {"63-byte limit not applied", query({std::string(100, 'a')}), std::string(100, 'a')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(extractDomainName(c.datagram), c.name) << c.what;
    }
    // The one walk reads the same names into one reused buffer, last case first (the long
    // names), so that a shorter name must replace what a longer one left rather than write over
    // its start; and it finds the question where the blocked reply's builder finds it.
    std::string reused;
    for (auto i = std::size(cases); i-- > 0;) {
        const auto& c = cases[i];
        const auto question = readQuestion(c.datagram, reused);
        EXPECT_EQ(question.name, c.name.value_or("")) << c.what;
        const auto bounds = questionBounds(c.datagram);
        EXPECT_EQ(std::pair(question.end, question.type), std::pair(bounds.end, bounds.type))
            << c.what;
    }
}

// A reply is matched to its query by ID and, where both have one, by question; a late reply to
// another query that reached the same port is not.
TEST(IsReplyTo, matches_the_id_and_the_question_in_any_case) {
    const auto asked = query({"www", "example"});
    const auto reply = [](Datagram d, std::uint16_t qdcount = 1) {
        d[2] |= 0x80;
        d[5] = static_cast<std::uint8_t>(qdcount);
        return d;
    };
    const std::tuple<const char*, Datagram, Datagram, bool> rows[] = {
        {"the same id and question", asked, reply(asked), true},
        {"the name in other case", asked, reply(query({"WWW", "Example"})), true},
        {"another id", asked, reply(query({"www", "example"}, 1, 1, 0x4321)), false},
        {"another name", asked, reply(query({"ads", "example"})), false},
        {"another type", asked, reply(query({"www", "example"}, 28)), false},
        {"a reply that counts no question", asked, reply(query({"x"}), 0), true},
        {"a query with no whole question", header(0x1234), reply(asked), true},
        {"too short for an id", asked, Datagram{0x12}, false},
    };
    for (const auto& [what, question, answer, matches] : rows) {
        EXPECT_EQ(isReplyTo(answer, question), matches) << what;
    }
}

}  // namespace
}  // namespace sieveharbor::dns

#include "dns/blocked_response.h"

#include <gtest/gtest.h>

#include <optional>

#include "dns/servfail.h"
#include "wire.h"

namespace sieveharbor::dns {
namespace {

using testing::appendBytes;
using testing::appendLabel;
using testing::header;
using testing::query;

// The 41-byte query: ID 0x1234, flags RD+AD, QDCOUNT 1, ARCOUNT 1, example.test, then QTYPE,
// QCLASS 1 and an 11-byte EDNS OPT record.
Datagram workedExample(std::uint8_t typeHigh, std::uint8_t typeLow) {
    Datagram d = {0x12, 0x34, 0x01, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    appendLabel(d, "example");
    appendLabel(d, "test");
    appendBytes(d, {0x00, typeHigh, typeLow, 0x00, 0x01});
    appendBytes(d, {0x00, 0x00, 0x29, 0x04, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    return d;
}

const Datagram kQuestion = {0x07, 'e',  'x', 'a', 'm', 'p', 'l',
                            'e',  0x04, 't', 'e', 's', 't', 0x00};

Datagram expected(std::initializer_list<std::uint8_t> head, std::uint8_t typeHigh,
                  std::uint8_t typeLow, std::initializer_list<std::uint8_t> answer) {
    Datagram d(head);
    d.insert(d.end(), kQuestion.begin(), kQuestion.end());
    appendBytes(d, {typeHigh, typeLow, 0x00, 0x01});
    d.insert(d.end(), answer);
    return d;
}

TEST(MakeBlockedResponse, worked_example_gives_the_exact_bytes) {
    const std::initializer_list<std::uint8_t> answerHead = {0x12, 0x34, 0x81, 0x80, 0x00, 0x01,
                                                            0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    const std::initializer_list<std::uint8_t> nameError = {0x12, 0x34, 0x81, 0x83, 0x00, 0x01,
                                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::initializer_list<std::uint8_t> aRecord = {0xc0, 0x0c, 0x00, 0x01, 0x00, 0x01,
                                                         0x00, 0x00, 0x00, 0x3c, 0x00, 0x04,
                                                         0x00, 0x00, 0x00, 0x00};
    const std::initializer_list<std::uint8_t> aaaaRecord = {
        0xc0, 0x0c, 0x00, 0x1c, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3c, 0x00, 0x10, 0, 0,
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0};
    struct Row {
        const char* what;
        std::uint8_t typeHigh, typeLow;
        Datagram reply;
    };
    // clang-format off
    const Row rows[] = {
        {"A gets 0.0.0.0", 0x00, 0x01, expected(answerHead, 0x00, 0x01, aRecord)},
        {"AAAA gets ::", 0x00, 0x1c, expected(answerHead, 0x00, 0x1c, aaaaRecord)},
        {"HTTPS gets a name error", 0x00, 0x41, expected(nameError, 0x00, 0x41, {})},
        {"MX gets the A-shaped answer", 0x00, 0x0f, expected(answerHead, 0x00, 0x0f, aRecord)},
        {"type 7168 is not AAAA", 0x1c, 0x00, expected(answerHead, 0x1c, 0x00, aRecord)},
        {"type 284 is not AAAA", 0x01, 0x1c, expected(answerHead, 0x01, 0x1c, aRecord)},
        {"type 16705 is not HTTPS", 0x41, 0x41, expected(answerHead, 0x41, 0x41, aRecord)},
    };
    // clang-format on
    for (const auto& row : rows) {
        const Datagram query = workedExample(row.typeHigh, row.typeLow);
        ASSERT_EQ(query.size(), 41u);
        EXPECT_EQ(makeBlockedResponse(query), row.reply) << row.what;
    }
}

TEST(MakeBlockedResponse, copies_id_qdcount_and_question_and_fixes_the_rest) {
    Datagram q = query({"Ads", "Example", "COM"}, 1, 3, 0xBEEF);
    q[2] = 0x78;  // opcode bits, AA, TC set, RD clear
    q[3] = 0x7F;
    q[5] = 0x02;  // QDCOUNT 2
    const auto reply = makeBlockedResponse(q);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Datagram(reply->begin(), reply->begin() + 6),
              (Datagram{0xBE, 0xEF, 0x81, 0x80, 0, 2}));
    // The question (mixed case and QCLASS 3 included) is copied byte for byte.
    EXPECT_TRUE(std::equal(q.begin() + 12, q.end(), reply->begin() + 12));
    const std::size_t answer = q.size();
    EXPECT_EQ((*reply)[answer + 5], 0x01) << "answer CLASS is IN whatever the question says";
}

TEST(MakeBlockedResponse, yields_nothing_for_an_incomplete_question) {
    Datagram threeAfterZero = header();
    appendLabel(threeAfterZero, "test");
    appendBytes(threeAfterZero, {0x00, 0x00, 0x01, 0x00});
    Datagram noZeroByte = header();
    appendLabel(noZeroByte, "example");
    appendLabel(noZeroByte, "test");
    Datagram pointer = header();
    pointer.push_back(0xC0);
    pointer.insert(pointer.end(), 196, 'x');  // 209 bytes: the walk lands past the end
    Datagram overrun = header();
    appendBytes(overrun, {0x3F, 0x61, 0x62});
    const std::pair<const char*, Datagram> cases[] = {
        {"empty", {}},
        {"bare header", header()},
        {"only three bytes after the zero byte", threeAfterZero},
        {"name runs to the end without a zero byte", noZeroByte},
        {"label length beyond the end", overrun},
        {"compression pointer in a datagram under 210 bytes", pointer},
    };
    for (const auto& [what, query] : cases) {
        EXPECT_EQ(makeBlockedResponse(query), std::nullopt) << what;
    }
}

TEST(MakeBlockedResponse, question_may_end_exactly_at_the_end_of_the_datagram) {
    Datagram q = header();
    appendLabel(q, "test");
    appendBytes(q, {0x00, 0x00, 0x1c, 0x00, 0x01});
    const auto reply = makeBlockedResponse(q);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 40 + (q.size() - 12));

    Datagram pointer = header();
    pointer.push_back(0xC0);
    pointer.insert(pointer.end(), 192, 'x');
    appendBytes(pointer, {0x00, 0x00, 0x41, 0x00, 0x01});  // 210 bytes: read as one long label
    ASSERT_EQ(pointer.size(), 210u);
    const auto error = makeBlockedResponse(pointer);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->size(), 210u);
    EXPECT_EQ((*error)[3], 0x83);
}

// A SERVFAIL keeps the query's ID, opcode and RD, sets QR and RA and RCODE 2, copies the first
// question when the query counts a whole one, and drops everything else.
TEST(AppendServfail, copies_id_opcode_rd_and_the_question_only) {
    const Datagram question = [] {
        Datagram d(kQuestion);
        appendBytes(d, {0x00, 0x01, 0x00, 0x01});
        return d;
    }();
    const auto plus = [](Datagram head, const Datagram& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    struct Row {
        const char* what;
        Datagram query;
        std::optional<Datagram> servfail;
    };
    const Row rows[] = {
        {"the worked example, with its EDNS record dropped", workedExample(0x00, 0x01),
         plus({0x12, 0x34, 0x81, 0x82, 0, 1, 0, 0, 0, 0, 0, 0}, question)},
        {"opcode 2 without RD", plus({0xAB, 0xCD, 0x10, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}, question),
         plus({0xAB, 0xCD, 0x90, 0x82, 0, 1, 0, 0, 0, 0, 0, 0}, question)},
        {"a question the header does not count",
         plus({0x00, 0x07, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, question),
         Datagram{0x00, 0x07, 0x81, 0x82, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"a question cut short", Datagram{0x00, 0x08, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'a'},
         Datagram{0x00, 0x08, 0x81, 0x82, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"shorter than a header", Datagram{0x00, 0x09, 0x01}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Datagram out = {0xEE};  // appended after what is there
        const bool made = appendServfail(row.query, out);
        EXPECT_EQ(made, row.servfail.has_value());
        EXPECT_EQ(out, row.servfail ? plus({0xEE}, *row.servfail) : Datagram{0xEE});
    }
}

}  // namespace
}  // namespace sieveharbor::dns

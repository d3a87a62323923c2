#include "dns/edns.h"

#include <gtest/gtest.h>

#include "wire.h"

namespace sieveharbor::dns {
namespace {

using testing::appendBytes;
using testing::appendLabel;

// A query for a.example with the records given after its question (ANCOUNT, NSCOUNT, ARCOUNT
// as counted).
Datagram message(std::uint8_t an, std::uint8_t ns, std::uint8_t ar,
                 std::initializer_list<std::uint8_t> records) {
    Datagram d = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, an, 0x00, ns, 0x00, ar};
    appendLabel(d, "a");
    appendLabel(d, "example");
    appendBytes(d, {0x00, 0x00, 0x01, 0x00, 0x01});
    appendBytes(d, records);
    return d;
}

// An OPT record: root owner, type 41, UDP size, no extended flags, RDATA as given.
std::vector<std::uint8_t> opt(std::uint16_t udpSize, std::initializer_list<std::uint8_t> rdata) {
    std::vector<std::uint8_t> r = {0x00,
                                   0x00,
                                   0x29,
                                   static_cast<std::uint8_t>(udpSize >> 8),
                                   static_cast<std::uint8_t>(udpSize),
                                   0,
                                   0,
                                   0,
                                   0,
                                   0x00,
                                   static_cast<std::uint8_t>(rdata.size())};
    r.insert(r.end(), rdata);
    return r;
}

Datagram with(Datagram d, const std::vector<std::uint8_t>& tail) {
    d.insert(d.end(), tail.begin(), tail.end());
    return d;
}

// The OPT record is found in the additional section only, past records with compressed names,
// and nothing is read of a message whose counts its records do not fill.
TEST(Edns, the_opt_record_is_found_in_the_additional_section_of_a_whole_message) {
    const std::vector<std::uint8_t> answerRecord = {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0, 0,
                                                    0,    60,   0x00, 0x04, 192,  0,    2, 1};
    struct Row {
        const char* what;
        Datagram message;
        std::size_t limit;  // udpReplyLimit
        bool found;
    };
    const Row rows[] = {
        {"none", message(0, 0, 0, {}), 512, false},
        {"after an answer", with(with(message(1, 0, 1, {}), answerRecord), opt(1232, {})), 1232,
         true},
        {"small size", with(message(0, 0, 1, {}), opt(300, {})), 512, true},
        {"an OPT among the answers is not one", with(message(1, 0, 0, {}), opt(4096, {})), 512,
         false},
        {"cut short",
         [] {
             auto d = with(message(0, 0, 1, {}), opt(1232, {0x00, 0x0C}));
             d.pop_back();
             return d;
         }(),
         512, false},
        {"counts more than it holds", with(message(0, 0, 2, {}), opt(1232, {})), 512, false},
        {"header alone", Datagram{0x12, 0x34, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 1}, 512, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(findOpt(row.message).has_value(), row.found);
        EXPECT_EQ(udpReplyLimit(row.message), row.limit);
    }
}

// Padding brings the message to a multiple of the block with one padding option, the OPT's
// RDLENGTH grown to match; a message without EDNS, or padded already, is left as it is.
TEST(Edns, padding_fills_the_message_to_the_block) {
    for (std::size_t extra = 0; extra < 140; extra += 13) {
        std::vector<std::uint8_t> cookie = {0x00, 0x0A};  // a COOKIE option of `extra` bytes
        cookie.push_back(static_cast<std::uint8_t>(extra >> 8));
        cookie.push_back(static_cast<std::uint8_t>(extra));
        cookie.resize(4 + extra, 0x5A);
        auto d = message(0, 0, 1, {});
        auto record = opt(1232, {});
        record[10] = static_cast<std::uint8_t>(cookie.size());
        record[9] = static_cast<std::uint8_t>(cookie.size() >> 8);
        record.insert(record.end(), cookie.begin(), cookie.end());
        d = with(d, record);
        const auto before = d;
        ASSERT_TRUE(padToBlock(d, 128)) << extra;
        EXPECT_EQ(d.size() % 128, 0u) << extra;
        EXPECT_TRUE(std::equal(before.begin(), before.end() - static_cast<long>(cookie.size()) - 2,
                               d.begin()))
            << "everything before the OPT's RDLENGTH stays";
        const auto found = findOpt(d);
        ASSERT_TRUE(found);
        EXPECT_TRUE(found->padded);
        EXPECT_EQ(found->rdata + found->rdlength, d.size());
        auto again = d;
        EXPECT_FALSE(padToBlock(again, 128));
        EXPECT_EQ(again, d);
    }
    auto plain = message(0, 0, 0, {});
    EXPECT_FALSE(padToBlock(plain, 128));
    EXPECT_EQ(plain, message(0, 0, 0, {}));
}

TEST(Edns, a_truncated_reply_keeps_header_and_question_and_sets_tc) {
    auto reply =
        with(message(1, 0, 0, {}), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 1, 2, 3, 4});
    reply[2] = 0x81;
    reply[3] = 0x80;
    auto expected = message(0, 0, 0, {});
    expected[2] = 0x83;
    expected[3] = 0x80;
    EXPECT_EQ(truncatedReply(reply), expected);
    EXPECT_FALSE(truncatedReply(Datagram{0x12, 0x34, 0x81}));
}

}  // namespace
}  // namespace sieveharbor::dns

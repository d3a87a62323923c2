#include "dns/tcp_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sieveharbor::dns {
namespace {

Datagram messageOf(std::size_t size, std::uint8_t fill) {
    return Datagram(size, fill);
}

std::vector<std::uint8_t> concat(const std::vector<std::vector<std::uint8_t>>& parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Every case is fed whole, in two pieces cut at every point, and a byte at a time: the messages
// taken out, and how the stream ends, must not depend on how it was cut.
TEST(TcpFramer, reassembles_messages_however_the_stream_is_cut) {
    const Datagram header = messageOf(12, 0xAB);
    const Datagram largest = messageOf(0xFFFF, 0x5A);
    struct Row {
        const char* what;
        std::vector<std::uint8_t> stream;
        std::vector<Datagram> messages;
        TcpFramer::Status end;
        bool midMessage;
    };
    const auto more = TcpFramer::Status::more;
    const auto bad = TcpFramer::Status::bad;
    const auto two = concat({*frameMessage(header), *frameMessage(messageOf(40, 1))});
    // clang-format off
    const Row rows[] = {
        {"two messages back to back", two, {header, messageOf(40, 1)}, more, false},
        {"the largest message", *frameMessage(largest), {largest}, more, false},
        {"a message still coming", concat({*frameMessage(header), {0x00, 0x20, 1, 2, 3}}), {header}, more, true},
        {"a length byte alone", {0x00}, {}, more, true},
        {"length 0 after a message", concat({*frameMessage(header), {0x00, 0x00}}), {header}, bad, true},
        {"too short for a header", {0x00, 0x0B, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}, bad, true},
    };
    // clang-format on
    for (const auto& row : rows) {
        const std::size_t size = row.stream.size();
        std::vector<std::vector<std::size_t>> cuttings = {{size}};
        for (std::size_t cut = 1; cut < size && size < 1000; ++cut) {
            cuttings.push_back({cut, size - cut});
        }
        cuttings.push_back(std::vector<std::size_t>(size, 1));
        for (const auto& pieces : cuttings) {
            TcpFramer framer;
            std::vector<Datagram> taken;
            auto status = TcpFramer::Status::more;
            std::size_t at = 0;
            for (const std::size_t piece : pieces) {
                framer.append(std::span(row.stream).subspan(at, piece));
                at += piece;
                std::vector<std::uint8_t> framed;
                while ((status = framer.next(framed)) == TcpFramer::Status::message) {
                    const auto message = unframed(framed);
                    taken.emplace_back(message.begin(), message.end());
                    EXPECT_EQ(framed, frameMessage(message)) << "taken out whole, length and all";
                }
                if (status == TcpFramer::Status::bad) {
                    break;
                }
            }
            ASSERT_EQ(taken, row.messages) << row.what << ", " << pieces.size() << " pieces";
            EXPECT_EQ(status, row.end) << row.what << ", " << pieces.size() << " pieces";
            EXPECT_EQ(framer.midMessage(), row.midMessage) << row.what;
        }
    }
}

TEST(TcpFramer, a_message_too_long_for_its_length_is_not_framed) {
    EXPECT_FALSE(frameMessage(messageOf(0x10000, 0)));
    const auto framed = frameMessage(messageOf(0x1234, 7));
    ASSERT_TRUE(framed);
    EXPECT_EQ(std::tuple((*framed)[0], (*framed)[1], framed->size()),
              std::tuple(0x12, 0x34, 0x1236u));
}

}  // namespace
}  // namespace sieveharbor::dns

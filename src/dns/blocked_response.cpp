#include "dns/blocked_response.h"

#include <array>

namespace sieveharbor::dns {
namespace {

// Answer record after the question: NAME (pointer to offset 12), TYPE, CLASS IN, TTL 60,
// RDLENGTH, then RDATA of zeros.
constexpr std::array<std::uint8_t, 12> kAnswerA = {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01,
                                                   0x00, 0x00, 0x00, 0x3C, 0x00, 0x04};
constexpr std::array<std::uint8_t, 12> kAnswerAaaa = {0xC0, 0x0C, 0x00, 0x1C, 0x00, 0x01,
                                                      0x00, 0x00, 0x00, 0x3C, 0x00, 0x10};

// Offset just past the zero byte that ends the question name, or a position at or past the end
// when there is none. Labels are skipped by their length byte without testing that they fit.
std::size_t questionNameEnd(ByteView query) {
    std::size_t pos = kHeaderSize;
    while (pos < query.size()) {
        const std::size_t length = query[pos];
        if (length == 0) {
            return pos + 1;
        }
        pos += length + 1;
    }
    return pos;
}

// Where the first question's name ends, when four more bytes (QTYPE, QCLASS) follow it.
std::optional<std::size_t> answerableNameEnd(ByteView query) {
    if (query.size() <= kHeaderSize) {
        return std::nullopt;
    }
    const std::size_t nameEnd = questionNameEnd(query);
    if (nameEnd > query.size() || query.size() - nameEnd < 4) {
        return std::nullopt;
    }
    return nameEnd;
}

std::uint16_t typeAt(ByteView query, std::size_t nameEnd) {
    return static_cast<std::uint16_t>((query[nameEnd] << 8) | query[nameEnd + 1]);
}

}  // namespace

std::optional<std::uint16_t> questionType(ByteView query) {
    const auto nameEnd = answerableNameEnd(query);
    if (!nameEnd) {
        return std::nullopt;
    }
    return typeAt(query, *nameEnd);
}

std::optional<Datagram> makeBlockedResponse(ByteView query) {
    const auto nameEnd = answerableNameEnd(query);
    if (!nameEnd) {
        return std::nullopt;
    }
    const std::size_t questionEnd = *nameEnd + 4;
    const std::uint16_t qtype = typeAt(query, *nameEnd);

    const bool nameError = qtype == kTypeHttps;
    const std::array<std::uint8_t, 12>& answer = qtype == kTypeAaaa ? kAnswerAaaa : kAnswerA;
    const std::size_t rdataSize = qtype == kTypeAaaa ? 16 : 4;

    Datagram reply;
    reply.reserve(questionEnd + (nameError ? 0 : answer.size() + rdataSize));
    reply.insert(reply.end(),
                 {query[0], query[1], 0x81, nameError ? std::uint8_t{0x83} : std::uint8_t{0x80},
                  query[4], query[5], 0x00, nameError ? std::uint8_t{0x00} : std::uint8_t{0x01},
                  0x00, 0x00, 0x00, 0x00});
    reply.insert(reply.end(), query.begin() + static_cast<std::ptrdiff_t>(kHeaderSize),
                 query.begin() + static_cast<std::ptrdiff_t>(questionEnd));
    if (!nameError) {
        reply.insert(reply.end(), answer.begin(), answer.end());
        reply.insert(reply.end(), rdataSize, 0x00);
    }
    return reply;
}

}  // namespace sieveharbor::dns

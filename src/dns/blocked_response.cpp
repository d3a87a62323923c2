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

std::size_t rdataSize(BlockedAnswer answer) noexcept {
    switch (answer) {
        case BlockedAnswer::nameError:
            return 0;
        case BlockedAnswer::aaaa:
            return 16;
        case BlockedAnswer::a:
        case BlockedAnswer::other:
            break;
    }
    return 4;
}

}  // namespace

BlockedAnswer blockedAnswerFor(std::uint16_t type) noexcept {
    switch (type) {
        case kTypeA:
            return BlockedAnswer::a;
        case kTypeAaaa:
            return BlockedAnswer::aaaa;
        case kTypeHttps:
            return BlockedAnswer::nameError;
        default:
            return BlockedAnswer::other;
    }
}

std::size_t blockedResponseSize(const Question& question) noexcept {
    const std::size_t rdata = rdataSize(blockedAnswerFor(question.type));
    return question.end + (rdata == 0 ? 0 : kAnswerA.size() + rdata);
}

void appendBlockedResponse(ByteView query, const Question& question,
                           std::vector<std::uint8_t>& out) {
    const auto answer = blockedAnswerFor(question.type);
    const bool nameError = answer == BlockedAnswer::nameError;
    out.reserve(out.size() + blockedResponseSize(question));
    out.insert(out.end(),
               {query[0], query[1], 0x81, nameError ? std::uint8_t{0x83} : std::uint8_t{0x80},
                query[4], query[5], 0x00, nameError ? std::uint8_t{0x00} : std::uint8_t{0x01}, 0x00,
                0x00, 0x00, 0x00});
    out.insert(out.end(), query.begin() + static_cast<std::ptrdiff_t>(kHeaderSize),
               query.begin() + static_cast<std::ptrdiff_t>(question.end));
    if (!nameError) {
        const auto& record = answer == BlockedAnswer::aaaa ? kAnswerAaaa : kAnswerA;
        out.insert(out.end(), record.begin(), record.end());
        out.insert(out.end(), rdataSize(answer), 0x00);
    }
}

std::optional<Datagram> makeBlockedResponse(ByteView query) {
    const Question question = questionBounds(query);
    if (!question.complete()) {
        return std::nullopt;
    }
    Datagram reply;
    appendBlockedResponse(query, question, reply);
    return reply;
}

}  // namespace sieveharbor::dns

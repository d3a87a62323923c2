#include "dns/edns.h"

#include "dns/question.h"

namespace sieveharbor::dns {

namespace {

constexpr std::uint16_t kTypeOpt = 41;
constexpr std::uint16_t kOptionPadding = 12;
constexpr std::size_t kClassicUdpLimit = 512;
constexpr std::uint8_t kTc = 0x02;

std::uint16_t read16(ByteView message, std::size_t at) noexcept {
    return static_cast<std::uint16_t>((message[at] << 8) | message[at + 1]);
}

// One past a name at `at` (labels, then a zero byte or a compression pointer); 0 when it runs
// past the end.
std::size_t skipName(ByteView message, std::size_t at) noexcept {
    while (at < message.size()) {
        const std::uint8_t length = message[at];
        if (length == 0) {
            return at + 1;
        }
        if ((length & 0xC0) == 0xC0) {
            return at + 2 <= message.size() ? at + 2 : 0;
        }
        if ((length & 0xC0) != 0) {
            return 0;  // no other label kind is in use
        }
        at += 1 + length;
    }
    return 0;
}

bool holdsPadding(ByteView message, std::size_t rdata, std::size_t rdlength) noexcept {
    for (std::size_t at = rdata; at + 4 <= rdata + rdlength;) {
        if (read16(message, at) == kOptionPadding) {
            return true;
        }
        at += 4 + read16(message, at + 2);
    }
    return false;
}

}  // namespace

std::optional<OptRecord> findOpt(ByteView message) noexcept {
    if (message.size() < kHeaderSize) {
        return std::nullopt;
    }
    const std::size_t questions = read16(message, 4);
    const std::size_t records =
        std::size_t{read16(message, 6)} + read16(message, 8) + read16(message, 10);
    std::size_t at = kHeaderSize;
    for (std::size_t i = 0; i < questions; ++i) {
        at = skipName(message, at);
        if (at == 0 || at + 4 > message.size()) {
            return std::nullopt;
        }
        at += 4;
    }
    const std::size_t additionalFrom = records - read16(message, 10);
    std::optional<OptRecord> found;
    for (std::size_t i = 0; i < records; ++i) {
        const std::size_t owner = at;
        at = skipName(message, at);
        if (at == 0 || at + 10 > message.size()) {
            return std::nullopt;
        }
        const std::uint16_t type = read16(message, at);
        const std::uint16_t rdlength = read16(message, at + 8);
        const std::size_t rdata = at + 10;
        if (rdata + rdlength > message.size()) {
            return std::nullopt;
        }
        if (type == kTypeOpt && i >= additionalFrom && message[owner] == 0 && !found) {
            found = OptRecord{rdata, rdlength, read16(message, at + 2), at + 8,
                              holdsPadding(message, rdata, rdlength)};
        }
        at = rdata + rdlength;
    }
    return found;
}

std::size_t udpReplyLimit(ByteView query) noexcept {
    const auto opt = findOpt(query);
    return opt && opt->udpSize > kClassicUdpLimit ? opt->udpSize : kClassicUdpLimit;
}

bool padToBlock(std::vector<std::uint8_t>& message, std::size_t block) {
    const auto opt = findOpt(message);
    if (!opt || opt->padded || block == 0) {
        return false;
    }
    const std::size_t withOption = message.size() + 4;
    const std::size_t padding = (block - withOption % block) % block;
    if (withOption + padding > 65535 || opt->rdlength + 4 + padding > 65535) {
        return false;
    }
    const std::size_t end = opt->rdata + opt->rdlength;
    std::vector<std::uint8_t> option = {0x00, kOptionPadding,
                                        static_cast<std::uint8_t>(padding >> 8),
                                        static_cast<std::uint8_t>(padding)};
    option.resize(4 + padding, 0x00);
    message.insert(message.begin() + static_cast<std::ptrdiff_t>(end), option.begin(),
                   option.end());
    const std::size_t rdlength = opt->rdlength + option.size();
    message[opt->lengthField] = static_cast<std::uint8_t>(rdlength >> 8);
    message[opt->lengthField + 1] = static_cast<std::uint8_t>(rdlength);
    return true;
}

std::optional<Datagram> truncatedReply(ByteView reply) {
    if (reply.size() < kHeaderSize) {
        return std::nullopt;
    }
    const Question question = questionBounds(reply);
    const bool copied = (reply[4] != 0 || reply[5] != 0) && question.complete();
    Datagram out = {reply[0], reply[1], static_cast<std::uint8_t>(reply[2] | kTc),
                    reply[3], 0x00,     copied ? std::uint8_t{1} : std::uint8_t{0},
                    0x00,     0x00,     0x00,
                    0x00,     0x00,     0x00};
    if (copied) {
        out.insert(out.end(), reply.begin() + static_cast<std::ptrdiff_t>(kHeaderSize),
                   reply.begin() + static_cast<std::ptrdiff_t>(question.end));
    }
    return out;
}

}  // namespace sieveharbor::dns

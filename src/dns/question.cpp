#include "dns/question.h"

#include <algorithm>

#include "text/text.h"

namespace sieveharbor::dns {

namespace {

// Walks the labels of the first question's name, calling onLabel for each one that lies wholly
// inside the message. Returns one past the name's zero byte, or 0 when there is none inside the
// message (the name ran to the end) or a label overran (overran is then set).
template <class OnLabel>
std::size_t walkName(ByteView message, bool& overran, OnLabel&& onLabel) {
    overran = false;
    std::size_t pos = kHeaderSize;
    while (pos < message.size()) {
        const std::size_t length = message[pos];
        if (length == 0) {
            return pos + 1;
        }
        const std::size_t end = pos + 1 + length;
        if (end > message.size()) {
            overran = true;
            return 0;
        }
        onLabel(std::string_view(reinterpret_cast<const char*>(message.data() + pos + 1), length));
        pos = end;
    }
    return 0;
}

// The question's end and type from where its name ends.
void completeFrom(ByteView message, std::size_t nameEnd, Question& question) noexcept {
    if (nameEnd != 0 && message.size() - nameEnd >= 4) {
        question.end = nameEnd + 4;
        question.type = static_cast<std::uint16_t>((message[nameEnd] << 8) | message[nameEnd + 1]);
    }
}

}  // namespace

Question readQuestion(ByteView message, std::string& storage) {
    storage.clear();
    Question question;
    if (message.size() <= kHeaderSize) {
        return question;
    }
    bool overran = false;
    const std::size_t nameEnd = walkName(message, overran, [&storage](std::string_view label) {
        if (text::isWellFormedUtf8(label)) {
            if (!storage.empty()) {
                storage.push_back('.');
            }
            storage.append(label);
        }
    });
    if (overran) {
        storage.clear();
        return question;
    }
    completeFrom(message, nameEnd, question);
    if (!storage.empty()) {
        // Lowered once, here: matching reads the name as it is left.
        if (!text::asciiLowerInPlace(storage).ascii) {
            storage = text::toLower(storage);
        }
        question.name = storage;
    }
    return question;
}

bool isReplyTo(ByteView reply, ByteView query) noexcept {
    if (reply.size() < 2 || query.size() < 2 || reply[0] != query[0] || reply[1] != query[1]) {
        return false;
    }
    // QDCOUNT, read here because the walk below does not look at the header.
    const bool replyHasQuestion = reply.size() > kHeaderSize && (reply[4] | reply[5]) != 0;
    const auto asked = questionBounds(query);
    const auto answered = questionBounds(reply);
    if (!replyHasQuestion || !asked.complete() || !answered.complete()) {
        return true;
    }
    return std::equal(
        query.begin() + kHeaderSize, query.begin() + static_cast<std::ptrdiff_t>(asked.end),
        reply.begin() + kHeaderSize, reply.begin() + static_cast<std::ptrdiff_t>(answered.end),
        [](std::uint8_t a, std::uint8_t b) {
            const auto lower = [](std::uint8_t c) {
                return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c;
            };
            return lower(a) == lower(b);
        });
}

Question questionBounds(ByteView message) noexcept {
    Question question;
    if (message.size() <= kHeaderSize) {
        return question;
    }
    bool overran = false;
    const std::size_t nameEnd = walkName(message, overran, [](std::string_view) {});
    completeFrom(message, nameEnd, question);
    return question;
}

}  // namespace sieveharbor::dns

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// The first question of a message, as one walk of its name finds it.
struct Question {
    // The name: its labels decoded as UTF-8 (a label that is not well-formed is skipped, leaving
    // no separator behind), joined by ".", lower-cased. Empty when no name can be read: fewer
    // than 13 bytes, a label that runs past the end, or no label decoded. Lives in the storage
    // given to readQuestion.
    std::string_view name;
    // One past QCLASS, when the name ends with its zero byte and QTYPE and QCLASS follow it; 0
    // when the question is incomplete. A blocked reply copies the message up to here.
    std::size_t end = 0;
    // QTYPE, when the question is complete.
    std::uint16_t type = 0;

    bool complete() const noexcept { return end != 0; }
};

// Reads the first question in one walk: every non-zero length byte is a plain label length (a
// compression pointer reads as a 192..255-byte label), with no label, name or label-count limit;
// the header is not looked at. A name that runs to the very end of the message without its zero
// byte is still a name, but its question is incomplete. `storage` is reused from call to call, so
// that reading allocates nothing once it has grown. Never reads outside `message`. Pure.
Question readQuestion(ByteView message, std::string& storage);

// Where the first question ends and its type, as readQuestion finds them, without decoding the
// name; the name is left empty.
Question questionBounds(ByteView message) noexcept;

// Whether `reply` may answer `query`: the same ID and, when both carry a whole first question, the
// same question (names compared without regard to ASCII case). A datagram that fails it on an
// exchange's socket is a stray, such as a late reply to an earlier exchange that had the same
// port. A reply whose header counts no question (some errors carry none) is judged by its ID
// alone. Pure.
bool isReplyTo(ByteView reply, ByteView query) noexcept;

}  // namespace sieveharbor::dns

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "dns/datagram.h"
#include "dns/question.h"

namespace sieveharbor::dns {

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypeAaaa = 28;
inline constexpr std::uint16_t kTypeHttps = 65;

// What a blocked query is answered with, by its type: the one rule that both the reply and its
// count follow.
enum class BlockedAnswer : std::uint8_t {
    a,          // type A: one A record 0.0.0.0
    aaaa,       // type AAAA: one AAAA record ::
    nameError,  // type HTTPS: a name error, no records
    other,      // any other type: one A record 0.0.0.0
};
BlockedAnswer blockedAnswerFor(std::uint16_t type) noexcept;

// The reply that stands in for a blocked query, built from the query's bytes alone:
//   QTYPE 28 (AAAA): one AAAA record ::, TTL 60            (40 + Q bytes)
//   QTYPE 65 (HTTPS): name error, no records                (12 + Q bytes)
//   any other QTYPE: one A record 0.0.0.0, TTL 60           (28 + Q bytes)
// where Q is the length of the first question (name, its zero byte, QTYPE, QCLASS), copied byte
// for byte. The ID and QDCOUNT are copied; the flags are always 0x81 0x80 (0x81 0x83 for the
// name error); anything after the first question is dropped.
//
// Nothing when the question is incomplete: fewer than 13 bytes, no zero byte ends the name
// inside the datagram, or fewer than 4 bytes follow it. Never reads outside `query`. Pure.
std::optional<Datagram> makeBlockedResponse(ByteView query);

// The same reply for a question already read from `query` (complete() must hold), appended to
// `out`: a stream writes replies one after another into one buffer.
void appendBlockedResponse(ByteView query, const Question& question,
                           std::vector<std::uint8_t>& out);

// The size appendBlockedResponse appends.
std::size_t blockedResponseSize(const Question& question) noexcept;

}  // namespace sieveharbor::dns

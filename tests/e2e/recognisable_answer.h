#pragma once

// The answers of the end-to-end tests' stub resolvers, UDP and TLS alike.

#include <cstdint>
#include <optional>

#include "dns/datagram.h"
#include "dns/question.h"
#include "fakes/loopback.h"

namespace sieveharbor::e2e {

using dns::Datagram;

// "big.*" A queries: 40 addresses, too many for the 512 bytes a plain UDP client takes, so over
// UDP the answer says only that it was truncated (TC), and over TCP it is whole.
constexpr std::uint8_t kBigRecords = 40;

// Header (ID kept, QR RD RA, one question, one answer), the query's first question, and the A
// record pointing at that question's name; for "big.*" what kBigRecords says. Anything without a
// whole question gets the query back with QR set.
inline std::optional<Datagram> recognisableAnswer(const Datagram& query, bool overTcp) {
    const auto question = dns::questionBounds(query);
    if (!question.complete()) {
        return fakes::StubUpstream::answer(query);
    }
    const std::size_t end = question.end;
    const bool big = query.size() > 16 && query[12] == 3 && query[13] == 'b' && query[14] == 'i' &&
                     query[15] == 'g';
    const bool typeA = question.type == 1;
    const std::uint8_t records = !big ? 1 : (!typeA || !overTcp) ? 0 : kBigRecords;
    const std::uint8_t flags = big && typeA && !overTcp ? 0x83 : 0x81;  // 0x02: TC
    Datagram reply{query[0], query[1], flags, 0x80, 0, 1, 0, records, 0, 0, 0, 0};
    reply.insert(reply.end(), query.begin() + 12, query.begin() + static_cast<long>(end));
    for (std::uint8_t i = 0; i < records; ++i) {
        const std::uint8_t last = big ? static_cast<std::uint8_t>(i + 1) : 53;
        const std::uint8_t record[] = {0xC0, 0x0C, 0, 1, 0,   1, 0, 0,
                                       0x10, 0x92, 0, 4, 192, 0, 2, last};
        reply.insert(reply.end(), std::begin(record), std::end(record));
    }
    return reply;
}

}  // namespace sieveharbor::e2e

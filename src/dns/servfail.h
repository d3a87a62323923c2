#pragma once

#include <cstdint>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// The answer to a query no upstream replied to, so that the client stops waiting and can ask
// elsewhere: the query's ID, its opcode and RD copied, QR and RA set, RCODE 2 (SERVFAIL), and
// its first question copied when the query counts one and it is whole (QDCOUNT 1), else none;
// no records. Appended to `out`; false, with nothing appended, for a message shorter than a
// header. Never reads outside `query`. Pure.
bool appendServfail(ByteView query, std::vector<std::uint8_t>& out);

}  // namespace sieveharbor::dns

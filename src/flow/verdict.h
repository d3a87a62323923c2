#pragma once

#include <optional>

#include "blocklist/domain_set.h"
#include "dns/datagram.h"

namespace sieveharbor::flow {

// What one message gets, whichever transport brought it.
enum class Verdict {
    answer,  // blocked: the reply is answered here
    drop,    // neither answered nor relayed: a response, or a blocked query cut short
    relay,   // sent upstream unchanged
};

struct Judgement {
    Verdict verdict;
    std::optional<dns::Datagram> reply;  // the blocked reply, exactly when verdict is answer
};

// The per-message decision of the UDP dispatch and the TCP server alike. A response (QR set) is
// dropped: answered or relayed, a reply to a reply bounces between two resolvers for ever. Any
// other message whose first question's name, or a parent of it, is in `blocked` is answered with
// the blocked reply, or dropped when its question is incomplete; the rest (names that are not
// blocked, and messages with no readable name, which the resolver judges) are relayed. Pure.
Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked);

}  // namespace sieveharbor::flow

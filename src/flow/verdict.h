#pragma once

#include <optional>

#include "blocklist/domain_set.h"
#include "dns/datagram.h"
#include "metrics/counters.h"

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
    // For the counters: the reply's kind when answered, the reason when dropped.
    metrics::Answer answer = metrics::Answer::other;
    metrics::Drop drop = metrics::Drop::notAQuery;
};

// The per-message decision of the UDP dispatch and the TCP server alike. A response (QR set) is
// dropped: answered or relayed, a reply to a reply bounces between two resolvers for ever. Any
// other message whose first question's name, or a parent of it, is in `blocked` is answered with
// the blocked reply, or dropped when its question is incomplete; the rest (names that are not
// blocked, and messages with no readable name, which the resolver judges) are relayed. Pure.
Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked);

// Counts one message received by `transport` and, when it was answered or dropped, what it got.
// A relayed message is counted by the relay, which alone knows whether it left.
void countJudgement(metrics::Counters& counters, metrics::Transport transport,
                    const Judgement& judgement) noexcept;

}  // namespace sieveharbor::flow

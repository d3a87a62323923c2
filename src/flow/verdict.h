#pragma once

#include <cstdint>
#include <string>

#include "blocklist/domain_set.h"
#include "dns/datagram.h"
#include "dns/question.h"
#include "metrics/counters.h"

namespace sieveharbor::flow {

// What one message gets, whichever transport brought it.
enum class Verdict {
    answer,  // blocked: answered here with the blocked reply
    drop,    // neither answered nor relayed: a response, or a blocked query cut short
    relay,   // sent upstream unchanged
};

struct Judgement {
    Verdict verdict = Verdict::relay;
    // Read once; complete() whenever the verdict is answer, so the reply is built from it.
    dns::Question question;
    metrics::Drop drop = metrics::Drop::notAQuery;  // why, when dropped
};

// The per-message decision. A response (QR set) is dropped: answered or relayed, a reply to a
// reply bounces between two resolvers for ever. Any other message whose first question's name,
// or a parent of it, is in `blocked` is answered, or dropped when its question is incomplete;
// the rest (names that are not blocked, and messages with no readable name, which the resolver
// judges) are relayed. The name is read into `name`, which the question's name then views. Pure.
Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked,
                       std::string& name);

// The blocked reply's kind, by the question's type, for the counters.
metrics::Answer answerKind(std::uint16_t type) noexcept;

}  // namespace sieveharbor::flow

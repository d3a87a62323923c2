#include "flow/verdict.h"

#include "blocklist/matching.h"
#include "dns/blocked_response.h"

namespace sieveharbor::flow {

Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked,
                       std::string& name) {
    if (dns::isResponse(message)) {
        return {Verdict::drop, {}, metrics::Drop::notAQuery};
    }
    dns::Question question = dns::readQuestion(message, name);
    const bool isBlocked = !question.name.empty() && blocklist::isLoweredNameBlocked(name, blocked);
    question.name = name;  // the matcher pads the buffer, which may move it
    if (!isBlocked) {
        return {Verdict::relay, question};
    }
    if (!question.complete()) {
        return {Verdict::drop, question, metrics::Drop::incompleteQuestion};
    }
    return {Verdict::answer, question};
}

metrics::Answer answerKind(std::uint16_t type) noexcept {
    switch (dns::blockedAnswerFor(type)) {
        case dns::BlockedAnswer::a:
            return metrics::Answer::a;
        case dns::BlockedAnswer::aaaa:
            return metrics::Answer::aaaa;
        case dns::BlockedAnswer::nameError:
            return metrics::Answer::httpsNameError;
        case dns::BlockedAnswer::other:
            break;
    }
    return metrics::Answer::other;
}

}  // namespace sieveharbor::flow

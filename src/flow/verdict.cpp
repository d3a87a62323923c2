#include "flow/verdict.h"

#include <string>

#include "blocklist/matching.h"
#include "dns/blocked_response.h"
#include "dns/query_name.h"

namespace sieveharbor::flow {

namespace {

metrics::Answer answerKind(dns::ByteView query) {
    switch (dns::questionType(query).value_or(0)) {
        case dns::kTypeA:
            return metrics::Answer::a;
        case dns::kTypeAaaa:
            return metrics::Answer::aaaa;
        case dns::kTypeHttps:
            return metrics::Answer::httpsNameError;
        default:
            return metrics::Answer::other;
    }
}

}  // namespace

Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked) {
    if (dns::isResponse(message)) {
        return {Verdict::drop, std::nullopt, {}, metrics::Drop::notAQuery};
    }
    // Kept per thread: its storage outlives the query, so judging one allocates nothing.
    thread_local std::string name;
    if (!dns::extractDomainNameInto(message, name) || !blocklist::isNameBlocked(name, blocked)) {
        return {Verdict::relay, std::nullopt};
    }
    auto reply = dns::makeBlockedResponse(message);
    if (!reply) {
        return {Verdict::drop, std::nullopt, {}, metrics::Drop::incompleteQuestion};
    }
    return {Verdict::answer, std::move(reply), answerKind(message)};
}

void countJudgement(metrics::Counters& counters, metrics::Transport transport,
                    const Judgement& judgement) noexcept {
    counters.received(transport);
    if (judgement.verdict == Verdict::answer) {
        counters.answered(judgement.answer);
    } else if (judgement.verdict == Verdict::drop) {
        counters.dropped(judgement.drop);
    }
}

}  // namespace sieveharbor::flow

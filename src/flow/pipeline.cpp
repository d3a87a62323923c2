#include "flow/pipeline.h"

#include "blocklist/matching.h"
#include "dns/blocked_response.h"
#include "flow/stream_session.h"

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
    switch (type) {
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

Pipeline::Pipeline(const blocklist::DomainSetHolder& blocked, ForwardContext forward,
                   std::string upstreamHost, StreamLimits streamLimits)
    : blocked_(blocked),
      forward_(std::move(forward)),
      upstreamHost_(std::move(upstreamHost)),
      streamLimits_(streamLimits),
      streams_(std::make_unique<StreamRegistry>(streamLimits.maxConnections)) {}

Pipeline::~Pipeline() = default;

Judgement Pipeline::judge(blocklist::SnapshotCursor& list, dns::ByteView message,
                          metrics::Transport transport) const {
    // Kept per thread: its storage outlives the message, so judging one allocates nothing.
    thread_local std::string name;
    Judgement judgement = judgeMessage(message, list.current(), name);
    auto& counters = *forward_.counters();
    counters.received(transport);
    if (judgement.verdict == Verdict::answer) {
        counters.answered(answerKind(judgement.question.type));
    } else if (judgement.verdict == Verdict::drop) {
        counters.dropped(judgement.drop);
    }
    return judgement;
}

}  // namespace sieveharbor::flow

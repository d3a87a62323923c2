#include "flow/flow_context.h"

namespace sieveharbor::flow {

FlowContext::FlowContext(const blocklist::DomainSetHolder& blocked,
                         std::shared_ptr<platform::ConnectionFactory> connections,
                         RelaySettings relay, std::shared_ptr<platform::Queue> queue,
                         StreamRegistry& streams, StreamLimits streamLimits)
    : blocked_(blocked),
      counters_(std::make_shared<metrics::Counters>()),
      forward_(std::move(connections), queue, counters_, std::move(relay)),
      queue_(std::move(queue)),
      streams_(streams),
      streamLimits_(streamLimits) {}

Judgement FlowContext::judge(blocklist::SnapshotCursor& list, dns::ByteView message,
                             metrics::Transport transport) const {
    // Kept per thread: its storage outlives the message, so judging one allocates nothing.
    thread_local std::string name;
    Judgement judgement = judgeMessage(message, list.current(), name);
    auto& counters = *counters_;
    counters.received(transport);
    if (judgement.verdict == Verdict::answer) {
        counters.answered(answerKind(judgement.question.type));
    } else if (judgement.verdict == Verdict::drop) {
        counters.dropped(judgement.drop);
    }
    return judgement;
}

}  // namespace sieveharbor::flow

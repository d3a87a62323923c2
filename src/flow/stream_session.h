#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "dns/tcp_framing.h"
#include "flow/flow_context.h"
#include "flow/forward_query.h"
#include "flow/stream_registry.h"
#include "platform/queue.h"
#include "platform/stream_flow.h"

namespace sieveharbor::flow {

// Serves one stream flow (DNS over TCP): opens it, reads it, takes the framed messages out of the
// bytes as they come and judges each as a datagram would be: a blocked query is answered, a
// relayed one goes upstream, still framed, over a stream connection of its own, a dropped one
// gets nothing. Several queries may be in progress at once (pipelining); their answers are
// written as each is ready, and the answers that are ready together leave in one write. Returns
// at once.
//
// A client that closes its side (a half-close) is read no further, but the queries it wrote are
// answered, each within the upstream's bound; then the flow is closed. The flow is closed at once
// when a read fails (a reset), when the framing breaks (a length too short for a header), when
// nothing is in progress for the idle time, when the client leaves more answer bytes unread than
// the limit, when the provider has gone, and to make room for a new flow at the cap; a flow that
// cannot open is closed with the open's error.
void serveStreamFlow(std::weak_ptr<const FlowContext> context,
                     std::shared_ptr<platform::StreamFlow> flow);

// One stream flow being served. Everything it does runs on its lane, a serial queue of its own;
// the idle flag is the only state read from elsewhere.
class StreamSession final : public RegisteredStream,
                            public ExchangeOwner,
                            public std::enable_shared_from_this<StreamSession> {
  public:
    StreamSession(std::weak_ptr<const FlowContext> context,
                  std::shared_ptr<platform::StreamFlow> flow, std::shared_ptr<platform::Queue> lane,
                  StreamLimits limits);

    void start();
    void close(std::optional<metrics::TcpClose> reason) override;
    bool idle() const noexcept override { return idle_.load(std::memory_order_acquire); }

    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override;

  private:
    void read();
    void received(std::vector<std::uint8_t> bytes, bool ended, bool failed);
    void pump(const FlowContext& context);
    void handle(const FlowContext& context, blocklist::SnapshotCursor& list,
                std::vector<std::uint8_t> framed);
    void flush();
    void wrote(std::size_t bytes, bool failed);
    void becomeBusy();
    void becomeIdleIfDone();
    void closeNow(std::optional<metrics::TcpClose> reason);

    const std::weak_ptr<const FlowContext> context_;
    const std::shared_ptr<platform::StreamFlow> flow_;
    const std::shared_ptr<platform::Queue> lane_;
    const StreamLimits limits_;
    dns::TcpFramer framer_;
    std::vector<std::uint8_t> out_;  // framed answers not yet handed to the flow
    std::size_t unwritten_ = 0;      // bytes handed to the flow and not yet taken by it
    std::size_t inProgress_ = 0;     // queries relayed and not yet ended
    std::shared_ptr<platform::Timer> idleTimer_;
    std::shared_ptr<StreamSession> readHold_;  // this session, while a read is pending
    bool reading_ = false;
    bool inputEnded_ = false;  // the client has closed its side: answer what was read, then close
    bool paused_ = false;      // messages wait unread for an exchange to end
    bool closed_ = false;
    std::atomic<bool> idle_{false};
};

}  // namespace sieveharbor::flow

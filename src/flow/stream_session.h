#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "dns/tcp_framing.h"
#include "flow/forward_query.h"
#include "flow/pipeline.h"
#include "platform/queue.h"
#include "platform/stream_flow.h"

namespace sieveharbor::flow {

class StreamSession;

// Serves one stream flow (DNS over TCP): opens it, reads it, takes the length-framed messages out
// of the bytes as they come and puts each through the pipeline as a datagram would go: a blocked
// query is answered, a relayed one goes upstream over a stream connection of its own, a dropped
// one gets nothing. Several queries may be in progress at once (pipelining); their answers are
// written as each is ready, and the answers that are ready together leave in one write. Returns
// at once.
//
// The flow is closed (read, then write) when the client closes its side or a read fails, when the
// framing breaks (a length too short for a header), when nothing is in progress for the idle
// time, when the client leaves more answer bytes unread than the limit, when the provider has
// gone, and to make room for a new flow at the cap; a flow that cannot open is left alone.
void serveStreamFlow(std::weak_ptr<const Pipeline> pipeline,
                     std::shared_ptr<platform::StreamFlow> flow);

// The stream flows of one provider, oldest first, for the cap on their number. Any thread.
class StreamRegistry {
  public:
    explicit StreamRegistry(std::size_t maxSessions) : maxSessions_(maxSessions) {}

    // Takes a session in. At the cap the oldest idle session is closed to make room; when none is
    // idle the newcomer is refused (false), and the caller closes it.
    bool admit(const std::shared_ptr<StreamSession>& session);
    void forget(const StreamSession* session);

    std::size_t count() const;
    std::size_t idleCount() const;

  private:
    const std::size_t maxSessions_;
    mutable std::mutex mutex_;
    std::list<std::shared_ptr<StreamSession>> sessions_;  // oldest first
};

// One stream flow being served. Everything it does runs on its lane, a serial queue of its own;
// the idle flag is the only state read from elsewhere.
class StreamSession final : public StreamExchangeOwner,
                            public std::enable_shared_from_this<StreamSession> {
  public:
    StreamSession(std::weak_ptr<const Pipeline> pipeline,
                  std::shared_ptr<platform::StreamFlow> flow, std::shared_ptr<platform::Queue> lane,
                  StreamLimits limits);

    void start();
    // Closes the flow on the session's lane, counting `reason` when there is one; any thread.
    void close(std::optional<metrics::TcpClose> reason);
    bool idle() const noexcept { return idle_.load(std::memory_order_acquire); }

    void exchangeEnded(std::optional<dns::Datagram> reply) override;

  private:
    void read();
    void received(std::vector<std::uint8_t> bytes, bool end);
    void pump(const Pipeline& pipeline);
    void handle(const Pipeline& pipeline, blocklist::SnapshotCursor& list, dns::Datagram message);
    void appendReply(const dns::Datagram& reply);
    void flush();
    void wrote(std::size_t bytes, bool failed);
    void becomeBusy();
    void becomeIdleIfDone();
    void closeNow(std::optional<metrics::TcpClose> reason);

    const std::weak_ptr<const Pipeline> pipeline_;
    const std::shared_ptr<platform::StreamFlow> flow_;
    const std::shared_ptr<platform::Queue> lane_;
    const StreamLimits limits_;
    dns::TcpFramer framer_;
    std::vector<std::uint8_t> out_;  // framed answers not yet handed to the flow
    std::size_t unwritten_ = 0;      // bytes handed to the flow and not yet taken by it
    std::size_t inProgress_ = 0;     // queries relayed and not yet ended
    std::shared_ptr<platform::Timer> idleTimer_;
    bool reading_ = false;
    bool paused_ = false;  // messages wait unread for an exchange to end
    bool closed_ = false;
    std::atomic<bool> idle_{false};
};

}  // namespace sieveharbor::flow

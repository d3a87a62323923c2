// A stream flow being served, driven through fakes: framing, pipelining, the idle and
// slow-reader rules, the bound on queries in progress and the cap on flows.
#include "flow/stream_session.h"

#include <gtest/gtest.h>

#include "blocklist/domain_set_holder.h"
#include "blocklist/set_of.h"
#include "dns/blocked_response.h"
#include "dns/wire.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_flow.h"
#include "fakes/fake_queue.h"

namespace sieveharbor::flow {
namespace {

using dns::testing::query;
using fakes::FakeStreamFlow;
using metrics::TcpClose;
using platform::ConnectionState;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

const auto kBlocked = query({"ads", "blocked", "example"});
const auto kRelayed = query({"open", "example"}, 1, 1, 0x0001);
const dns::Datagram kUpstreamReply{0x00, 0x01, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0x42};

Bytes framed(const dns::Datagram& message) {
    return *dns::frameMessage(message);
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kBlockedAnswer = framed(*dns::makeBlockedResponse(kBlocked));

struct Harness {
    std::shared_ptr<fakes::FakeQueue> queue = std::make_shared<fakes::FakeQueue>();
    std::shared_ptr<fakes::FakeConnectionFactory> factory =
        std::make_shared<fakes::FakeConnectionFactory>();
    blocklist::DomainSetHolder list;
    StreamRegistry streams;
    std::shared_ptr<FlowContext> context;
    std::vector<std::shared_ptr<FakeStreamFlow>> flows;

    explicit Harness(StreamLimits limits = {}) : streams(limits.maxConnections) {
        factory->script.statesOnStart = {ConnectionState::ready()};
        factory->script.sendResult = std::optional<platform::ConnectionError>{};
        list.publish(std::make_shared<const blocklist::DomainSet>(
            blocklist::testing::setOf({"blocked.example"})));
        context = std::make_shared<FlowContext>(
            list, factory, RelaySettings(fakes::FakeConnectionFactory::documentationUpstreams()),
            queue, streams, limits);
    }
    // Ends every exchange and every pending read, so that nothing outlives the test.
    ~Harness() {
        queue->advance(kReplyTimeout);
        for (const auto& flow : flows) {
            flow->completeWrites();
            while (flow->completeRead({}, std::make_error_code(std::errc::connection_reset))) {
                queue->runUntilIdle();
            }
        }
        queue->runUntilIdle();
    }

    std::shared_ptr<FakeStreamFlow> open() {
        auto flow = std::make_shared<FakeStreamFlow>();
        flows.push_back(flow);
        serveStreamFlow(context, flow);
        flow->completeOpen();
        queue->runUntilIdle();
        return flow;
    }
    void send(FakeStreamFlow& flow, const Bytes& bytes) {
        ASSERT_TRUE(flow.completeRead(bytes));
        queue->runUntilIdle();
    }
    // Answers the first upstream connection; it got ready and sent the query by itself.
    void answerUpstream() {
        factory->connections().at(0)->completeReceive({framed(kUpstreamReply), false, {}});
        queue->runUntilIdle();
    }
    std::uint64_t closedFor(TcpClose reason) const {
        return context->counters().read().tcpClosed[static_cast<std::size_t>(reason)];
    }
};

// However the bytes are cut, every whole message is answered, and the answers that one read
// makes ready leave in one write. The client's end, a failed read, bad framing or the provider's
// going closes the flow unanswered.
TEST(StreamSession, frames_messages_however_the_bytes_arrive_and_closes_when_the_stream_ends) {
    const Bytes two = framed(kBlocked) + framed(kBlocked);
    enum End { open, closed, badFraming, providerGone };
    struct Row {
        const char* what;
        std::vector<Bytes> reads;
        std::size_t writes;  // the two answers leave in that many writes; none once closed
        End end = open;
        std::optional<platform::FlowError> error = std::nullopt;
    };
    const auto reset = std::make_error_code(std::errc::connection_reset);
    // clang-format off
    const Row rows[] = {
        {"one message a read", {framed(kBlocked), framed(kBlocked)}, 2},
        {"two messages in one read", {two}, 1},
        {"cut inside the length", {Bytes(two.begin(), two.begin() + 1), Bytes(two.begin() + 1, two.end())}, 1},
        {"cut inside the second message", {Bytes(two.begin(), two.end() - 3), Bytes(two.end() - 3, two.end())}, 2},
        {"client closed its side", {{}}, 0, closed},
        {"read failed", {{}}, 0, closed, reset},
        {"length of zero", {{0x00, 0x00}}, 0, badFraming},
        {"length too short for a header", {{0x00, 0x05, 1, 2, 3, 4, 5}}, 0, badFraming},
        {"provider gone: closed unanswered", {framed(kBlocked)}, 0, providerGone},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Harness h;
        auto flow = h.open();
        if (row.end == providerGone) {
            h.context.reset();
        }
        for (const auto& bytes : row.reads) {
            ASSERT_TRUE(flow->completeRead(bytes, row.error));
            h.queue->runUntilIdle();
        }
        EXPECT_EQ(flow->written(), row.end == open ? kBlockedAnswer + kBlockedAnswer : Bytes{});
        EXPECT_EQ(flow->writeCount(), row.writes);
        EXPECT_EQ(flow->closed(), row.end != open);
        EXPECT_EQ(flow->pendingReads(), row.end == open ? 1u : 0u);
        if (row.end != providerGone) {
            EXPECT_EQ(h.closedFor(TcpClose::badFraming), row.end == badFraming ? 1u : 0u);
            EXPECT_EQ(h.context->streams().count(), row.end == open ? 1u : 0u);
        }
    }
}

// Each answer leaves as it is ready: a blocked query sent after a relayed one waiting at the
// upstream is answered first. Beyond the bound on queries in progress the rest wait, unread and
// unjudged, until one ends.
TEST(StreamSession, answers_as_each_is_ready_and_reads_no_further_at_the_bound_in_progress) {
    const Bytes relayedAnswer = framed(kUpstreamReply);
    for (const std::size_t bound : {StreamLimits{}.maxInProgress, std::size_t{1}}) {
        SCOPED_TRACE(bound);
        const bool atBound = bound == 1;
        Harness h(StreamLimits{.maxInProgress = bound});
        auto flow = h.open();
        h.send(*flow, framed(kRelayed) + framed(kBlocked));
        EXPECT_EQ(flow->written(), atBound ? Bytes{} : kBlockedAnswer);
        EXPECT_EQ(flow->pendingReads(), atBound ? 0u : 1u);
        ASSERT_EQ(h.factory->connections().size(), 1u);
        EXPECT_EQ(h.factory->connections()[0]->transport(), platform::Transport::stream);
        h.answerUpstream();
        EXPECT_EQ(flow->written(),
                  atBound ? relayedAnswer + kBlockedAnswer : kBlockedAnswer + relayedAnswer);
        EXPECT_EQ(flow->pendingReads(), 1u);
        EXPECT_EQ(h.context->counters().read().received[1], 2u);
    }
}

// A client that shuts its write side after its queries gets every answer, and then the close; one
// that resets is closed at once, and the answers still to come are dropped.
TEST(StreamSession, a_half_closed_client_gets_every_answer_then_the_close_and_a_reset_nothing) {
    const Bytes relayedAnswer = framed(kUpstreamReply);
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "half-closed");
        Harness h;
        auto flow = h.open();
        h.send(*flow, framed(kRelayed) + framed(kRelayed) + framed(kBlocked) + framed(kRelayed));
        const auto error =
            reset ? std::optional(std::make_error_code(std::errc::connection_reset)) : std::nullopt;
        ASSERT_TRUE(flow->completeRead({}, error));
        h.queue->runUntilIdle();
        EXPECT_EQ(flow->pendingReads(), 0u) << "nothing is read after the end";
        const auto& upstream = h.factory->connections();
        ASSERT_EQ(upstream.size(), 3u);
        for (std::size_t i = 0; i < upstream.size(); ++i) {
            EXPECT_EQ(flow->closed(), reset) << "closed before answer " << i;
            upstream[i]->completeReceive({relayedAnswer, false, {}});
            h.queue->runUntilIdle();
        }
        EXPECT_TRUE(flow->closed());
        // The blocked answer left before the end; the relayed ones only for a half-close.
        EXPECT_EQ(flow->written(),
                  reset ? kBlockedAnswer
                        : kBlockedAnswer + relayedAnswer + relayedAnswer + relayedAnswer);
    }
}

// Idle means no query in progress and no answer unwritten; bytes of a message that has not wholly
// arrived are no progress. Once the last progress ends the idle clock starts again.
TEST(StreamSession, closes_a_flow_idle_for_the_idle_time) {
    struct Row {
        const char* what;
        Bytes bytes;
        bool holdWrites;
        bool closedAtIdleTime;
    };
    const Row rows[] = {
        {"nothing sent", {}, false, true},
        {"half a length sent", {0x00}, false, true},
        {"a relayed query in progress", framed(kRelayed), false, false},
        {"an answer not yet taken", framed(kBlocked), true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Harness h(StreamLimits{.idleTimeout = milliseconds(200)});
        auto flow = h.open();
        flow->holdWrites = row.holdWrites;
        if (!row.bytes.empty()) {
            h.send(*flow, row.bytes);
        }
        const auto closedAtIdleTime = [&] {
            h.queue->advance(milliseconds(199));
            EXPECT_FALSE(flow->closed());
            h.queue->advance(milliseconds(1));
            return flow->closed();
        };
        EXPECT_EQ(closedAtIdleTime(), row.closedAtIdleTime);
        if (!row.closedAtIdleTime) {
            if (row.holdWrites) {
                flow->completeWrites();
                h.queue->runUntilIdle();
            } else {
                h.answerUpstream();
            }
            EXPECT_TRUE(closedAtIdleTime());
        }
        EXPECT_EQ(h.closedFor(TcpClose::idle), 1u);
        // Its read is left pending, as a platform may leave it: that must not keep the session,
        // so the flow has only the test's holders.
        ASSERT_EQ(flow->pendingReads(), 1u);
        h.queue->runUntilIdle();
        EXPECT_EQ(flow.use_count(), 2) << "a closed session still holds its flow";
    }
}

TEST(StreamSession, a_client_that_does_not_take_its_answers_is_closed) {
    Harness h(StreamLimits{.maxQueuedBytes = 3 * kBlockedAnswer.size()});
    auto flow = h.open();
    flow->holdWrites = true;
    for (int i = 0; i < 3; ++i) {
        h.send(*flow, framed(kBlocked));
        EXPECT_FALSE(flow->closed());
    }
    h.send(*flow, framed(kBlocked));
    EXPECT_TRUE(flow->closed());
    EXPECT_EQ(h.closedFor(TcpClose::slowReader), 1u);
}

// At the cap the oldest idle flow makes room; with none idle the newcomer is closed.
TEST(StreamSession, a_new_flow_at_the_cap_replaces_the_oldest_idle_one) {
    Harness h(StreamLimits{.maxConnections = 2});
    auto oldest = h.open();
    auto busy = h.open();
    h.send(*busy, framed(kRelayed));
    auto newcomer = h.open();
    EXPECT_TRUE(oldest->closed());
    EXPECT_FALSE(busy->closed());
    EXPECT_FALSE(newcomer->closed());
    h.send(*newcomer, framed(kRelayed));
    auto refused = h.open();
    EXPECT_TRUE(refused->closed()) << "every flow busy: the newcomer is closed";
    EXPECT_EQ(refused->calls(),
              (std::vector{FakeStreamFlow::Call::open, FakeStreamFlow::Call::closeRead,
                           FakeStreamFlow::Call::closeWrite}));
    EXPECT_EQ(h.closedFor(TcpClose::connectionCap), 2u);
    EXPECT_EQ(h.context->streams().count(), 2u);
    EXPECT_EQ(h.context->streams().idleCount(), 0u);
}

}  // namespace
}  // namespace sieveharbor::flow

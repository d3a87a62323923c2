// The upstream exchange over both transports, driven step by step through fakes: no sockets, no
// threads, no sleeps.
#include "flow/forward_query.h"

#include <gtest/gtest.h>

#include <functional>

#include "dns/tcp_framing.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_queue.h"

namespace sieveharbor::flow {
namespace {

using fakes::FakeConnection;
using fakes::FakeConnectionFactory;
using fakes::FakeQueue;
using platform::ConnectionState;
using platform::Transport;
using std::chrono::milliseconds;
using Datagrams = std::vector<dns::Datagram>;

const dns::Datagram kQuery{0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const dns::Datagram kReply{0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0};
// A reply to another query that came to the same port: another ID.
const dns::Datagram kStray{0x99, 0x99, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0};
const auto kRefused = std::make_error_code(std::errc::connection_refused);

dns::Datagram framed(const dns::Datagram& message) {
    return *dns::frameMessage(message);
}

// A framed message from its byte `from` on.
dns::Datagram framedFrom(const dns::Datagram& message, std::ptrdiff_t from) {
    const auto bytes = framed(message);
    return dns::Datagram(bytes.begin() + from, bytes.end());
}

// What an exchange hands back.
struct RecordingOwner final : ExchangeOwner {
    std::vector<std::optional<dns::Datagram>> ended;
    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override {
        ended.push_back(std::move(reply));
    }
};

struct Harness {
    std::shared_ptr<FakeQueue> queue = std::make_shared<FakeQueue>();
    std::shared_ptr<FakeConnectionFactory> factory = std::make_shared<FakeConnectionFactory>(queue);
    std::shared_ptr<RecordingOwner> owner = std::make_shared<RecordingOwner>();
    ForwardContext context;
    Transport transport;

    explicit Harness(Transport t = Transport::datagram, ForwardOptions options = {})
        : context(factory, std::make_shared<metrics::Counters>(), options), transport(t) {}

    // The query as the transport carries it.
    dns::Datagram query() const { return transport == Transport::stream ? framed(kQuery) : kQuery; }

    // Starts one exchange and runs it up to the point where it waits for the connection.
    std::shared_ptr<FakeConnection> forward() {
        const auto before = factory->connections().size();
        forwardQuery(context, transport, query(), owner);
        queue->runUntilIdle();
        return factory->connections().size() > before ? factory->connections().back() : nullptr;
    }

    Datagrams delivered() const {
        Datagrams out;
        for (const auto& reply : owner->ended) {
            if (reply) {
                out.push_back(*reply);
            }
        }
        return out;
    }
};

// One thing the platform does to the connection, over a stream or not. A reply's content is
// framed on a stream, unless it is raw: bytes as they stand, for the stream's own cases.
using Event = std::function<void(FakeConnection&, bool stream)>;

Event report(ConnectionState state) {
    return [state](FakeConnection& c, bool) { c.reportState(state); };
}
Event sendDone(std::optional<platform::ConnectionError> error = std::nullopt) {
    return [error](FakeConnection& c, bool) { ASSERT_TRUE(c.completeSend(error)); };
}
Event reply(std::optional<dns::Datagram> content, bool complete = true,
            std::optional<platform::ConnectionError> error = std::nullopt) {
    return [=](FakeConnection& c, bool stream) {
        ASSERT_TRUE(
            c.completeReceive({stream && content ? framed(*content) : content, complete, error}));
    };
}
Event raw(dns::Datagram bytes, bool complete) {
    return [=](FakeConnection& c, bool) { ASSERT_TRUE(c.completeReceive({bytes, complete, {}})); };
}
const Event kReady = report(ConnectionState::ready());
const Event kFailed = report(ConnectionState::failed(kRefused));
const Event kCancelled = report(ConnectionState::cancelled());
const Event kWaiting =
    report(ConnectionState::waiting(std::make_error_code(std::errc::network_unreachable)));
const Event kSent = sendDone();
const Event kSendFails = sendDone(kRefused);

enum Transports { kBoth, kDatagramOnly, kStreamOnly };

struct Row {
    const char* name;
    std::vector<Event> events;
    bool sent;
    std::size_t receives;
    std::optional<dns::Datagram> delivered;
    bool ended;
    Transports transports = kBoth;
    bool dropped = false;  // for want of a descriptor: never carried, so not an exchange
};

// One row a line, as a table reads.
// clang-format off
const Row kRows[] = {
    {"ready_sends_the_query", {kReady}, true, 0, {}, false},
    {"failed_cancels_before_sending", {kFailed}, false, 0, {}, true},
    {"setup_preparing_and_cancelled_do_nothing",
     {report(ConnectionState::setup()), report(ConnectionState::preparing()), kCancelled}, false, 0, {}, false},
    {"ready_after_waiting_still_sends", {kWaiting, kReady}, true, 0, {}, false, kDatagramOnly},
    {"a_waiting_stream_fails_at_once", {kWaiting}, false, 0, {}, true, kStreamOnly},
    {"a_stream_waiting_while_receiving_fails", {kReady, kSent, kWaiting}, true, 1, {}, true, kStreamOnly},
    {"second_ready_sends_nothing_more", {kReady, kReady}, true, 0, {}, false},
    {"send_error_cancels_without_receiving", {kReady, kSendFails}, true, 0, {}, true},
    {"sent_query_arms_one_receive", {kReady, kSent}, true, 1, {}, false},
    {"reply_is_delivered_then_cancelled", {kReady, kSent, reply(kReply)}, true, 1, kReply, true},
    {"incomplete_flag_is_not_looked_at", {kReady, kSent, reply(kReply, false)}, true, 1, kReply, true},
    {"a_stray_or_empty_datagram_is_skipped", {kReady, kSent, reply(dns::Datagram{}), reply(kStray), reply(kReply)}, true, 3, kReply, true, kDatagramOnly},
    {"reply_with_error_is_not_delivered", {kReady, kSent, reply(kReply, true, kRefused)}, true, 1, {}, true},
    {"receive_without_content_is_not_delivered", {kReady, kSent, reply({})}, true, 1, {}, true},
    {"failure_while_receiving_cancels", {kReady, kSent, kFailed}, true, 1, {}, true},
    {"cancelled_state_after_the_reply_changes_nothing", {kReady, kSent, reply(kReply), kCancelled}, true, 1, kReply, true},
    {"a_reply_in_pieces_is_put_together",
     {kReady, kSent, raw({0x00}, false), raw(framedFrom(kReply, 1), false)}, true, 2, kReply, true, kStreamOnly},
    {"closed_before_a_whole_reply_is_a_failure", {kReady, kSent, raw({0x00, 0x20, 0x12}, true)}, true, 1, {}, true, kStreamOnly},
    {"no_descriptor_is_a_drop", {report(ConnectionState::failed(std::make_error_code(std::errc::too_many_files_open)))}, false, 0, {}, true, kBoth, true},
    {"a_length_too_short_for_a_header_is_a_failure", {kReady, kSent, raw({0x00, 0x02, 0x12, 0x34}, false)}, true, 1, {}, true, kStreamOnly},
};
// clang-format on

TEST(ForwardQuery, follows_the_state_send_and_receive_tables_on_either_transport) {
    for (const auto& row : kRows) {
        for (const auto transport : {Transport::datagram, Transport::stream}) {
            if (row.transports == (transport == Transport::stream ? kDatagramOnly : kStreamOnly)) {
                continue;
            }
            const bool stream = transport == Transport::stream;
            SCOPED_TRACE(std::string(row.name) + (stream ? " over a stream" : " over datagrams"));
            // The default timeout on one transport, a chosen one on the other.
            const auto timeout = stream ? milliseconds(200) : kReplyTimeout;
            Harness h(transport, ForwardOptions{.replyTimeout = timeout});
            // Left pending by cancel, so that a late completion can be delivered below.
            h.factory->script.completePendingOnCancel = false;
            auto connection = h.forward();
            ASSERT_NE(connection, nullptr);
            EXPECT_EQ(connection->transport(), transport);
            EXPECT_EQ(h.queue->serialQueuesMade(), 1u) << "each exchange has a queue of its own";
            for (const auto& event : row.events) {
                event(*connection, stream);
                h.queue->runUntilIdle();
            }

            // Framed both ways over a stream, as they stand: neither is taken apart.
            const auto sent = h.query();
            const auto delivered = stream && row.delivered ? framed(*row.delivered) : row.delivered;
            EXPECT_EQ(connection->sent(), row.sent ? Datagrams{sent} : Datagrams{});
            EXPECT_EQ(connection->receiveCalls(), row.receives);
            EXPECT_EQ(h.delivered(), delivered ? Datagrams{*delivered} : Datagrams{});
            EXPECT_EQ(connection->cancelCalls(), row.ended ? 1u : 0u);
            EXPECT_EQ(h.context.inFlight(), row.ended ? 0u : 1u);
            // An exchange that has ended leaves no timer behind, and its owner has heard of it.
            EXPECT_EQ(h.queue->pendingTimers(), row.ended ? 0u : 1u);
            EXPECT_EQ(h.owner->ended.size(), row.ended ? 1u : 0u);

            // Whatever the row left open, the timeout ends it, not a tick early, once, and
            // nothing completed after the cancel is delivered or sent.
            h.queue->advance(timeout - milliseconds(1));
            EXPECT_EQ(connection->cancelCalls(), row.ended ? 1u : 0u);
            h.queue->advance(milliseconds(1));
            while (connection->completeSend() ||
                   connection->completeReceive({stream ? framed(kReply) : kReply, true, {}})) {
                h.queue->runUntilIdle();
            }
            EXPECT_EQ(connection->sent(), row.sent ? Datagrams{sent} : Datagrams{});
            EXPECT_EQ(connection->cancelCalls(), 1u);
            EXPECT_EQ(h.context.inFlight(), 0u);
            EXPECT_EQ(h.delivered().size(), row.delivered ? 1u : 0u);
            EXPECT_EQ(h.owner->ended.size(), 1u);
            EXPECT_FALSE(connection->hasStateHandler());
            // Counted once, by how it ended: a reply, a timeout (left open) or a failure.
            const auto m = h.context.counters()->read();
            std::array<std::uint64_t, 3> exchanges{};
            if (!row.dropped) {
                ++exchanges[row.delivered ? 0 : row.ended ? 2 : 1];
            }
            EXPECT_EQ(m.exchanges, exchanges);
            EXPECT_EQ(m.relayed, row.dropped ? 0u : 1u);
            EXPECT_EQ(m.dropped[3], row.dropped ? 1u : 0u);
        }
    }
}

// The cap is shared by both transports, and every way out gives a slot back exactly once.
TEST(ForwardQuery, drops_queries_of_either_transport_beyond_the_in_flight_cap) {
    Harness h(Transport::datagram, ForwardOptions{.maxInFlight = 2});
    auto first = h.forward();
    h.transport = Transport::stream;
    ASSERT_NE(h.forward(), nullptr);
    EXPECT_FALSE(forwardQuery(h.context, Transport::stream, h.query(), h.owner));
    h.transport = Transport::datagram;
    EXPECT_EQ(h.forward(), nullptr);
    EXPECT_EQ(h.context.counters()->read().dropped[1], 2u);  // over the cap
    EXPECT_TRUE(h.owner->ended.empty()) << "a dropped query's owner is never called";

    first->reportState(ConnectionState::failed(kRefused));
    h.queue->runUntilIdle();
    EXPECT_EQ(h.context.inFlight(), 1u);
    EXPECT_NE(h.forward(), nullptr);
    h.queue->advance(kReplyTimeout);
    EXPECT_EQ(h.context.inFlight(), 0u);
    EXPECT_EQ(h.owner->ended, (std::vector<std::optional<dns::Datagram>>{std::nullopt, std::nullopt,
                                                                         std::nullopt}));
}

TEST(ForwardQuery, exchange_outlives_its_context_and_then_lets_its_owner_go) {
    auto queue = std::make_shared<FakeQueue>();
    auto factory = std::make_shared<FakeConnectionFactory>(queue);
    factory->script.statesOnStart = {ConnectionState::ready()};
    factory->script.sendResult = std::optional<platform::ConnectionError>{};
    auto owner = std::make_shared<RecordingOwner>();
    {
        ForwardContext context(factory, std::make_shared<metrics::Counters>());
        forwardQuery(context, Transport::datagram, kQuery, owner);
    }
    queue->runUntilIdle();
    EXPECT_GT(owner.use_count(), 1);
    factory->connections().at(0)->completeReceive({kReply, true, std::nullopt});
    queue->runUntilIdle();
    EXPECT_EQ(owner->ended, std::vector<std::optional<dns::Datagram>>{kReply});
    EXPECT_EQ(owner.use_count(), 1) << "nothing of the exchange is left holding its owner";
}

}  // namespace
}  // namespace sieveharbor::flow

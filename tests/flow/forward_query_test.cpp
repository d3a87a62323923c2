// The upstream exchange, driven step by step through fakes: no sockets, no threads, no sleeps.
#include "flow/forward_query.h"

#include <gtest/gtest.h>

#include <variant>

#include "fakes/fake_connection.h"
#include "fakes/fake_flow.h"
#include "fakes/fake_queue.h"

namespace sieveharbor::flow {
namespace {

using fakes::FakeConnection;
using fakes::FakeConnectionFactory;
using fakes::FakeQueue;
using fakes::FakeUdpFlow;
using platform::ConnectionState;
using std::chrono::milliseconds;

const dns::Datagram kQuery{0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const dns::Datagram kReply{0x99, 0x99, 0x81, 0x80};
const auto kRefused = std::make_error_code(std::errc::connection_refused);

struct Harness {
    std::shared_ptr<FakeQueue> queue = std::make_shared<FakeQueue>();
    std::shared_ptr<FakeConnectionFactory> factory = std::make_shared<FakeConnectionFactory>();
    std::shared_ptr<FakeUdpFlow> flow = std::make_shared<FakeUdpFlow>();
    ForwardContext context;

    explicit Harness(ForwardOptions options = {}) : context(queue, factory, options) {}

    // Starts one exchange and runs it up to the point where it waits for the connection.
    std::shared_ptr<FakeConnection> forward(std::string_view label = "client") {
        const auto before = factory->connections().size();
        forwardQuery(context, kQuery, flow, fakes::endpoint(label), "1.1.1.3");
        queue->runUntilIdle();
        return factory->connections().size() > before ? factory->connections().back() : nullptr;
    }
};

// One thing the platform does to the connection.
struct Report {
    ConnectionState state;
};
struct SendDone {
    std::optional<platform::ConnectionError> error;
};
using Event = std::variant<Report, SendDone, FakeConnection::Reply>;

struct Row {
    const char* name;
    std::vector<Event> events;
    bool sent;
    bool receiveArmed;
    std::optional<dns::Datagram> written;
    bool cancelled;
};

void apply(FakeConnection& connection, const Event& event) {
    if (const auto* report = std::get_if<Report>(&event)) {
        connection.reportState(report->state);
    } else if (const auto* done = std::get_if<SendDone>(&event)) {
        ASSERT_TRUE(connection.completeSend(done->error));
    } else {
        ASSERT_TRUE(connection.completeReceive(std::get<FakeConnection::Reply>(event)));
    }
}

const Report kReady{ConnectionState::ready()};

class ExchangeTable : public testing::TestWithParam<Row> {};

TEST_P(ExchangeTable, follows_the_state_send_and_receive_tables) {
    const Row& row = GetParam();
    Harness h;
    auto connection = h.forward();
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->started());
    EXPECT_EQ(connection->host(), "1.1.1.3");
    EXPECT_EQ(connection->port(), 53);

    for (const auto& event : row.events) {
        apply(*connection, event);
        h.queue->runUntilIdle();
    }

    if (row.sent) {
        ASSERT_EQ(connection->sent().size(), 1u);
        EXPECT_EQ(connection->sent()[0], kQuery);
    } else {
        EXPECT_TRUE(connection->sent().empty());
    }
    EXPECT_EQ(connection->receiveCalls(), row.receiveArmed ? 1u : 0u);
    const auto writes = h.flow->writes();
    if (row.written) {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].datagrams, std::vector<dns::Datagram>{*row.written});
        EXPECT_EQ(writes[0].endpoints, std::vector<Endpoint>{fakes::endpoint("client")});
    } else {
        EXPECT_TRUE(writes.empty());
    }
    EXPECT_EQ(connection->cancelCalls(), row.cancelled ? 1u : 0u);
    EXPECT_EQ(h.context.inFlight(), row.cancelled ? 0u : 1u);

    // Whatever the row left open, the timeout ends it, once, and writes nothing more.
    h.queue->advance(kReplyTimeout);
    EXPECT_EQ(connection->cancelCalls(), 1u);
    EXPECT_EQ(h.context.inFlight(), 0u);
    EXPECT_EQ(h.flow->writes().size(), row.written ? 1u : 0u);
    EXPECT_FALSE(connection->hasStateHandler());
}

const auto kWaiting =
    ConnectionState::waiting(std::make_error_code(std::errc::network_unreachable));

INSTANTIATE_TEST_SUITE_P(
    Rows, ExchangeTable,
    testing::Values(
        Row{"ready_sends_the_query", {kReady}, true, false, std::nullopt, false},
        Row{"failed_cancels_before_sending",
            {Report{ConnectionState::failed(kRefused)}},
            false,
            false,
            std::nullopt,
            true},
        Row{"setup_does_nothing",
            {Report{ConnectionState::setup()}},
            false,
            false,
            std::nullopt,
            false},
        Row{"preparing_does_nothing",
            {Report{ConnectionState::preparing()}},
            false,
            false,
            std::nullopt,
            false},
        Row{"waiting_does_nothing", {Report{kWaiting}}, false, false, std::nullopt, false},
        Row{"cancelled_state_does_nothing",
            {Report{ConnectionState::cancelled()}},
            false,
            false,
            std::nullopt,
            false},
        Row{"ready_after_waiting_still_sends",
            {Report{kWaiting}, kReady},
            true,
            false,
            std::nullopt,
            false},
        Row{"second_ready_sends_nothing_more", {kReady, kReady}, true, false, std::nullopt, false},
        Row{"send_error_cancels_without_receiving",
            {kReady, SendDone{kRefused}},
            true,
            false,
            std::nullopt,
            true},
        Row{"sent_query_arms_one_receive", {kReady, SendDone{}}, true, true, std::nullopt, false},
        Row{"reply_is_written_to_the_endpoint_then_cancelled",
            {kReady, SendDone{}, FakeConnection::Reply{kReply, true, std::nullopt}},
            true,
            true,
            kReply,
            true},
        Row{"incomplete_flag_is_not_looked_at",
            {kReady, SendDone{}, FakeConnection::Reply{kReply, false, std::nullopt}},
            true,
            true,
            kReply,
            true},
        Row{"empty_reply_is_written_as_empty_datagram",
            {kReady, SendDone{}, FakeConnection::Reply{dns::Datagram{}, true, std::nullopt}},
            true,
            true,
            dns::Datagram{},
            true},
        Row{"reply_with_error_is_not_written",
            {kReady, SendDone{}, FakeConnection::Reply{kReply, true, kRefused}},
            true,
            true,
            std::nullopt,
            true},
        Row{"receive_without_content_is_not_written",
            {kReady, SendDone{}, FakeConnection::Reply{std::nullopt, true, std::nullopt}},
            true,
            true,
            std::nullopt,
            true},
        Row{"receive_error_without_content_cancels",
            {kReady, SendDone{}, FakeConnection::Reply{std::nullopt, false, kRefused}},
            true,
            true,
            std::nullopt,
            true},
        Row{"failure_while_receiving_cancels",
            {kReady, SendDone{}, Report{ConnectionState::failed(kRefused)}},
            true,
            true,
            std::nullopt,
            true},
        Row{"cancelled_state_after_the_reply_changes_nothing",
            {kReady, SendDone{}, FakeConnection::Reply{kReply, true, std::nullopt},
             Report{ConnectionState::cancelled()}},
            true,
            true,
            kReply,
            true}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(ForwardQuery, times_out_after_the_reply_timeout_and_writes_nothing) {
    Harness h;
    h.factory->script.statesOnStart = {ConnectionState::ready()};
    h.factory->script.sendResult = std::optional<platform::ConnectionError>{};
    auto connection = h.forward();
    ASSERT_EQ(connection->pendingReceives(), 1u);

    h.queue->advance(kReplyTimeout - milliseconds(1));
    EXPECT_EQ(connection->cancelCalls(), 0u);
    EXPECT_EQ(h.context.inFlight(), 1u);

    h.queue->advance(milliseconds(1));
    EXPECT_EQ(connection->cancelCalls(), 1u);
    EXPECT_EQ(h.context.inFlight(), 0u);
    EXPECT_TRUE(h.flow->writes().empty());
    EXPECT_FALSE(connection->hasStateHandler());
}

TEST(ForwardQuery, connection_stuck_waiting_times_out) {
    Harness h(ForwardOptions{.replyTimeout = milliseconds(200)});
    h.factory->script.statesOnStart = {ConnectionState::preparing(), kWaiting};
    auto connection = h.forward();
    h.queue->advance(milliseconds(200));
    EXPECT_EQ(connection->cancelCalls(), 1u);
    EXPECT_TRUE(connection->sent().empty());
    EXPECT_EQ(h.context.inFlight(), 0u);
}

TEST(ForwardQuery, reply_before_the_timeout_disarms_it) {
    Harness h;
    h.factory->script.statesOnStart = {ConnectionState::ready()};
    h.factory->script.sendResult = std::optional<platform::ConnectionError>{};
    h.factory->script.reply = FakeConnection::Reply{kReply, true, std::nullopt};
    auto connection = h.forward();
    EXPECT_EQ(h.flow->writes().size(), 1u);
    EXPECT_EQ(h.queue->pendingTimers(), 0u);
    h.queue->advance(kReplyTimeout * 2);
    EXPECT_EQ(connection->cancelCalls(), 1u);
    EXPECT_EQ(h.flow->writes().size(), 1u);
    EXPECT_EQ(h.context.inFlight(), 0u);
}

// A platform that completes a receive after cancel must still see nothing written.
TEST(ForwardQuery, nothing_is_written_after_cancel) {
    struct Case {
        const char* name;
        std::function<void(Harness&, FakeConnection&)> end;
    };
    const Case cases[] = {
        {"timeout", [](Harness& h, FakeConnection&) { h.queue->advance(kReplyTimeout); }},
        {"failure",
         [](Harness& h, FakeConnection& c) {
             c.reportState(ConnectionState::failed(kRefused));
             h.queue->runUntilIdle();
         }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Harness h;
        h.factory->script.statesOnStart = {ConnectionState::ready()};
        h.factory->script.sendResult = std::optional<platform::ConnectionError>{};
        h.factory->script.completePendingOnCancel = false;
        auto connection = h.forward();
        test.end(h, *connection);
        ASSERT_EQ(connection->cancelCalls(), 1u);

        ASSERT_TRUE(connection->completeReceive({kReply, true, std::nullopt}));
        connection->reportState(ConnectionState::ready());
        h.queue->runUntilIdle();
        h.queue->advance(kReplyTimeout);
        EXPECT_TRUE(h.flow->writes().empty());
        EXPECT_EQ(connection->cancelCalls(), 1u);
        EXPECT_EQ(connection->sent().size(), 1u);
        EXPECT_EQ(h.context.inFlight(), 0u);
    }
}

TEST(ForwardQuery, drops_queries_beyond_the_in_flight_cap_until_a_slot_frees) {
    Harness h(ForwardOptions{.maxInFlight = 2});
    auto first = h.forward("a");
    auto second = h.forward("b");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(h.forward("c"), nullptr);
    EXPECT_EQ(h.factory->connections().size(), 2u);
    EXPECT_EQ(h.context.inFlight(), 2u);

    first->reportState(ConnectionState::failed(kRefused));
    h.queue->runUntilIdle();
    EXPECT_EQ(h.context.inFlight(), 1u);
    EXPECT_NE(h.forward("d"), nullptr);
    EXPECT_EQ(h.context.inFlight(), 2u);

    // Every way out at once releases each slot exactly once.
    h.queue->advance(kReplyTimeout);
    EXPECT_EQ(h.context.inFlight(), 0u);
    EXPECT_TRUE(h.forward("e") != nullptr);
    EXPECT_EQ(h.context.inFlight(), 1u);
    h.queue->advance(kReplyTimeout);
    EXPECT_EQ(h.context.inFlight(), 0u);
}

TEST(ForwardQuery, each_exchange_gets_its_own_connection_and_serial_queue) {
    Harness h;
    auto a = h.forward("a");
    auto b = h.forward("b");
    EXPECT_NE(a, b);
    EXPECT_EQ(h.queue->serialQueuesMade(), 2u);
    // Replies come back in the order they arrive, each to its own endpoint.
    for (auto* c : {b.get(), a.get()}) {
        c->reportState(ConnectionState::ready());
        h.queue->runUntilIdle();
        c->completeSend();
        h.queue->runUntilIdle();
        c->completeReceive({c == a.get() ? kQuery : kReply, true, std::nullopt});
        h.queue->runUntilIdle();
    }
    const auto writes = h.flow->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].endpoints[0], fakes::endpoint("b"));
    EXPECT_EQ(writes[0].datagrams[0], kReply);
    EXPECT_EQ(writes[1].endpoints[0], fakes::endpoint("a"));
    EXPECT_EQ(writes[1].datagrams[0], kQuery);
}

TEST(ForwardQuery, exchange_outlives_its_context_and_then_lets_the_flow_go) {
    auto queue = std::make_shared<FakeQueue>();
    auto factory = std::make_shared<FakeConnectionFactory>();
    auto flow = std::make_shared<FakeUdpFlow>();
    {
        ForwardContext context(queue, factory, {});
        forwardQuery(context, kQuery, flow, fakes::endpoint("a"), "1.1.1.3");
    }
    queue->runUntilIdle();
    auto connection = factory->connections().at(0);
    EXPECT_GT(flow.use_count(), 1);
    connection->reportState(ConnectionState::ready());
    queue->runUntilIdle();
    connection->completeSend();
    queue->runUntilIdle();
    connection->completeReceive({kReply, true, std::nullopt});
    queue->runUntilIdle();
    EXPECT_EQ(flow->writes().size(), 1u);
    // Nothing of the exchange is left holding the flow.
    EXPECT_EQ(flow.use_count(), 1);
}

}  // namespace
}  // namespace sieveharbor::flow

#include "platform/linux/tcp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "blocklist/blocklist_text.h"
#include "dns/wire.h"
#include "fakes/loopback.h"
#include "fakes/loopback_tcp.h"
#include "fakes/wait_for.h"
#include "flow/verdict.h"
#include "platform/linux/asio_pool.h"

namespace sieveharbor::platform::linux_host {
namespace {

using dns::testing::query;
using fakes::StubUpstream;
using fakes::TcpClient;
using fakes::TcpStubUpstream;
using std::chrono::milliseconds;

constexpr milliseconds kWait{2000};

// The upstream's answer to a query: the query with QR set, so it tells which query it answers.
const auto kAnswer = StubUpstream::answer;

dns::Datagram relayedQuery(std::uint16_t id = 0x1234) {
    return query({"relayed", "example"}, 1, 1, id);
}

// A server on a free loopback port, judging by a fixed list, relaying to `upstream`.
struct Server {
    explicit Server(std::uint16_t upstreamPort, TcpLimits limits = {},
                    std::size_t maxInFlight = flow::kMaxInFlight,
                    milliseconds replyTimeout = flow::kReplyTimeout)
        : blocked(blocklist::parseBlocklist("blocked.example\n").value()),
          limit(std::make_shared<flow::InFlightLimit>(maxInFlight)) {
        TcpUpstream upstream{
            {asio::ip::make_address("127.0.0.1"), upstreamPort}, replyTimeout, limit, counters};
        auto started = TcpServer::listen(
            queue.context(), "127.0.0.1", 0,
            [this](dns::ByteView message) { return flow::judgeMessage(message, blocked); },
            upstream, limits);
        server = started.server;
    }
    ~Server() {
        if (server) {
            server->stop();
        }
        queue.stop();
    }

    AsioPool queue{2};
    blocklist::DomainSet blocked;
    std::shared_ptr<flow::InFlightLimit> limit;
    std::shared_ptr<metrics::Counters> counters = std::make_shared<metrics::Counters>();
    std::shared_ptr<TcpServer> server;

    // Waits until the connections closed for `reason` number `count`.
    bool closedFor(metrics::TcpClose reason, std::uint64_t count) const {
        return waitFor(
            [&] { return counters->read().tcpClosed[static_cast<std::size_t>(reason)] == count; });
    }
};

// Over TCP a message gets exactly what the same datagram gets over UDP: the blocked reply, the
// upstream's reply unchanged, or nothing, and the connection serves on.
TEST(TcpServer, answers_each_message_as_the_datagram_would_be) {
    TcpStubUpstream upstream(kAnswer);
    Server s(upstream.port());
    ASSERT_TRUE(s.server);
    auto response = query({"blocked", "example"});
    response[2] |= 0x80;
    struct Row {
        const char* what;
        dns::Datagram message;
        std::optional<dns::Datagram> reply;
    };
    const Row rows[] = {
        {"blocked A", query({"ads", "blocked", "example"}),
         flow::judgeMessage(query({"ads", "blocked", "example"}), s.blocked).reply},
        {"blocked AAAA", query({"blocked", "example"}, 28),
         flow::judgeMessage(query({"blocked", "example"}, 28), s.blocked).reply},
        {"blocked HTTPS", query({"blocked", "example"}, 65),
         flow::judgeMessage(query({"blocked", "example"}, 65), s.blocked).reply},
        {"relayed unchanged", relayedQuery(), kAnswer(relayedQuery())},
        {"a response is dropped", response, std::nullopt},
    };
    TcpClient client(s.server->port());
    ASSERT_TRUE(client.connected());
    for (const auto& row : rows) {
        ASSERT_TRUE(client.send(row.message)) << row.what;
        EXPECT_EQ(client.receive(row.reply ? kWait : milliseconds(100)), row.reply) << row.what;
    }
    const auto m = s.counters->read();
    EXPECT_EQ(m.received, (std::array<std::uint64_t, 2>{0, 5}));
    EXPECT_EQ(m.answered, (std::array<std::uint64_t, 4>{1, 1, 1, 0}));
    EXPECT_EQ(m.relayed, 1u);
    EXPECT_EQ(m.dropped, (std::array<std::uint64_t, 4>{0, 0, 1, 0}));
    EXPECT_EQ(m.exchanges, (std::array<std::uint64_t, 3>{1, 0, 0}));
}

// A listening socket made elsewhere (as systemd makes it) is served like one bound here.
TEST(TcpServer, serves_a_listening_socket_it_is_given) {
    TcpStubUpstream upstream(kAnswer);
    Server s(upstream.port());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    auto adopted = TcpServer::adopt(
        s.queue.context(), fd,
        [&s](dns::ByteView message) { return flow::judgeMessage(message, s.blocked); },
        TcpUpstream{{asio::ip::make_address("127.0.0.1"), upstream.port()},
                    flow::kReplyTimeout,
                    s.limit,
                    s.counters});
    ASSERT_TRUE(adopted.server) << adopted.error.message();
    EXPECT_EQ(adopted.server->port(), ntohs(address.sin_port));
    TcpClient client(adopted.server->port());
    ASSERT_TRUE(client.send(relayedQuery()));
    EXPECT_EQ(client.receive(kWait), kAnswer(relayedQuery()));
    adopted.server->stop();
}

TEST(TcpServer, pipelined_queries_are_answered_as_each_answer_is_ready) {
    // The relayed query waits at the upstream; the blocked one sent after it is answered first.
    TcpStubUpstream upstream(kAnswer, [](const dns::Datagram&) { return milliseconds(300); });
    Server s(upstream.port());
    TcpClient client(s.server->port());
    const auto blocked = query({"blocked", "example"}, 1, 1, 0x0002);
    ASSERT_TRUE(client.send(relayedQuery(0x0001)));
    ASSERT_TRUE(client.send(blocked));
    EXPECT_EQ(client.receive(kWait), flow::judgeMessage(blocked, s.blocked).reply);
    EXPECT_EQ(client.receive(kWait), kAnswer(relayedQuery(0x0001)));
}

// A resolver that sends A and AAAA in one write must not wait for its own delayed acknowledgement
// (about 40 ms) before the second answer leaves: both arrive well within 10 ms. The median of a
// few rounds keeps one slow moment of a busy machine from failing it.
TEST(TcpServer, answers_to_queries_sent_together_do_not_wait_for_an_acknowledgement) {
    TcpStubUpstream upstream(kAnswer);
    Server s(upstream.port());
    TcpClient client(s.server->port());
    std::vector<std::uint8_t> both = *dns::frameMessage(query({"blocked", "example"}, 1));
    const auto aaaa = *dns::frameMessage(query({"blocked", "example"}, 28));
    both.insert(both.end(), aaaa.begin(), aaaa.end());
    std::vector<std::chrono::microseconds> rounds;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.sendRaw(both));
        ASSERT_TRUE(client.receive(kWait));
        ASSERT_TRUE(client.receive(kWait));
        rounds.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start));
    }
    std::nth_element(rounds.begin(), rounds.begin() + 3, rounds.end());
    EXPECT_LT(rounds[3], milliseconds(10));
}

TEST(TcpServer, relays_within_the_timeout_and_the_shared_cap) {
    struct Row {
        const char* what;
        std::size_t maxInFlight;
        bool upstreamAnswers;
        std::array<std::uint64_t, 4> dropped;
        std::array<std::uint64_t, 3> exchanges;
    };
    const Row rows[] = {
        {"over the cap: dropped", 0, true, {0, 1, 0, 0}, {0, 0, 0}},
        {"no answer in time: dropped", flow::kMaxInFlight, false, {0, 0, 0, 0}, {0, 1, 0}},
    };
    for (const auto& row : rows) {
        TcpStubUpstream upstream(row.upstreamAnswers
                                     ? StubUpstream::Responder(kAnswer)
                                     : StubUpstream::Responder(StubUpstream::silent));
        Server s(upstream.port(), {}, row.maxInFlight, milliseconds(100));
        TcpClient client(s.server->port());
        ASSERT_TRUE(client.send(relayedQuery()));
        EXPECT_FALSE(client.receive(milliseconds(300))) << row.what;
        EXPECT_TRUE(waitFor([&] { return s.limit->count() == 0; })) << row.what;
        // The connection serves on.
        const auto blocked = query({"blocked", "example"});
        ASSERT_TRUE(client.send(blocked));
        EXPECT_EQ(client.receive(kWait), flow::judgeMessage(blocked, s.blocked).reply) << row.what;
        EXPECT_EQ(s.counters->read().dropped, row.dropped) << row.what;
        EXPECT_EQ(s.counters->read().exchanges, row.exchanges) << row.what;
    }
}

TEST(TcpServer, closes_a_connection_that_breaks_the_framing) {
    TcpStubUpstream upstream(kAnswer);
    Server s(upstream.port());
    for (const auto& bytes : {std::vector<std::uint8_t>{0x00, 0x00},
                              std::vector<std::uint8_t>{0x00, 0x05, 1, 2, 3, 4, 5}}) {
        TcpClient client(s.server->port());
        ASSERT_TRUE(client.sendRaw(bytes));
        EXPECT_TRUE(client.closedWithin(kWait));
    }
    EXPECT_TRUE(s.closedFor(metrics::TcpClose::badFraming, 2));
}

// Holds every query at the upstream until released, so a connection stays busy for as long as a
// test needs, however slow the machine.
struct Gate {
    std::atomic<bool> open{false};
    TcpStubUpstream::Delay delay() {
        return [this](const dns::Datagram&) {
            waitFor([this] { return open.load(); }, milliseconds(10'000));
            return milliseconds(0);
        };
    }
};

// At the cap the oldest idle connection makes room; with none idle the newcomer is closed.
TEST(TcpServer, a_new_connection_at_the_cap_replaces_the_oldest_idle_one) {
    Gate gate;
    TcpStubUpstream upstream(kAnswer, gate.delay());
    Server s(upstream.port(), TcpLimits{.maxConnections = 2});
    TcpClient oldest(s.server->port());
    TcpClient busy(s.server->port());
    ASSERT_TRUE(waitFor([&] { return s.server->idleConnectionCount() == 2; }));
    ASSERT_TRUE(busy.send(relayedQuery()));  // in progress for a second
    ASSERT_TRUE(waitFor([&] { return upstream.queryCount() == 1; }));
    TcpClient newcomer(s.server->port());
    EXPECT_TRUE(oldest.closedWithin(kWait));
    const auto blocked = query({"blocked", "example"});
    ASSERT_TRUE(newcomer.send(blocked));
    EXPECT_EQ(newcomer.receive(kWait), flow::judgeMessage(blocked, s.blocked).reply);
    // Now one busy and one answered but idle again: the idle one goes, the busy one stays.
    ASSERT_TRUE(waitFor([&] { return s.server->idleConnectionCount() == 1; }));
    TcpClient last(s.server->port());
    EXPECT_TRUE(newcomer.closedWithin(kWait));
    gate.open = true;
    EXPECT_EQ(busy.receive(kWait), kAnswer(relayedQuery()));
    EXPECT_LE(s.server->connectionCount(), 2u);
    EXPECT_TRUE(s.closedFor(metrics::TcpClose::connectionCap, 2));
}

TEST(TcpServer, every_connection_busy_closes_the_newcomer) {
    Gate gate;
    TcpStubUpstream upstream(kAnswer, gate.delay());
    Server s(upstream.port(), TcpLimits{.maxConnections = 1});
    TcpClient busy(s.server->port());
    ASSERT_TRUE(busy.send(relayedQuery()));
    ASSERT_TRUE(waitFor([&] { return upstream.queryCount() == 1; }));
    TcpClient newcomer(s.server->port());
    EXPECT_TRUE(newcomer.closedWithin(kWait));
    EXPECT_TRUE(s.closedFor(metrics::TcpClose::connectionCap, 1));
    gate.open = true;
    EXPECT_EQ(busy.receive(kWait), kAnswer(relayedQuery()));
}

TEST(TcpServer, an_idle_connection_is_closed_even_while_it_trickles_bytes) {
    TcpStubUpstream upstream(kAnswer);
    Server s(upstream.port(), TcpLimits{.idleTimeout = milliseconds(200)});
    // Taken before the connection exists, so the server's clock cannot have started earlier.
    const auto start = std::chrono::steady_clock::now();
    TcpClient client(s.server->port());
    // The first byte of a length, and nothing more: no message, so no progress.
    ASSERT_TRUE(client.sendRaw({0x00}));
    EXPECT_TRUE(client.closedWithin(milliseconds(5000)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(200));
    EXPECT_TRUE(s.closedFor(metrics::TcpClose::idle, 1));
}

TEST(TcpServer, a_client_that_does_not_read_its_answers_is_closed) {
    TcpStubUpstream upstream(kAnswer);
    Server s(upstream.port(), TcpLimits{.maxQueuedBytes = 4096});
    TcpClient client(s.server->port(), 4096);
    ASSERT_TRUE(waitFor([&] { return s.server->connectionCount() == 1; }));
    // Blocked queries, never read: once the kernel's buffers are full the replies queue up.
    const auto framed = *dns::frameMessage(query({"blocked", "example"}));
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 1000; ++i) {
        burst.insert(burst.end(), framed.begin(), framed.end());
    }
    for (int i = 0; i < 1000 && client.sendRaw(burst); ++i) {
        if (s.server->connectionCount() == 0) {
            break;
        }
    }
    EXPECT_TRUE(waitFor([&] { return s.server->connectionCount() == 0; }));
    EXPECT_TRUE(s.closedFor(metrics::TcpClose::slowReader, 1));
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

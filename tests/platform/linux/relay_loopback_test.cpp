// forwardQuery on the relay's own event loops and connections, against an upstream socket the test
// reads itself: what only real sockets show, the cap on exchanges, a port per exchange, the timeout
// and no descriptor left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>

#include "fakes/loopback.h"
#include "fakes/wait_for.h"
#include "flow/forward_query.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/loop_connection.h"

namespace sieveharbor::flow {
namespace {

using fakes::LoopbackSocket;
using std::chrono::milliseconds;

dns::Datagram query(std::uint16_t id) {
    return {static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id),
            1,
            0,
            0,
            1,
            0,
            0,
            0,
            0,
            0,
            0,
            1,
            'a',
            0,
            0,
            1,
            0,
            1};
}

// Counts the connections made, to tell forwarded queries from dropped ones.
struct CountingFactory final : platform::ConnectionFactory {
    explicit CountingFactory(std::shared_ptr<platform::linux_host::LoopPool> loops)
        : inner(std::move(loops)) {}
    std::shared_ptr<platform::Connection> makeConnection(
        const platform::Upstream& to, platform::Transport transport,
        std::shared_ptr<platform::Queue> lane) override {
        made.fetch_add(1);
        return inner.makeConnection(to, transport, std::move(lane));
    }
    std::atomic<std::size_t> made{0};
    platform::linux_host::LoopConnectionFactory inner;
};

// The replies the exchanges ended with, each under the id of the query that asked.
struct Replies {
    std::vector<std::pair<std::uint16_t, dns::Datagram>> got() {
        const std::lock_guard lock(mutex);
        return replies;
    }
    std::mutex mutex;
    std::vector<std::pair<std::uint16_t, dns::Datagram>> replies;
};

struct Asker final : ExchangeOwner {
    Asker(std::shared_ptr<Replies> r, std::uint16_t i) : replies(std::move(r)), id(i) {}
    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override {
        if (reply) {
            const std::lock_guard lock(replies->mutex);
            replies->replies.emplace_back(id, std::move(*reply));
        }
    }
    std::shared_ptr<Replies> replies;
    std::uint16_t id;
};

// The relay's half from the flow on: real loops, connections and upstream.
struct Relay {
    explicit Relay(ForwardOptions options)
        : context(factory, pool, std::make_shared<metrics::Counters>(),
                  RelaySettings({{*platform::SocketAddress::parse("127.0.0.1", upstream.port())}},
                                options)) {}
    ~Relay() {
        EXPECT_TRUE(waitFor([&] { return context.inFlight() == 0; }, milliseconds(10'000)));
        pool->stop();
    }
    void forward(std::uint16_t id) {
        forwardQuery(context, platform::Transport::datagram, query(id),
                     std::make_shared<Asker>(replies, id));
    }

    LoopbackSocket upstream;  // never answers unless the test does
    std::shared_ptr<platform::linux_host::LoopPool> pool =
        std::make_shared<platform::linux_host::LoopPool>(2);
    std::shared_ptr<CountingFactory> factory = std::make_shared<CountingFactory>(pool);
    std::shared_ptr<Replies> replies = std::make_shared<Replies>();
    ForwardContext context;
};

TEST(Relay, queries_beyond_the_cap_never_go_out_and_each_exchange_sends_from_a_port_of_its_own) {
    constexpr std::size_t kCap = 100;
    // Long enough that no exchange ends on its own before the test answers it, however slowly
    // a loaded machine runs the test.
    Relay relay(ForwardOptions{.replyTimeout = std::chrono::seconds(60), .maxInFlight = kCap});
    for (std::uint16_t id = 0; id < 150; ++id) {
        relay.forward(id);
    }
    EXPECT_EQ(relay.context.inFlight(), kCap);
    EXPECT_EQ(relay.factory->made.load(), kCap);
    std::set<std::uint16_t> ports;
    std::vector<LoopbackSocket::Received> sent;
    while (auto next = relay.upstream.receive(sent.size() < kCap ? kPatience : milliseconds(50))) {
        ports.insert(ntohs(reinterpret_cast<const sockaddr_in&>(next->from).sin_port));
        sent.push_back(std::move(*next));
        ASSERT_LE(sent.size(), kCap) << "a dropped query went out";
    }
    ASSERT_EQ(ports.size(), kCap) << "two exchanges shared a port";
    // Answered in the other order, each answer goes to the client its query came from.
    for (const auto* s : {&sent.back(), &sent.front()}) {
        ASSERT_TRUE(
            relay.upstream.sendTo(s->from, s->fromLength, *fakes::StubUpstream::answer(s->bytes)));
        ASSERT_TRUE(
            waitFor([&] { return relay.replies->got().size() == (s == &sent.back() ? 1u : 2u); }));
        const auto [asker, reply] = relay.replies->got().back();
        const auto id = static_cast<std::uint16_t>((s->bytes[0] << 8) | s->bytes[1]);
        EXPECT_EQ(asker, id);
        EXPECT_EQ(reply, *fakes::StubUpstream::answer(query(id)));
    }
    // The loops stop with the rest in flight: each exchange goes with its loop, letting its
    // owner go and giving its slot back.
    relay.pool->stop();
    EXPECT_EQ(relay.replies.use_count(), 1);
    EXPECT_EQ(relay.context.inFlight(), 0u);
}

TEST(Relay, ten_thousand_exchanges_timed_out_leave_no_descriptor_open_and_each_get_a_servfail) {
    Relay relay(ForwardOptions{.replyTimeout = milliseconds(20)});
    // One exchange first, so that anything opened once on first use is counted as there. Its
    // answer comes after its bound, and is never taken.
    relay.forward(0);
    const auto first = relay.upstream.receive(kPatience);
    ASSERT_TRUE(first);
    ASSERT_TRUE(waitFor([&] { return relay.context.inFlight() == 0; }));
    ASSERT_TRUE(relay.upstream.sendTo(first->from, first->fromLength,
                                      *fakes::StubUpstream::answer(first->bytes)));
    const std::size_t before = fakes::openDescriptors();
    for (int wave = 0; wave < 10; ++wave) {
        for (std::uint16_t id = 0; id < 1000; ++id) {
            relay.forward(id);
        }
        ASSERT_TRUE(waitFor([&] { return relay.context.inFlight() == 0; }, milliseconds(10'000)))
            << "wave " << wave;
    }
    EXPECT_EQ(relay.factory->made.load(), 10'001u);
    EXPECT_TRUE(waitFor([&] { return fakes::openDescriptors() == before; }))
        << fakes::openDescriptors() << " open, " << before << " at the start";
    const auto replies = relay.replies->got();
    EXPECT_EQ(replies.size(), 10'001u);
    EXPECT_TRUE(std::all_of(replies.begin(), replies.end(), [](const auto& reply) {
        return reply.second.size() >= dns::kHeaderSize && (reply.second[3] & 0x0F) == 2;
    })) << "a SERVFAIL each, never the late answer";
    // Every exchange has let its owner go.
    EXPECT_TRUE(waitFor([&] { return relay.replies.use_count() == 1; }));
}

}  // namespace
}  // namespace sieveharbor::flow

// The relay over real loopback sockets: an application socket, a real listener flow, forwardQuery
// on the relay's own event loops and connections, and a stub upstream that the test controls.
// What only real sockets show: the timeout, the cap, a port per exchange, no descriptor left.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "fakes/fake_flow.h"
#include "fakes/loopback.h"
#include "fakes/wait_for.h"
#include "flow/forward_query.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/listener_flow.h"
#include "platform/linux/loop_connection.h"

namespace sieveharbor::flow {
namespace {

using fakes::Family;
using fakes::LoopbackSocket;
using fakes::StubUpstream;
using platform::Endpoint;
using platform::FlowError;
using platform::linux_host::ListenerFlow;
using platform::linux_host::LoopConnectionFactory;
using platform::linux_host::LoopPool;
using std::chrono::milliseconds;

constexpr milliseconds kWait{2000};

dns::Datagram query(std::uint8_t id) {
    return {0x00, id,   0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x01, 'a',  0x00, 0x00, 0x01, 0x00, 0x01};
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// Counts the connections made, to tell forwarded queries from dropped ones.
class CountingFactory final : public platform::ConnectionFactory {
  public:
    std::shared_ptr<platform::Connection> makeConnection(std::string_view host, std::uint16_t port,
                                                         platform::Transport transport) override {
        made.fetch_add(1);
        return inner_.makeConnection(host, port, transport);
    }
    std::atomic<std::size_t> made{0};

  private:
    LoopConnectionFactory inner_;
};

// Listener -> forwardQuery -> stub upstream, with the listener read again after every batch.
struct Relay {
    LoopPool pool{2};
    std::shared_ptr<CountingFactory> factory = std::make_shared<CountingFactory>();
    std::shared_ptr<ListenerFlow> listener;
    std::unique_ptr<ForwardContext> context;
    std::string upstreamHost;

    Relay(Family family, std::uint16_t upstreamPort, ForwardOptions options) {
        options.upstreamPort = upstreamPort;
        upstreamHost = fakes::loopbackText(family);
        context = std::make_unique<ForwardContext>(
            std::shared_ptr<platform::Queue>(&pool, [](platform::Queue*) {}), factory, options);
        auto bound = ListenerFlow::bind(pool, upstreamHost, 0);
        EXPECT_FALSE(bound.error) << bound.error.message();
        listener = bound.flow;
        if (listener) {
            read();
        }
    }
    ~Relay() {
        listener->stop();
        pool.stop();
    }

    std::uint16_t port() const { return listener->port(); }

    void read() {
        listener->readDatagramsWithCompletionHandler(
            [this](std::optional<std::vector<dns::Datagram>> datagrams,
                   std::optional<std::vector<Endpoint>> endpoints, std::optional<FlowError> error) {
                if (error || !datagrams || !endpoints) {
                    return;
                }
                for (std::size_t i = 0; i < datagrams->size(); ++i) {
                    forwardQuery(*context, (*datagrams)[i], listener, (*endpoints)[i],
                                 upstreamHost);
                }
                read();
            });
    }
};

// Each exchange has a socket of its own, with its own kernel-chosen port (over IPv6 here, IPv4
// elsewhere), and an answer that comes within the timeout goes back to its own client.
TEST(Relay, replies_arriving_in_reverse_order_go_back_in_arrival_order_to_their_own_clients) {
    StubUpstream stub(StubUpstream::silent, Family::v6);
    Relay relay(Family::v6, stub.port(), ForwardOptions{});
    LoopbackSocket first(Family::v6);
    LoopbackSocket second(Family::v6);
    ASSERT_TRUE(first.sendTo(relay.port(), query(1)));
    ASSERT_TRUE(second.sendTo(relay.port(), query(2)));
    ASSERT_TRUE(stub.waitForQueries(2, kWait));
    const auto seen = stub.queries();
    const auto indexOf = [&](const dns::Datagram& q) {
        return static_cast<std::size_t>(std::find(seen.begin(), seen.end(), q) - seen.begin());
    };

    const auto firstPort = stub.senderPort(indexOf(query(1)));
    const auto secondPort = stub.senderPort(indexOf(query(2)));
    EXPECT_NE(firstPort, secondPort);

    ASSERT_TRUE(stub.replyTo(indexOf(query(2)), *StubUpstream::answer(query(2))));
    auto toSecond = second.receive(kWait);
    ASSERT_TRUE(toSecond);
    EXPECT_EQ(toSecond->bytes, *StubUpstream::answer(query(2)));
    EXPECT_FALSE(first.receive(milliseconds(50)));

    ASSERT_TRUE(stub.replyTo(indexOf(query(1)), *StubUpstream::answer(query(1))));
    auto toFirst = first.receive(kWait);
    ASSERT_TRUE(toFirst);
    EXPECT_EQ(toFirst->bytes, *StubUpstream::answer(query(1)));
    EXPECT_FALSE(second.receive(milliseconds(50)));
}

TEST(Relay, queries_beyond_the_cap_are_dropped_and_the_rest_answered) {
    constexpr std::size_t kCap = 100;
    constexpr std::size_t kSent = 150;
    StubUpstream stub(StubUpstream::silent);
    // No exchange may end on its own while the count is taken, however slow the machine.
    Relay relay(Family::v4, stub.port(),
                ForwardOptions{.replyTimeout = milliseconds(60'000), .maxInFlight = kCap});
    LoopbackSocket client;
    for (std::size_t i = 0; i < kSent; ++i) {
        ASSERT_TRUE(client.sendTo(relay.port(), query(static_cast<std::uint8_t>(i))));
    }
    ASSERT_TRUE(stub.waitForQueries(kCap, kWait));
    ASSERT_TRUE(waitFor([&] { return relay.factory->made.load() == kCap; }));
    EXPECT_EQ(relay.context->inFlight(), kCap);
    // Answered, the exchanges give their slots back; the dropped queries never went out.
    for (std::size_t i = 0; i < kCap; ++i) {
        ASSERT_TRUE(stub.replyTo(i, *StubUpstream::answer(stub.queries()[i])));
    }
    std::size_t replies = 0;
    while (replies < kSent && client.receive(replies < kCap ? kWait : milliseconds(50))) {
        ++replies;
    }
    EXPECT_EQ(replies, kCap);
    EXPECT_TRUE(waitFor([&] { return relay.context->inFlight() == 0; }));
    EXPECT_EQ(stub.queryCount(), kCap);
    EXPECT_EQ(relay.factory->made.load(), kCap);
}

TEST(Relay, ten_thousand_exchanges_timed_out_leave_no_descriptor_open_and_write_nothing) {
    constexpr std::size_t kWaves = 10;
    constexpr std::size_t kPerWave = 1000;
    StubUpstream stub(StubUpstream::silent);
    LoopPool pool(2);
    auto factory = std::make_shared<CountingFactory>();
    auto flow = std::make_shared<fakes::FakeUdpFlow>();
    ForwardContext context(
        std::shared_ptr<platform::Queue>(&pool, [](platform::Queue*) {}), factory,
        ForwardOptions{.replyTimeout = milliseconds(20), .upstreamPort = stub.port()});
    // One exchange first, so that anything opened once on first use is counted as there. Its
    // answer comes after its timeout, and is never written.
    forwardQuery(context, query(0), flow, fakes::endpoint("client"), "127.0.0.1");
    ASSERT_TRUE(waitFor([&] { return context.inFlight() == 0; }));
    ASSERT_TRUE(stub.waitForQueries(1, kWait));
    ASSERT_TRUE(stub.replyTo(0, *StubUpstream::answer(query(0))));
    const std::size_t before = openDescriptors();

    for (std::size_t wave = 0; wave < kWaves; ++wave) {
        for (std::size_t i = 0; i < kPerWave; ++i) {
            forwardQuery(context, query(static_cast<std::uint8_t>(i)), flow,
                         fakes::endpoint("client"), "127.0.0.1");
        }
        ASSERT_TRUE(waitFor([&] { return context.inFlight() == 0; }, milliseconds(10'000)))
            << "wave " << wave;
    }
    EXPECT_EQ(factory->made.load(), kWaves * kPerWave + 1);
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == before; }))
        << openDescriptors() << " open, " << before << " at the start";
    EXPECT_TRUE(flow->writes().empty());
    // Every exchange has let the flow go.
    EXPECT_TRUE(waitFor([&] { return flow.use_count() == 1; }));
    pool.stop();
}

}  // namespace
}  // namespace sieveharbor::flow

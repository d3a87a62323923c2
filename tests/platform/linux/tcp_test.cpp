// DNS over TCP on real loopback sockets: the listener hands each connection to the provider as a
// stream flow, which answers, relays over a TCP connection of its own, and closes as the kernel's
// buffers and the client's behaviour say. What the fakes cannot show: the bytes on real sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "dns/wire.h"
#include "fakes/fake_host.h"
#include "fakes/loopback_tcp.h"
#include "fakes/wait_for.h"
#include "flow/stream_session.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/loop_connection.h"
#include "platform/linux/tcp_listener.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::platform::linux_host {
namespace {

using dns::testing::query;
using fakes::TcpClient;
using fakes::TcpStubUpstream;
using std::chrono::milliseconds;

constexpr milliseconds kWait = kPatience;
const std::string kListPath = "/etc/sieveharbor/blocklist.txt";

// The upstream's answer to a query: the query with QR set, so it tells which query it answers.
const auto kAnswer = fakes::StubUpstream::answer;

// The provider on real loops and sockets, blocking blocked.example, relaying to a stub upstream
// over TCP, served on a kernel-chosen loopback port.
struct Proxy {
    explicit Proxy(flow::StreamLimits limits = {}) {
        auto files = std::make_shared<fakes::FakeFileSystem>();
        files->write(kListPath, "blocked.example\n");
        provider::ProviderSettings settings;
        settings.fixedBlocklistPath = kListPath;
        settings.streams = limits;
        settings.upstreams = {{*platform::SocketAddress::parse("127.0.0.1", upstream.port())}};
        provider = provider::DNSProxyProvider::create(
            {loops, std::make_shared<LoopConnectionFactory>(loops),
             std::make_shared<fakes::FakeNotificationCenter>(),
             std::make_shared<fakes::FakeConsoleUser>(), files,
             std::make_shared<fakes::FakeLoggerFactory>()},
            std::move(settings));
        provider->startProxyWithOptions({}, [](auto) {});
        // A listening socket made elsewhere, as systemd makes it; one the proxy binds itself is
        // the end-to-end tests' to show.
        const int fd = fakes::boundSocket(fakes::Family::v4, SOCK_STREAM | SOCK_NONBLOCK);
        ::listen(fd, 64);
        listener = TcpListener::adopt(*loops, fd, [weak = std::weak_ptr(provider)](auto flow) {
                       if (const auto p = weak.lock()) {
                           p->handleNewFlow(flow);
                       }
                   }).listener;
    }
    ~Proxy() {
        if (listener) {
            listener->stop();
        }
        loops->stop();
    }

    std::uint64_t closedFor(metrics::TcpClose reason) const {
        return provider->metrics().tcpClosed[static_cast<std::size_t>(reason)];
    }

    TcpStubUpstream upstream{kAnswer};
    std::shared_ptr<LoopPool> loops = std::make_shared<LoopPool>(2);
    std::shared_ptr<provider::DNSProxyProvider> provider;
    std::shared_ptr<TcpListener> listener;
};

// A resolver that sends A and AAAA in one write must not wait for its own delayed acknowledgement
// before the second answer leaves. Held for that acknowledgement, the second answer comes at least
// 40 ms (Linux's shortest delayed acknowledgement) after the first, in every round past the
// connection's first few quick acknowledgements. What is timed is that gap alone, not the round
// trip, so a busy machine's slow wake-ups of client and loop do not count; the median of many
// rounds keeps a few preempted ones from failing it.
TEST(Tcp, answers_to_queries_sent_together_do_not_wait_for_an_acknowledgement) {
    Proxy proxy;
    TcpClient client(proxy.listener->port());
    std::vector<std::uint8_t> both = *dns::frameMessage(query({"blocked", "example"}, 1));
    const auto aaaa = *dns::frameMessage(query({"blocked", "example"}, 28));
    both.insert(both.end(), aaaa.begin(), aaaa.end());
    constexpr int kRounds = 15;
    std::vector<std::chrono::microseconds> gaps;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(client.sendRaw(both));
        ASSERT_TRUE(client.receive(kWait));
        const auto first = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.receive(kWait));
        gaps.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - first));
    }
    std::nth_element(gaps.begin(), gaps.begin() + kRounds / 2, gaps.end());
    EXPECT_LT(gaps[kRounds / 2], milliseconds(20));
}

// The kernel's buffers fill, the answers wait in the flow, and past the limit the client goes.
TEST(Tcp, a_client_that_does_not_read_its_answers_is_closed) {
    Proxy proxy(flow::StreamLimits{.maxQueuedBytes = 4096});
    TcpClient client(proxy.listener->port(), 4096);
    ASSERT_TRUE(waitFor([&] { return proxy.provider->streamFlows().count() == 1; }));
    const auto framed = *dns::frameMessage(query({"blocked", "example"}));
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 1000; ++i) {
        burst.insert(burst.end(), framed.begin(), framed.end());
    }
    for (int i = 0; i < 1000 && client.sendRaw(burst); ++i) {
        if (proxy.provider->streamFlows().count() == 0) {
            break;
        }
    }
    EXPECT_TRUE(waitFor([&] { return proxy.provider->streamFlows().count() == 0; }));
    EXPECT_EQ(proxy.closedFor(metrics::TcpClose::slowReader), 1u);
}

// More than one read's worth of queries in one write: a read that fills its buffer leaves the
// socket to be read again, and every query is answered.
TEST(Tcp, a_burst_longer_than_one_read_is_answered_whole) {
    Proxy proxy;
    TcpClient client(proxy.listener->port());
    const auto framed = *dns::frameMessage(query({"blocked", "example"}));
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 3000; ++i) {
        burst.insert(burst.end(), framed.begin(), framed.end());
    }
    ASSERT_GT(burst.size(), 65536u);
    ASSERT_TRUE(client.sendRaw(burst));
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(client.receive(kWait)) << "answer " << i;
    }
}

// Every connection the proxy is done with is closed and forgotten: none is left holding a
// descriptor, whichever side ended it. What each message gets is the fake-based flow tests' to
// show, and the end-to-end tests', over the real proxy; a relayed one here comes over TCP.
TEST(Tcp, connections_ended_by_either_side_leave_nothing_behind) {
    Proxy proxy(flow::StreamLimits{.idleTimeout = milliseconds(100)});
    {
        TcpClient closesItself(proxy.listener->port());
        const auto relayed = query({"relayed", "example"});
        ASSERT_TRUE(closesItself.send(relayed));
        EXPECT_EQ(closesItself.receive(kWait), kAnswer(relayed));
    }
    {
        TcpClient resets(proxy.listener->port());
        ASSERT_TRUE(resets.sendRaw({0x00, 0x20, 0x12}));  // a message begun, never finished
        resets.reset();
    }
    // Shut after writing: the relayed query in progress is still answered, then the close.
    TcpClient halfCloses(proxy.listener->port());
    const auto relayed = query({"relayed", "example"});
    auto both = *dns::frameMessage(relayed);
    const auto blocked = *dns::frameMessage(query({"blocked", "example"}));
    both.insert(both.end(), blocked.begin(), blocked.end());
    ASSERT_TRUE(halfCloses.sendRaw(both));  // in one write, so the blocked answer comes first
    halfCloses.shutdownWrite();
    EXPECT_TRUE(halfCloses.receive(kWait));
    EXPECT_EQ(halfCloses.receive(kWait), kAnswer(relayed));
    EXPECT_TRUE(halfCloses.closedWithin(kWait));
    TcpClient idle(proxy.listener->port());
    EXPECT_TRUE(idle.closedWithin(kWait));
    TcpClient badFraming(proxy.listener->port());
    ASSERT_TRUE(badFraming.sendRaw({0x00, 0x01, 0x00}));
    EXPECT_TRUE(badFraming.closedWithin(kWait));
    EXPECT_TRUE(waitFor([&] { return proxy.provider->streamFlows().count() == 0; }));
    EXPECT_EQ(proxy.closedFor(metrics::TcpClose::idle), 1u);
    EXPECT_EQ(proxy.closedFor(metrics::TcpClose::badFraming), 1u);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

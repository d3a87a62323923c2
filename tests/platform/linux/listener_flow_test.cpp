#include "platform/linux/listener_flow.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "fakes/loopback.h"
#include "fakes/wait_for.h"

namespace sieveharbor::platform::linux_host {
namespace {

using fakes::Family;
using fakes::LoopbackSocket;
using std::chrono::milliseconds;

platform::SocketAddress at(const char* address, std::uint16_t port = 0) {
    return *platform::SocketAddress::parse(address, port);
}

struct ReadResult {
    std::optional<platform::DatagramBatch> batch;
    std::optional<platform::FlowError> error;
};

// Issues one read and waits (bounded) for its completion; timed_out when none comes.
ReadResult readOnce(ListenerFlow& listener) {
    auto result = std::make_shared<std::optional<ReadResult>>();
    auto done = std::make_shared<Signal>();
    listener.readDatagramsWithCompletionHandler([result, done](auto batch, auto error) {
        *result = ReadResult{std::move(batch), error};
        done->notify();
    });
    return done->wait() ? **result : ReadResult{{}, std::make_error_code(std::errc::timed_out)};
}

// The bytes of the next datagram the socket gets, boundedly.
std::optional<dns::Datagram> nextAt(const LoopbackSocket& socket) {
    auto received = socket.receive(kPatience);
    return received ? std::optional(received->bytes) : std::nullopt;
}

// The service manager keeps its own copy of a socket it hands over and passes it again to the next
// process: whatever one process does to end its reads must leave that copy working.
TEST(ListenerFlow, an_adopted_socket_serves_and_is_left_working_for_the_next_process) {
    for (const Family family : {Family::v4, Family::v6}) {
        SCOPED_TRACE(family == Family::v4 ? "IPv4" : "IPv6");
        LoopPool queue(2);
        // Non-blocking, as the service manager makes them.
        const int managerCopy = fakes::boundSocket(family, SOCK_DGRAM | SOCK_NONBLOCK);
        ASSERT_GE(managerCopy, 0);
        LoopbackSocket client(family);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            auto adopted =
                ListenerFlow::adopt(queue.nextLoop(), ::fcntl(managerCopy, F_DUPFD_CLOEXEC, 0));
            ASSERT_FALSE(adopted.error) << adopted.error.message();
            auto listener = adopted.flow;
            const auto port = listener->port();
            EXPECT_NE(port, 0);
            EXPECT_EQ((listener->localAddress().family() == AF_INET6), family == Family::v6);
            Signal opened;
            listener->openWithLocalEndpoint([&](auto error) {
                EXPECT_FALSE(error);
                opened.notify();
            });
            ASSERT_TRUE(opened.wait());

            // Two senders, each its own endpoint, answered in the other order by one write.
            LoopbackSocket other(family);
            ASSERT_TRUE(client.sendTo(port, dns::Datagram{static_cast<std::uint8_t>(run)}));
            ASSERT_TRUE(other.sendTo(port, dns::Datagram{0xB0}));
            std::vector<dns::Datagram> datagrams;
            std::vector<platform::Endpoint> endpoints;
            while (datagrams.size() < 2) {
                auto read = readOnce(*listener);
                ASSERT_TRUE(read.batch);
                for (const auto& [datagram, endpoint] : *read.batch) {
                    datagrams.push_back(datagram);
                    endpoints.push_back(endpoint);
                }
            }
            EXPECT_EQ(datagrams,
                      (std::vector<dns::Datagram>{{static_cast<std::uint8_t>(run)}, {0xB0}}));
            std::optional<platform::FlowError> error{std::make_error_code(std::errc::io_error)};
            listener->writeDatagrams({{{0xB1}, endpoints[1]}, {{0xA1}, endpoints[0]}},
                                     [&](auto e) { error = e; });
            EXPECT_FALSE(error);
            EXPECT_EQ(nextAt(client), dns::Datagram{0xA1});
            EXPECT_EQ(nextAt(other), dns::Datagram{0xB1});

            // The first process closes its reads while one waits, the second is let go with a read
            // pending: both must end the wait without touching the socket itself.
            Signal done;
            listener->readDatagramsWithCompletionHandler([&](auto, auto e) {
                error = e;
                done.notify();
            });
            if (run == 1) {
                // A second read while one is pending is refused at once, leaving the first; after
                // the close, every read is refused.
                EXPECT_EQ(readOnce(*listener).error,
                          make_error_code(std::errc::operation_in_progress));
                listener->closeReadWithError(std::nullopt);
                ASSERT_TRUE(done.wait());
                EXPECT_EQ(error, std::make_error_code(std::errc::operation_canceled));
                EXPECT_EQ(readOnce(*listener).error, make_error_code(std::errc::not_connected));
            }
            listener.reset();

            // A shut-down socket polls as readable for ever: the service manager, watching it once
            // the process is gone, would start the service again and again.
            pollfd watch{managerCopy, POLLIN, 0};
            EXPECT_EQ(::poll(&watch, 1, 20), 0) << "events " << watch.revents;
        }
        ::close(managerCopy);
    }
}

// A socket that cannot be bound, or one adopted that is not an IP UDP socket (which is closed),
// comes back as a value with the reason.
TEST(ListenerFlow, bind_and_adopt_failures_come_back_as_values_with_the_reason) {
    LoopPool queue(1);
    auto first = ListenerFlow::bind(queue, at("127.0.0.1"));
    ASSERT_TRUE(first.flow);
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ::close(pipeFds[1]);
    struct Case {
        const char* what;  // an address to bind, or with fd >= 0 what the descriptor is
        std::uint16_t port;
        std::errc expected;
        int fd = -1;
    };
    // clang-format off
    const Case cases[] = {
        {"127.0.0.1", first.flow->port(), std::errc::address_in_use},
        {"192.0.2.1", 0, std::errc::address_not_available},
        {"TCP socket", 0, std::errc::wrong_protocol_type, ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)},
        {"Unix datagram socket", 0, std::errc::address_family_not_supported, ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)},
        {"pipe", 0, std::errc::not_a_socket, pipeFds[0]},
    };
    // clang-format on
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        auto result = test.fd < 0 ? ListenerFlow::bind(queue, at(test.what, test.port))
                                  : ListenerFlow::adopt(queue.nextLoop(), test.fd);
        EXPECT_FALSE(result.flow);
        EXPECT_EQ(result.error, test.expected);
        EXPECT_FALSE(result.error.message().empty());
        if (test.fd >= 0) {
            EXPECT_EQ(::fcntl(test.fd, F_GETFD), -1) << "left open";
        }
    }
}

// However the flow is let go, its socket is closed and whatever the pending read held is
// released, and no completion runs after: released with a read pending (over IPv4 here), whose
// completion is dropped uncalled at once, or let go last by its read completion, on the loop.
TEST(ListenerFlow, a_released_listener_closes_its_socket_and_drops_its_read) {
    LoopPool queue(1);
    for (const Family family : {Family::v4, Family::v6}) {
        const bool byCompletion = family == Family::v6;
        SCOPED_TRACE(byCompletion ? "by its completion" : "with a read pending");
        const char* address = byCompletion ? "::1" : "127.0.0.1";
        auto listener = ListenerFlow::bind(queue, at(address)).flow;
        ASSERT_TRUE(listener);
        const auto port = listener->port();
        const std::weak_ptr<ListenerFlow> flow = listener;
        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> watch = token;
        std::atomic<bool> called{false};
        listener->readDatagramsWithCompletionHandler(
            [token, keep = byCompletion ? listener : nullptr, &called](auto, auto) mutable {
                called = true;
                keep.reset();
            });
        token.reset();
        listener.reset();
        EXPECT_EQ(watch.expired(), !byCompletion);
        LoopbackSocket client(family);
        ASSERT_TRUE(client.sendTo(port, dns::Datagram{1}));
        EXPECT_TRUE(waitFor([&] { return !ListenerFlow::probe(at(address, port)); }));
        EXPECT_EQ(called.load(), byCompletion);
        EXPECT_TRUE(flow.expired());
        EXPECT_TRUE(waitFor([&] { return watch.expired(); }));
    }
}

// The provider answers a blocked batch from inside its read completion, one write per answer:
// those writes are held and sent together when the completion returns, while a write from any
// other thread (a relayed reply) still goes out at once. A burst comes in batches of at most
// kMaxBatch, and nothing is lost or reordered. A write to an endpoint that is no socket address
// fails on its own and what of it can be sent still is, whether held or sent at once; with the
// write side closed, nothing is sent.
TEST(ListenerFlow, a_burst_answered_inside_its_read_completions_reaches_each_sender_in_order) {
    LoopPool queue(2);
    auto listener = ListenerFlow::bind(queue, at("127.0.0.1")).flow;
    ASSERT_TRUE(listener);
    constexpr std::uint8_t kClients = 3;
    constexpr std::uint8_t kPerClient = 50;
    std::vector<std::unique_ptr<LoopbackSocket>> clients;
    for (std::uint8_t c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<LoopbackSocket>());
        for (std::uint8_t k = 0; k < kPerClient; ++k) {
            ASSERT_TRUE(clients[c]->sendTo(listener->port(), dns::Datagram{c, k}));
        }
    }
    LoopbackSocket bystander;
    ASSERT_TRUE(bystander.sendTo(listener->port(), dns::Datagram{0xEE}));
    std::mutex mutex;
    std::vector<bool> failed;
    const auto record = [&](std::optional<platform::FlowError> error) {
        std::lock_guard lock(mutex);
        failed.push_back(error.has_value());
    };
    const platform::Endpoint nowhere(dns::Datagram{1, 2, 3});
    const auto writeEach = [&](const platform::Endpoint& asker) {
        listener->writeDatagrams({{{1}, nowhere}}, record);
        listener->writeDatagrams({{{2}, asker}}, record);
        listener->writeDatagrams({{{3}, asker}, {{4}, nowhere}}, record);  // the first is sent
    };

    // Held completions run on the loop after the test has been told the batch is done.
    auto sent = std::make_shared<std::atomic<std::size_t>>(0);
    std::size_t read = 0;
    std::size_t largest = 0;
    bool otherThreadWroteAtOnce = false;
    platform::Endpoint asker;
    while (read < kClients * kPerClient + 1u) {
        Signal done;
        listener->readDatagramsWithCompletionHandler([&, sent](auto batch, auto) {
            ASSERT_TRUE(batch);
            largest = std::max(largest, batch->size());
            for (const auto& [query, endpoint] : *batch) {
                ++read;
                if (query != dns::Datagram{0xEE}) {
                    listener->writeDatagrams({{{query[0], query[1], 0xAA}, endpoint}},
                                             [sent](auto error) { *sent += error ? 0 : 1; });
                    continue;
                }
                asker = endpoint;
                std::thread([&] {
                    bool called = false;
                    listener->writeDatagrams({{{0xEF}, asker}},
                                             [&](auto error) { called = !error; });
                    otherThreadWroteAtOnce = called;
                }).join();
                writeEach(asker);
            }
            done.notify();
        });
        ASSERT_TRUE(done.wait());
    }
    EXPECT_LE(largest, ListenerFlow::kMaxBatch);
    EXPECT_GT(largest, 1u);
    EXPECT_TRUE(otherThreadWroteAtOnce);
    EXPECT_TRUE(waitFor([&] { return *sent == kClients * kPerClient; }));
    for (std::uint8_t c = 0; c < kClients; ++c) {
        for (std::uint8_t k = 0; k < kPerClient; ++k) {
            ASSERT_EQ(nextAt(*clients[c]), (dns::Datagram{c, k, 0xAA})) << "client " << int(c);
        }
        EXPECT_FALSE(clients[c]->receive(milliseconds(10)));
    }
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return failed.size() >= 3;
    }));
    writeEach(asker);
    listener->closeWriteWithError(std::nullopt);
    listener->writeDatagrams({{{5}, asker}}, record);
    EXPECT_EQ(failed, (std::vector<bool>{true, false, true, true, false, true, true}));
    for (const std::uint8_t expected : {0xEF, 2, 3, 2, 3}) {
        EXPECT_EQ(nextAt(bystander), dns::Datagram{expected});
    }
    EXPECT_FALSE(bystander.receive(milliseconds(20)));
    listener->closeReadWithError(std::nullopt);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

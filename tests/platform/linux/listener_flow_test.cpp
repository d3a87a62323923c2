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

struct ReadResult {
    std::optional<std::vector<dns::Datagram>> datagrams;
    std::optional<std::vector<platform::Endpoint>> endpoints;
    std::optional<platform::FlowError> error;
};

// Issues one read and waits (bounded) for its completion.
std::optional<ReadResult> readOnce(ListenerFlow& listener) {
    auto result = std::make_shared<std::optional<ReadResult>>();
    auto done = std::make_shared<Signal>();
    listener.readDatagramsWithCompletionHandler(
        [result, done](auto datagrams, auto endpoints, auto error) {
            *result = ReadResult{std::move(datagrams), std::move(endpoints), error};
            done->notify();
        });
    if (!done->wait()) {
        return std::nullopt;
    }
    return *result;
}

TEST(ListenerFlow, reads_each_sender_as_its_endpoint_and_writes_back_to_it) {
    for (const Family family : {Family::v4, Family::v6}) {
        SCOPED_TRACE(family == Family::v4 ? "IPv4" : "IPv6");
        LoopPool queue(2);
        auto bound = ListenerFlow::bind(queue, fakes::loopbackText(family), 0);
        ASSERT_FALSE(bound.error) << bound.error.message();
        auto listener = bound.flow;
        LoopbackSocket alice(family);
        LoopbackSocket bob(family);
        ASSERT_TRUE(alice.sendTo(listener->port(), dns::Datagram{1}));
        ASSERT_TRUE(bob.sendTo(listener->port(), dns::Datagram{2, 2}));

        Signal opened;
        listener->openWithLocalEndpoint([&](std::optional<platform::FlowError> error) {
            EXPECT_FALSE(error);
            opened.notify();
        });
        ASSERT_TRUE(opened.wait());

        std::vector<dns::Datagram> datagrams;
        std::vector<platform::Endpoint> endpoints;
        while (datagrams.size() < 2) {
            auto read = readOnce(*listener);
            ASSERT_TRUE(read);
            ASSERT_FALSE(read->error);
            ASSERT_TRUE(read->datagrams && read->endpoints);
            ASSERT_EQ(read->datagrams->size(), read->endpoints->size());
            datagrams.insert(datagrams.end(), read->datagrams->begin(), read->datagrams->end());
            endpoints.insert(endpoints.end(), read->endpoints->begin(), read->endpoints->end());
        }
        EXPECT_EQ(datagrams, (std::vector<dns::Datagram>{{1}, {2, 2}}));
        EXPECT_NE(endpoints[0], endpoints[1]);

        // Replies in the other order, each to its own sender.
        std::optional<platform::FlowError> writeError{std::make_error_code(std::errc::io_error)};
        listener->writeDatagrams({{0xB0}, {0xA0}}, {endpoints[1], endpoints[0]},
                                 [&](std::optional<platform::FlowError> e) { writeError = e; });
        EXPECT_FALSE(writeError);
        auto toBob = bob.receive(milliseconds(2000));
        auto toAlice = alice.receive(milliseconds(2000));
        ASSERT_TRUE(toBob && toAlice);
        EXPECT_EQ(toBob->bytes, dns::Datagram{0xB0});
        EXPECT_EQ(toAlice->bytes, dns::Datagram{0xA0});
        listener->closeReadWithError(std::nullopt);
    }
}

// A bound UDP socket on the family's loopback address, non-blocking as the service manager makes
// them; -1 on failure.
int boundSocket(Family family) {
    const bool v4 = family == Family::v4;
    const int fd = ::socket(v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (v4) {
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof in;
    } else {
        auto& in = reinterpret_cast<sockaddr_in6&>(address);
        in.sin6_family = AF_INET6;
        in.sin6_addr = in6addr_loopback;
        length = sizeof in;
    }
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The service manager keeps its own copy of a socket it hands over and passes it again to the next
// process: whatever one process does to end its reads must leave that copy working.
TEST(ListenerFlow, an_adopted_socket_serves_and_is_left_working_for_the_next_process) {
    for (const Family family : {Family::v4, Family::v6}) {
        SCOPED_TRACE(family == Family::v4 ? "IPv4" : "IPv6");
        LoopPool queue(2);
        const int managerCopy = boundSocket(family);
        ASSERT_GE(managerCopy, 0);
        LoopbackSocket client(family);
        std::uint16_t port = 0;
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            auto adopted =
                ListenerFlow::adopt(queue.nextLoop(), ::fcntl(managerCopy, F_DUPFD_CLOEXEC, 0));
            ASSERT_FALSE(adopted.error) << adopted.error.message();
            auto listener = adopted.flow;
            port = listener->port();
            EXPECT_NE(port, 0);
            EXPECT_EQ((listener->localAddress().family() == AF_INET6), family == Family::v6);

            ASSERT_TRUE(client.sendTo(port, dns::Datagram{static_cast<std::uint8_t>(run)}));
            auto read = readOnce(*listener);
            ASSERT_TRUE(read && read->datagrams && read->endpoints);
            EXPECT_EQ(read->datagrams->at(0), dns::Datagram{static_cast<std::uint8_t>(run)});
            listener->writeDatagrams({{0xA0}}, {read->endpoints->at(0)}, [](auto) {});
            auto reply = client.receive(milliseconds(2000));
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->bytes, dns::Datagram{0xA0});

            // The first process closes its reads while one waits, the second is let go with a read
            // pending: both must end the wait without touching the socket itself.
            Signal done;
            std::optional<platform::FlowError> error;
            listener->readDatagramsWithCompletionHandler([&](auto, auto, auto e) {
                error = e;
                done.notify();
            });
            if (run == 1) {
                listener->closeReadWithError(std::nullopt);
                ASSERT_TRUE(done.wait());
                EXPECT_EQ(error, std::make_error_code(std::errc::operation_canceled));
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

TEST(ListenerFlow, a_burst_comes_in_batches_of_at_most_64_in_order_and_nothing_is_lost) {
    LoopPool queue(1);
    auto listener = ListenerFlow::bind(queue, "127.0.0.1", 0).flow;
    ASSERT_TRUE(listener);
    LoopbackSocket client;
    constexpr std::size_t kBurst = 150;
    for (std::size_t i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(
            client.sendTo(listener->port(), dns::Datagram{static_cast<std::uint8_t>(i), 0, 0}));
    }
    std::vector<dns::Datagram> all;
    std::size_t largest = 0;
    while (all.size() < kBurst) {
        auto read = readOnce(*listener);
        ASSERT_TRUE(read && read->datagrams) << "after " << all.size();
        largest = std::max(largest, read->datagrams->size());
        all.insert(all.end(), read->datagrams->begin(), read->datagrams->end());
    }
    EXPECT_LE(largest, ListenerFlow::kMaxBatch);
    EXPECT_GT(largest, 1u);
    for (std::size_t i = 0; i < kBurst; ++i) {
        ASSERT_EQ(all[i][0], static_cast<std::uint8_t>(i));
    }
    listener->closeReadWithError(std::nullopt);
}

TEST(ListenerFlow, bind_failures_come_back_as_values_with_the_reason) {
    LoopPool queue(1);
    auto first = ListenerFlow::bind(queue, "127.0.0.1", 0);
    ASSERT_TRUE(first.flow);
    struct Case {
        const char* address;
        std::uint16_t port;
        std::errc expected;
    };
    const Case cases[] = {
        {"127.0.0.1", first.flow->port(), std::errc::address_in_use},
        {"localhost", 0, std::errc::invalid_argument},
        {"", 0, std::errc::invalid_argument},
        {"192.0.2.1", 0, std::errc::address_not_available},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.address);
        auto result = ListenerFlow::bind(queue, test.address, test.port);
        EXPECT_FALSE(result.flow);
        EXPECT_EQ(result.error, test.expected);
        EXPECT_FALSE(result.error.message().empty());
    }
}

TEST(ListenerFlow, adopt_refuses_what_is_not_an_ip_udp_socket_and_closes_it) {
    LoopPool queue(1);
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ::close(pipeFds[1]);
    struct Case {
        const char* name;
        int fd;
        std::errc expected;
    };
    const Case cases[] = {
        {"TCP socket", ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
         std::errc::wrong_protocol_type},
        {"Unix datagram socket", ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0),
         std::errc::address_family_not_supported},
        {"pipe", pipeFds[0], std::errc::not_a_socket},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ASSERT_GE(test.fd, 0);
        auto result = ListenerFlow::adopt(queue.nextLoop(), test.fd);
        EXPECT_FALSE(result.flow);
        EXPECT_EQ(result.error, test.expected);
        EXPECT_EQ(::fcntl(test.fd, F_GETFD), -1) << "left open";
    }
}

TEST(ListenerFlow, close_read_ends_a_pending_read_and_refuses_later_ones) {
    LoopPool queue(2);
    auto listener = ListenerFlow::bind(queue, "::1", 0).flow;
    ASSERT_TRUE(listener);
    auto pending = std::make_shared<std::optional<ReadResult>>();
    Signal done;
    listener->readDatagramsWithCompletionHandler([&, pending](auto d, auto e, auto error) {
        *pending = ReadResult{std::move(d), std::move(e), error};
        done.notify();
    });
    // A second read while one is pending is refused at once, and leaves the first in place.
    auto second = readOnce(*listener);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->error, std::make_error_code(std::errc::operation_in_progress));

    listener->closeReadWithError(std::nullopt);
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(pending->has_value());
    EXPECT_TRUE((*pending)->error);
    EXPECT_FALSE((*pending)->datagrams);
    auto later = readOnce(*listener);
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->error);
}

// However the flow is let go, its socket is closed and whatever the pending read held is
// released, and no completion runs after.
TEST(ListenerFlow, a_released_listener_closes_its_socket_and_drops_its_read) {
    LoopPool queue(1);
    {
        // Released with a read pending: the completion is dropped uncalled.
        auto listener = ListenerFlow::bind(queue, "127.0.0.1", 0).flow;
        ASSERT_TRUE(listener);
        const auto port = listener->port();
        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> watch = token;
        std::atomic<bool> called{false};
        listener->readDatagramsWithCompletionHandler(
            [token, &called](auto, auto, auto) { called = true; });
        token.reset();
        listener.reset();
        EXPECT_TRUE(watch.expired());
        LoopbackSocket client;
        ASSERT_TRUE(client.sendTo(port, dns::Datagram{1}));
        EXPECT_TRUE(waitFor([&] { return !ListenerFlow::probe("127.0.0.1", port); }));
        EXPECT_FALSE(called);
    }
    {
        // The last reference is let go by the read completion, on the loop itself.
        auto listener = ListenerFlow::bind(queue, "::1", 0).flow;
        ASSERT_TRUE(listener);
        const std::weak_ptr<ListenerFlow> watch = listener;
        const auto port = listener->port();
        Signal done;
        listener->readDatagramsWithCompletionHandler(
            [keep = listener, &done](auto, auto, auto) mutable {
                keep.reset();
                done.notify();
            });
        listener.reset();
        LoopbackSocket client(Family::v6);
        ASSERT_TRUE(client.sendTo(port, dns::Datagram{1}));
        ASSERT_TRUE(done.wait());
        EXPECT_TRUE(watch.expired());
        EXPECT_TRUE(waitFor([&] { return !ListenerFlow::probe("::1", port); }));
    }
}

TEST(ListenerFlow, bad_writes_report_an_error_and_send_nothing) {
    LoopPool queue(1);
    auto listener = ListenerFlow::bind(queue, "127.0.0.1", 0).flow;
    ASSERT_TRUE(listener);
    LoopbackSocket client;
    ASSERT_TRUE(client.sendTo(listener->port(), dns::Datagram{1}));
    auto read = readOnce(*listener);
    ASSERT_TRUE(read && read->endpoints);
    const auto asker = read->endpoints->at(0);

    struct Case {
        const char* name;
        std::vector<dns::Datagram> datagrams;
        std::vector<platform::Endpoint> endpoints;
        bool closeFirst;
    };
    const Case cases[] = {
        {"no endpoint", {{1}}, {}, false},
        {"endpoint that is not an address",
         {{1}},
         {platform::Endpoint(dns::Datagram{1, 2, 3})},
         false},
        {"write side closed", {{1}}, {asker}, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        if (test.closeFirst) {
            listener->closeWriteWithError(std::nullopt);
        }
        std::optional<platform::FlowError> error;
        bool called = false;
        listener->writeDatagrams(test.datagrams, test.endpoints,
                                 [&](std::optional<platform::FlowError> e) {
                                     called = true;
                                     error = e;
                                 });
        EXPECT_TRUE(called);
        EXPECT_TRUE(error);
        EXPECT_FALSE(client.receive(milliseconds(20)));
    }
    listener->closeReadWithError(std::nullopt);
}

// The provider answers a blocked batch from inside its read completion, one write per answer:
// those writes are held and sent together when the completion returns, while a write from any
// other thread (a relayed reply) still goes out at once.
TEST(ListenerFlow, answers_written_inside_a_read_completion_reach_their_senders_in_order) {
    LoopPool queue(2);
    auto listener = ListenerFlow::bind(queue, "127.0.0.1", 0).flow;
    ASSERT_TRUE(listener);
    constexpr std::uint8_t kClients = 3;
    constexpr std::uint8_t kPerClient = 4;
    std::vector<std::unique_ptr<LoopbackSocket>> clients;
    for (std::uint8_t c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<LoopbackSocket>());
        for (std::uint8_t k = 0; k < kPerClient; ++k) {
            ASSERT_TRUE(clients[c]->sendTo(listener->port(), dns::Datagram{c, k}));
        }
    }
    LoopbackSocket bystander;
    ASSERT_TRUE(bystander.sendTo(listener->port(), dns::Datagram{0xEE}));

    // Held completions run on the queue after the test has been told the batch is done.
    struct Seen {
        std::size_t answered = 0;
        std::atomic<std::size_t> completedWithError{0};
        std::atomic<std::size_t> completed{0};
        bool otherThreadWroteAtOnce = false;
    };
    auto seen = std::make_shared<Seen>();
    std::size_t expected = 0;
    while (seen->answered < kClients * kPerClient + 1u) {
        Signal done;
        listener->readDatagramsWithCompletionHandler(
            [&, seen](auto datagrams, auto endpoints, auto) {
                ASSERT_TRUE(datagrams && endpoints);
                for (std::size_t i = 0; i < datagrams->size(); ++i) {
                    const auto& query = (*datagrams)[i];
                    if (query == dns::Datagram{0xEE}) {
                        // From another thread while this completion runs: not held.
                        std::thread([&, endpoint = (*endpoints)[i]] {
                            bool called = false;
                            listener->writeDatagrams({{0xEF}}, {endpoint},
                                                     [&](auto error) { called = !error; });
                            seen->otherThreadWroteAtOnce = called;
                        }).join();
                    } else {
                        listener->writeDatagrams({{query[0], query[1], 0xAA}}, {(*endpoints)[i]},
                                                 [seen](auto error) {
                                                     seen->completedWithError += error ? 1 : 0;
                                                     ++seen->completed;
                                                 });
                        ++expected;
                    }
                    ++seen->answered;
                }
                done.notify();
            });
        ASSERT_TRUE(done.wait());
    }
    // The completions of held writes run once the read completion has returned.
    EXPECT_TRUE(waitFor([&] { return seen->completed >= expected; }));
    EXPECT_EQ(seen->completed, expected);
    EXPECT_EQ(seen->completedWithError, 0u);
    EXPECT_TRUE(seen->otherThreadWroteAtOnce);

    for (std::uint8_t c = 0; c < kClients; ++c) {
        for (std::uint8_t k = 0; k < kPerClient; ++k) {
            auto reply = clients[c]->receive(milliseconds(2000));
            ASSERT_TRUE(reply) << "client " << int(c) << " reply " << int(k);
            EXPECT_EQ(reply->bytes, (dns::Datagram{c, k, 0xAA}));
        }
        EXPECT_FALSE(clients[c]->receive(milliseconds(10)));
    }
    auto other = bystander.receive(milliseconds(2000));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->bytes, dns::Datagram{0xEF});
    listener->closeReadWithError(std::nullopt);
}

// A held write whose endpoint cannot be sent to fails on its own; the others in the batch go out.
TEST(ListenerFlow, a_bad_held_write_fails_alone) {
    LoopPool queue(1);
    auto listener = ListenerFlow::bind(queue, "127.0.0.1", 0).flow;
    ASSERT_TRUE(listener);
    LoopbackSocket client;
    ASSERT_TRUE(client.sendTo(listener->port(), dns::Datagram{7}));
    std::mutex mutex;
    std::vector<std::optional<platform::FlowError>> results;
    const auto count = [&] {
        std::lock_guard lock(mutex);
        return results.size();
    };
    Signal done;
    listener->readDatagramsWithCompletionHandler([&](auto, auto endpoints, auto) {
        ASSERT_TRUE(endpoints && !endpoints->empty());
        const auto record = [&](auto error) {
            std::lock_guard lock(mutex);
            results.push_back(error);
        };
        listener->writeDatagrams({{1}}, {platform::Endpoint(dns::Datagram{1, 2, 3})}, record);
        listener->writeDatagrams({{2}}, {endpoints->at(0)}, record);
        listener->writeDatagrams({{3}, {4}}, {endpoints->at(0)}, record);
        done.notify();
    });
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(waitFor([&] { return count() >= 3; }));
    ASSERT_EQ(count(), 3u);
    EXPECT_TRUE(results[0]);
    EXPECT_FALSE(results[1]);
    EXPECT_TRUE(results[2]);  // two datagrams, one endpoint: only the first is sent
    for (const std::uint8_t expected : {2, 3}) {
        auto reply = client.receive(milliseconds(2000));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->bytes, dns::Datagram{expected});
    }
    EXPECT_FALSE(client.receive(milliseconds(20)));
    listener->closeReadWithError(std::nullopt);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

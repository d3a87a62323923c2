#include "platform/linux/loop_connection.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "fakes/fake_queue.h"
#include "fakes/loopback.h"
#include "fakes/wait_for.h"

namespace sieveharbor::platform::linux_host {
namespace {

using fakes::StubUpstream;
using Kind = ConnectionState::Kind;

struct Received {
    std::optional<dns::Datagram> content;
    bool complete = false;
    std::optional<ConnectionError> error;
    bool operator==(const Received&) const = default;
};

// Records the states a connection reports, from whichever thread reports them.
struct StateLog {
    std::mutex mutex;
    std::vector<ConnectionState> states;
    Signal ready;
    Signal ended;

    Connection::StateUpdateHandler handler() {
        return [this](ConnectionState state) {
            {
                std::lock_guard lock(mutex);
                states.push_back(state);
            }
            if (state.kind == Kind::ready) {
                ready.notify();
            }
            if (state.kind == Kind::failed || state.kind == Kind::cancelled) {
                ended.notify();
            }
        };
    }
    std::vector<Kind> kinds() {
        std::lock_guard lock(mutex);
        std::vector<Kind> out;
        for (const auto& state : states) {
            out.push_back(state.kind);
        }
        return out;
    }
};

TEST(LoopConnection, host_text_that_is_not_an_address_fails_and_never_gets_ready) {
    for (const char* host : {"", "1.1.1", "dns.example", "1.1.1.3 ", "[::1]", "300.1.1.1"}) {
        SCOPED_TRACE(host);
        StateLog log;  // before the pool, so it outlives the loop thread that reports to it
        LoopPool queue(1);
        LoopConnectionFactory factory;
        auto connection = factory.makeConnection(host, 53, Transport::datagram);
        connection->setStateUpdateHandler(log.handler());
        connection->start(queue.makeSerialQueue());
        ASSERT_TRUE(log.ended.wait());
        EXPECT_EQ(log.kinds(), (std::vector<Kind>{Kind::preparing, Kind::failed}));
        connection->cancel();
    }
}

TEST(LoopConnection, a_queue_it_cannot_run_on_shows_as_failed) {
    auto queue = std::make_shared<fakes::FakeQueue>(fakes::FakeQueue::Mode::run_inline);
    LoopConnectionFactory factory;
    StateLog log;
    auto connection = factory.makeConnection("127.0.0.1", 53, Transport::datagram);
    connection->setStateUpdateHandler(log.handler());
    connection->start(queue);
    EXPECT_EQ(log.kinds(), std::vector<Kind>{Kind::failed});
}

// A receive waiting at cancel completes with an error, once; the handler is let go after it has
// reported cancelled.
TEST(LoopConnection, sends_and_receives_then_cancel_ends_a_pending_receive_and_releases_handlers) {
    StubUpstream stub(StubUpstream::answer);
    StateLog log;
    LoopPool queue(2);
    LoopConnectionFactory factory;
    auto connection = factory.makeConnection("127.0.0.1", stub.port(), Transport::datagram);
    // Stands for whatever the handler holds (an exchange): it must be let go after cancel.
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    connection->setStateUpdateHandler(
        [&log, held = std::move(held)](ConnectionState s) { log.handler()(s); });
    connection->start(queue.makeSerialQueue());
    ASSERT_TRUE(log.ready.wait());

    const dns::Datagram message{1, 2, 3, 4};
    Signal sent;
    connection->send(message, [&](std::optional<ConnectionError> error) {
        EXPECT_FALSE(error);
        sent.notify();
    });
    ASSERT_TRUE(sent.wait());
    std::atomic<int> calls{0};
    const auto receiveInto = [&](Received& into) {
        connection->receiveMessage([&](auto content, bool complete, auto error) {
            into = {std::move(content), complete, error};
            ++calls;
        });
    };
    Received reply;
    receiveInto(reply);
    ASSERT_TRUE(waitFor([&] { return calls == 1; }));
    EXPECT_EQ(reply, (Received{StubUpstream::answer(message), true, std::nullopt}));
    EXPECT_EQ(stub.queries(), std::vector<dns::Datagram>{message});

    Received pending;
    receiveInto(pending);
    connection->cancel();
    ASSERT_TRUE(log.ended.wait());
    ASSERT_TRUE(waitFor([&] { return calls == 2; }));
    EXPECT_FALSE(pending.content);
    EXPECT_TRUE(pending.error);
    EXPECT_EQ(log.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready, Kind::cancelled}));
    EXPECT_TRUE(waitFor([&] { return watch.expired(); }));
    EXPECT_EQ(calls.load(), 2);
}

// A receive waiting on a socket the kernel finds refused completes with that error.
TEST(LoopConnection, a_pending_receive_completes_with_the_refusal) {
    fakes::LoopbackSocket gone;
    gone.close();
    StateLog log;
    LoopPool queue(2);
    LoopConnectionFactory factory;
    auto connection = factory.makeConnection("127.0.0.1", gone.port(), Transport::datagram);
    connection->setStateUpdateHandler(log.handler());
    connection->start(queue.makeSerialQueue());
    ASSERT_TRUE(log.ready.wait());
    connection->send({9, 9}, [](std::optional<ConnectionError>) {});
    std::atomic<int> calls{0};
    Received received;
    connection->receiveMessage([&](auto content, bool complete, auto error) {
        received = {std::move(content), complete, error};
        ++calls;
    });
    ASSERT_TRUE(waitFor([&] { return calls == 1; }));
    EXPECT_FALSE(received.content);
    ASSERT_TRUE(received.error);
    EXPECT_EQ(*received.error, std::errc::connection_refused);
    connection->cancel();
    ASSERT_TRUE(log.ended.wait());
    EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

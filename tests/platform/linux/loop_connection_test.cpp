#include "platform/linux/loop_connection.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

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

    // keep stands for whatever a real handler holds (an exchange).
    Connection::StateUpdateHandler handler(std::shared_ptr<void> keep = nullptr) {
        return [this, keep](ConnectionState state) {
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

// A UDP connection started on a pool of its own. What the loop thread reports to comes before
// the pool, so it outlives that thread.
struct Started {
    StateLog log;
    std::atomic<int> calls{0};
    std::shared_ptr<LoopPool> loops = std::make_shared<LoopPool>(2);
    std::shared_ptr<Connection> connection;

    Started(const std::string& host, std::uint16_t port, std::shared_ptr<void> keep = nullptr)
        : connection(LoopConnectionFactory(loops).makeConnection(
              {*platform::SocketAddress::parse(host, port)}, Transport::datagram,
              loops->makeSerialQueue())) {
        connection->setStateUpdateHandler(log.handler(std::move(keep)));
        connection->start();
    }
    // A receive whose completion lands in `into`; calls counts every completion.
    void receiveInto(Received& into) {
        connection->receiveMessage([&](auto content, bool complete, auto error) {
            into = {std::move(content), complete, error};
            ++calls;
        });
    }
};

// A receive waiting at cancel completes with an error, once; the socket is closed, and the
// handler let go after it has reported cancelled.
TEST(LoopConnection, sends_and_receives_then_cancel_ends_a_pending_receive_and_releases_handlers) {
    StubUpstream stub(StubUpstream::answer);
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    Started c("127.0.0.1", stub.port(), std::move(held));
    ASSERT_TRUE(c.log.ready.wait());
    const std::size_t open = fakes::openDescriptors();

    const dns::Datagram message{1, 2, 3, 4};
    Signal sent;
    c.connection->send(message, [&](std::optional<ConnectionError> error) {
        EXPECT_FALSE(error);
        sent.notify();
    });
    ASSERT_TRUE(sent.wait());
    Received reply;
    c.receiveInto(reply);
    ASSERT_TRUE(waitFor([&] { return c.calls == 1; }));
    EXPECT_EQ(reply, (Received{StubUpstream::answer(message), true, std::nullopt}));
    EXPECT_EQ(stub.queries(), std::vector<dns::Datagram>{message});

    Received pending;
    c.receiveInto(pending);
    c.connection->cancel();
    ASSERT_TRUE(c.log.ended.wait());
    ASSERT_TRUE(waitFor([&] { return c.calls == 2; }));
    EXPECT_FALSE(pending.content);
    EXPECT_TRUE(pending.error);
    EXPECT_EQ(c.log.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready, Kind::cancelled}));
    EXPECT_TRUE(waitFor([&] { return watch.expired(); }));
    EXPECT_TRUE(waitFor([&] { return fakes::openDescriptors() == open - 1; }))
        << "socket left open";
    EXPECT_EQ(c.calls.load(), 2);
}

// A receive waiting on a socket the kernel finds refused completes with that error.
TEST(LoopConnection, a_pending_receive_completes_with_the_refusal) {
    fakes::LoopbackSocket gone;
    gone.close();
    Started c("127.0.0.1", gone.port());
    ASSERT_TRUE(c.log.ready.wait());
    c.connection->send({9, 9}, [](std::optional<ConnectionError>) {});
    Received received;
    c.receiveInto(received);
    ASSERT_TRUE(waitFor([&] { return c.calls == 1; }));
    EXPECT_FALSE(received.content);
    ASSERT_TRUE(received.error);
    EXPECT_EQ(*received.error, std::errc::connection_refused);
    c.connection->cancel();
    ASSERT_TRUE(c.log.ended.wait());
    EXPECT_EQ(c.calls.load(), 1);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

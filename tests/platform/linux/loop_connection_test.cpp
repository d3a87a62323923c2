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

TEST(LoopConnection, sends_one_message_and_receives_the_reply_then_cancel_releases_handlers) {
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
    Signal received;
    std::optional<dns::Datagram> content;
    connection->receiveMessage(
        [&](std::optional<dns::Datagram> c, bool complete, std::optional<ConnectionError> error) {
            EXPECT_FALSE(error);
            EXPECT_TRUE(complete);
            content = std::move(c);
            received.notify();
        });
    ASSERT_TRUE(received.wait());
    EXPECT_EQ(content, StubUpstream::answer(message));
    EXPECT_EQ(stub.queries(), std::vector<dns::Datagram>{message});

    connection->cancel();
    ASSERT_TRUE(log.ended.wait());
    EXPECT_EQ(log.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready, Kind::cancelled}));
    // The handler is dropped right after it reports cancelled, on a queue thread.
    EXPECT_TRUE(waitFor([&] { return watch.expired(); }));
}

TEST(LoopConnection, pending_receive_completes_with_an_error_on_cancel_or_refusal) {
    struct Case {
        const char* name;
        bool upstreamPresent;
    };
    for (const auto& test : {Case{"cancelled", true}, Case{"refused", false}}) {
        SCOPED_TRACE(test.name);
        StubUpstream stub(StubUpstream::silent);
        fakes::LoopbackSocket gone;
        gone.close();
        StateLog log;
        LoopPool queue(2);
        LoopConnectionFactory factory;
        auto connection = factory.makeConnection(
            "127.0.0.1", test.upstreamPresent ? stub.port() : gone.port(), Transport::datagram);
        connection->setStateUpdateHandler(log.handler());
        connection->start(queue.makeSerialQueue());
        ASSERT_TRUE(log.ready.wait());
        Signal sent;
        connection->send({9, 9}, [&](std::optional<ConnectionError>) { sent.notify(); });
        ASSERT_TRUE(sent.wait());
        Signal received;
        std::atomic<int> calls{0};
        std::optional<ConnectionError> error;
        bool hadContent = true;
        connection->receiveMessage(
            [&](std::optional<dns::Datagram> c, bool, std::optional<ConnectionError> e) {
                ++calls;
                hadContent = c.has_value();
                error = e;
                received.notify();
            });
        if (test.upstreamPresent) {
            ASSERT_TRUE(stub.waitForQueries(1, std::chrono::milliseconds(2000)));
            connection->cancel();
        }
        ASSERT_TRUE(received.wait());
        EXPECT_FALSE(hadContent);
        ASSERT_TRUE(error);
        if (!test.upstreamPresent) {
            EXPECT_EQ(*error, std::errc::connection_refused);
            connection->cancel();
        }
        ASSERT_TRUE(log.ended.wait());
        EXPECT_EQ(calls.load(), 1);
    }
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host

// The queries of many exchanges to one DNS-over-TLS upstream over one connection, driven through
// the connection fake and the fake clock.
#include "flow/pipelined_session.h"

#include <gtest/gtest.h>

#include <map>

#include "dns/edns.h"
#include "dns/tcp_framing.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_queue.h"
#include "flow/upstreams.h"

namespace sieveharbor::flow {
namespace {

using fakes::FakeConnection;
using platform::ConnectionState;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

// A query for NAME.example, type A, under `id`; with EDNS (an OPT record, UDP size 1232) when
// asked.
Bytes query(std::uint16_t id, char name, bool edns = false) {
    Bytes q = {static_cast<std::uint8_t>(id >> 8),
               static_cast<std::uint8_t>(id),
               0x01,
               0x00,
               0x00,
               0x01,
               0x00,
               0x00,
               0x00,
               0x00,
               0x00,
               static_cast<std::uint8_t>(edns ? 1 : 0),
               1,
               static_cast<std::uint8_t>(name),
               7,
               'e',
               'x',
               'a',
               'm',
               'p',
               'l',
               'e',
               0,
               0x00,
               0x01,
               0x00,
               0x01};
    if (edns) {
        q.insert(q.end(), {0x00, 0x00, 0x29, 0x04, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    }
    return q;
}

// The upstream's answer to a query as it was sent: its ID and question, QR set, and `tag` as
// the one thing that tells answers apart.
Bytes answerTo(const Bytes& sent, std::uint8_t tag) {
    Bytes a(sent.begin(), sent.begin() + 27);  // header and question, no EDNS
    a[2] = 0x81;
    a[3] = 0x80;
    a[11] = 0;
    a.push_back(tag);
    return a;
}

struct Harness {
    std::shared_ptr<fakes::FakeQueue> queue = std::make_shared<fakes::FakeQueue>();
    std::shared_ptr<fakes::FakeConnectionFactory> factory =
        std::make_shared<fakes::FakeConnectionFactory>();
    std::shared_ptr<UpstreamState> state = std::make_shared<UpstreamState>(
        platform::Upstream{*platform::SocketAddress::parse("192.0.2.53", 853),
                           platform::UpstreamTransport::tls, "dns.example"});
    std::vector<std::string> refusals;
    std::shared_ptr<PipelinedSession> session;
    std::map<char, std::vector<std::optional<Bytes>>> done;  // by the query's name

    Harness() {
        factory->script.statesOnStart = {ConnectionState::ready()};
        factory->script.sendResult = std::optional<platform::ConnectionError>{};
        session = std::make_shared<PipelinedSession>(
            factory, state, queue->makeSerialQueue(),
            SessionEvents{[this](const platform::Upstream&, const std::string& why) {
                refusals.push_back(why);
            }},
            SessionTiming{.idleClose = milliseconds(8000)});
    }

    std::shared_ptr<PipelinedSession::Ticket> submit(Bytes message, char name) {
        auto ticket = session->submit(std::move(message), queue,
                                      [this, name](auto reply) { done[name].push_back(reply); });
        queue->runUntilIdle();
        return ticket;
    }
    FakeConnection& connection(std::size_t i = 0) { return *factory->connections().at(i); }
    // What the connection was sent, taken apart into messages.
    std::vector<Bytes> sentOn(std::size_t i = 0) {
        dns::TcpFramer framer;
        for (const auto& bytes : connection(i).sent()) {
            framer.append(std::span<const std::uint8_t>(bytes));
        }
        std::vector<Bytes> messages;
        Bytes framed;
        while (framer.next(framed) == dns::TcpFramer::Status::message) {
            const auto message = dns::unframed(framed);
            messages.emplace_back(message.begin(), message.end());
        }
        return messages;
    }
    void answer(std::size_t i, const Bytes& message) { read(i, *dns::frameMessage(message)); }
    void read(std::size_t i, Bytes bytes, bool complete = false) {
        ASSERT_TRUE(connection(i).completeReceive({std::move(bytes), complete, {}}));
        queue->runUntilIdle();
    }
};

// Queries of one client ID each go under an ID of their own on the connection; answers that come
// in another order find their queries and come back under the client's ID, otherwise as the
// upstream sent them; one that matches an ID but not its question is read past.
TEST(PipelinedSession, gives_each_query_an_id_of_its_own_and_the_client_its_own_back) {
    Harness h;
    for (const char name : {'a', 'b', 'c'}) {
        h.submit(query(0x4242, name), name);
    }
    ASSERT_EQ(h.factory->connections().size(), 1u) << "one connection for all";
    const auto sent = h.sentOn();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_NE(dns::idOf(sent[0]), dns::idOf(sent[1]));
    EXPECT_NE(dns::idOf(sent[1]), dns::idOf(sent[2]));
    EXPECT_NE(dns::idOf(sent[0]), dns::idOf(sent[2]));
    auto wrongQuestion = answerTo(sent[1], 9);
    wrongQuestion[13] = 'z';
    h.answer(0, wrongQuestion);
    h.answer(0, answerTo(sent[2], 3));
    h.answer(0, answerTo(sent[0], 1));
    h.answer(0, answerTo(sent[1], 2));
    std::uint8_t tag = 1;
    for (const char name : {'a', 'b', 'c'}) {
        ASSERT_EQ(h.done[name].size(), 1u) << name;
        auto expected = answerTo(sent[tag - 1], tag);
        dns::setId(expected, 0x4242);
        EXPECT_EQ(h.done[name][0], expected) << name;
        ++tag;
    }
    EXPECT_EQ(h.connection().cancelCalls(), 0u);
}

// One write at a time: queries that come while a write is out go together in the next, as soon
// as it is done.
TEST(PipelinedSession, what_comes_while_a_write_is_out_goes_in_the_next_write) {
    Harness h;
    h.factory->script.sendResult.reset();  // each write waits to be completed
    for (const char name : {'a', 'b', 'c'}) {
        h.submit(query(1, name), name);
    }
    ASSERT_EQ(h.connection().sent().size(), 1u);
    ASSERT_TRUE(h.connection().completeSend());
    h.queue->runUntilIdle();
    EXPECT_EQ(h.connection().sent().size(), 2u);
    EXPECT_EQ(h.sentOn().size(), 3u);
}

// A query that carries EDNS is padded to a multiple of 128 bytes; one without goes as it came.
TEST(PipelinedSession, pads_a_query_with_edns_to_a_block_of_128) {
    Harness h;
    h.submit(query(1, 'a', true), 'a');
    h.submit(query(2, 'b'), 'b');
    const auto sent = h.sentOn();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size() % 128, 0u);
    auto unpadded = query(1, 'a', true);
    dns::setId(unpadded, dns::idOf(sent[0]));
    EXPECT_GT(sent[0].size(), unpadded.size());
    EXPECT_TRUE(std::equal(unpadded.begin(), unpadded.begin() + 27, sent[0].begin()));
    EXPECT_EQ(sent[1].size(), query(2, 'b').size());
}

// Whatever ends a connection with answers owed (a close, a reset, a length of 0, something that
// is no answer, a message cut off by the close, silence), what it owed goes once more on a new
// one; lost again there with nothing answered, it is given up, and its owner tries elsewhere.
TEST(PipelinedSession, what_a_lost_connection_owed_goes_again_once_then_is_given_up) {
    using Loss = std::function<void(Harness&, std::size_t connection)>;
    const std::pair<const char*, Loss> losses[] = {
        {"a close", [](Harness& h, std::size_t i) { h.read(i, {}, true); }},
        {"a reset",
         [](Harness& h, std::size_t i) {
             ASSERT_TRUE(h.connection(i).completeReceive(
                 {std::nullopt, false, std::make_error_code(std::errc::connection_reset)}));
             h.queue->runUntilIdle();
         }},
        {"a length of 0",
         [](Harness& h, std::size_t i) {
             h.read(i, {0x00, 0x00});
         }},
        {"a query back, not an answer",
         [](Harness& h, std::size_t i) { h.answer(i, h.sentOn(i).at(0)); }},
        {"a promised length never delivered",
         [](Harness& h, std::size_t i) {
             h.read(i, {0x01, 0x00, 0x12, 0x34}, true);
         }},
        {"silence", [](Harness& h, std::size_t) { h.queue->advance(kInitialRetransmit); }},
    };
    for (const auto& [what, lose] : losses) {
        SCOPED_TRACE(what);
        Harness h;
        h.submit(query(7, 'a'), 'a');
        h.submit(query(8, 'b'), 'b');
        lose(h, 0);
        EXPECT_EQ(h.connection(0).cancelCalls(), 1u) << "the connection only is given up";
        ASSERT_EQ(h.factory->connections().size(), 2u);
        EXPECT_EQ(h.sentOn(1), h.sentOn(0)) << "both sent again, in their order";
        EXPECT_TRUE(h.done.empty());
        lose(h, 1);
        EXPECT_EQ(h.done['a'], (std::vector<std::optional<Bytes>>{std::nullopt})) << "given up";
        EXPECT_EQ(h.done['b'], (std::vector<std::optional<Bytes>>{std::nullopt})) << "given up";
        EXPECT_EQ(h.state->figures().tls->resent, 2u);
        // The session lives on: a new query opens a new connection.
        h.submit(query(9, 'c'), 'c');
        EXPECT_EQ(h.factory->connections().size(), 3u);
    }
}

// A resolver that closes after every answer (a limit on queries): a connection that answered
// after a query was written is not blamed for losing it, so however often that happens, every
// query is answered in the end.
TEST(PipelinedSession, a_connection_that_answered_before_closing_loses_nothing) {
    Harness h;
    const std::string names = "abcd";
    for (const char name : names) {
        h.submit(query(1, name), name);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto sent = h.sentOn(i);
        ASSERT_EQ(sent.size(), names.size() - i) << "what is owed goes again";
        h.answer(i, answerTo(sent[0], 1));
        h.read(i, {}, true);
    }
    for (const char name : names) {
        ASSERT_EQ(h.done[name].size(), 1u) << name;
        EXPECT_TRUE(h.done[name][0]) << name;
    }
}

// A connection whose certificate is refused gives up every query waiting on it, says why once
// however often it is refused so, and writes nothing.
TEST(PipelinedSession, a_refused_certificate_gives_up_the_waiting_and_is_told_once) {
    Harness h;
    h.factory->script.statesOnStart = {ConnectionState::failed(
        platform::make_error_code(platform::CertificateError::nameMismatch))};
    h.submit(query(1, 'a'), 'a');
    h.submit(query(2, 'b'), 'b');
    EXPECT_EQ(h.done['a'], (std::vector<std::optional<Bytes>>{std::nullopt}));
    EXPECT_EQ(h.done['b'].size(), 1u);
    for (const auto& made : h.factory->connections()) {
        EXPECT_TRUE(made->sent().empty());
    }
    EXPECT_EQ(h.refusals.size(), 1u);
    EXPECT_EQ(h.state->figures().tls->certificateFailures, h.factory->connections().size());
}

// With nothing owed for the idle time the connection is closed; a query then opens another, and
// one withdrawn before its answer gets none.
TEST(PipelinedSession, closes_an_idle_connection_and_drops_a_withdrawn_query) {
    Harness h;
    const auto ticket = h.submit(query(1, 'a'), 'a');
    h.session->withdraw(ticket);
    h.queue->runUntilIdle();
    h.answer(0, answerTo(h.sentOn()[0], 1));
    EXPECT_TRUE(h.done.empty());
    h.queue->advance(milliseconds(7999));
    EXPECT_EQ(h.connection().cancelCalls(), 0u);
    h.queue->advance(milliseconds(1));
    EXPECT_EQ(h.connection().cancelCalls(), 1u);
    EXPECT_EQ(h.state->figures().tls->connectionsOpen, 0u);
    h.submit(query(2, 'b'), 'b');
    EXPECT_EQ(h.factory->connections().size(), 2u);
    EXPECT_EQ(h.state->figures().tls->fullHandshakes, 2u);
}

}  // namespace
}  // namespace sieveharbor::flow

// The upstream exchange over both transports, driven step by step through fakes and a fake
// clock: no sockets, no threads, no sleeps.
#include "flow/forward_query.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "dns/edns.h"
#include "dns/servfail.h"
#include "dns/tcp_framing.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_queue.h"

namespace sieveharbor::flow {
namespace {

using fakes::FakeConnection;
using fakes::FakeConnectionFactory;
using fakes::FakeQueue;
using platform::ConnectionState;
using platform::Transport;
using std::chrono::milliseconds;
using Datagrams = std::vector<dns::Datagram>;

const dns::Datagram kQuery{0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const dns::Datagram kReply{0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0};
// A reply to another query that came to the same port: another ID.
const dns::Datagram kStray{0x99, 0x99, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0};
const auto kRefused = std::make_error_code(std::errc::connection_refused);

dns::Datagram framed(const dns::Datagram& message) {
    return *dns::frameMessage(message);
}

// A framed message from its byte `from` on.
dns::Datagram framedFrom(const dns::Datagram& message, std::ptrdiff_t from) {
    const auto bytes = framed(message);
    return dns::Datagram(bytes.begin() + from, bytes.end());
}

dns::Datagram servfailFor(const dns::Datagram& query) {
    dns::Datagram out;
    dns::appendServfail(query, out);
    return out;
}

platform::Upstream upstream(const char* address) {
    return {*platform::SocketAddress::parse(address, platform::kDnsPort)};
}

// What an exchange hands back.
struct RecordingOwner final : ExchangeOwner {
    std::vector<std::optional<dns::Datagram>> ended;
    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override {
        ended.push_back(std::move(reply));
    }
};

struct Harness {
    std::shared_ptr<FakeQueue> queue = std::make_shared<FakeQueue>();
    std::shared_ptr<FakeConnectionFactory> factory = std::make_shared<FakeConnectionFactory>();
    std::shared_ptr<RecordingOwner> owner = std::make_shared<RecordingOwner>();
    std::vector<std::pair<std::string, bool>> changes;  // upstreams gone down or back, in order
    ForwardContext context;
    Transport transport;

    explicit Harness(Transport t = Transport::datagram, ForwardOptions options = {},
                     platform::UpstreamList upstreams = {upstream("192.0.2.53")})
        : context(
              factory, queue, std::make_shared<metrics::Counters>(),
              RelaySettings(std::move(upstreams), options,
                            {.onChange = [this](const platform::Upstream& u,
                                                bool up) { changes.emplace_back(u.text(), up); }})),
          transport(t) {}

    // The query as the transport carries it.
    dns::Datagram query() const { return transport == Transport::stream ? framed(kQuery) : kQuery; }

    // Starts one exchange and runs it up to the point where it waits.
    std::shared_ptr<FakeConnection> forward() {
        const auto before = factory->connections().size();
        forwardQuery(context, transport, query(), owner);
        queue->runUntilIdle();
        return factory->connections().size() > before ? factory->connections()[before] : nullptr;
    }

    Datagrams delivered() const {
        Datagrams out;
        for (const auto& reply : owner->ended) {
            if (reply) {
                out.push_back(*reply);
            }
        }
        return out;
    }
    std::size_t made() const { return factory->connections().size(); }
    const FakeConnection& connection(std::size_t i) const { return *factory->connections().at(i); }
    std::string upstreamOf(std::size_t i) const { return connection(i).upstream().text(); }
    metrics::UpstreamFigures figures(std::size_t upstream) const {
        return context.upstreams()->figures().at(upstream);
    }
};

// One thing the platform does to the connection, over a stream or not. A reply's content is
// framed on a stream, unless it is raw: bytes as they stand, for the stream's own cases.
using Event = std::function<void(FakeConnection&, bool stream)>;

Event report(ConnectionState state) {
    return [state](FakeConnection& c, bool) { c.reportState(state); };
}
Event sendDone(std::optional<platform::ConnectionError> error = std::nullopt) {
    return [error](FakeConnection& c, bool) { ASSERT_TRUE(c.completeSend(error)); };
}
Event reply(std::optional<dns::Datagram> content, bool complete = true,
            std::optional<platform::ConnectionError> error = std::nullopt) {
    return [=](FakeConnection& c, bool stream) {
        ASSERT_TRUE(
            c.completeReceive({stream && content ? framed(*content) : content, complete, error}));
    };
}
Event raw(dns::Datagram bytes, bool complete) {
    return [=](FakeConnection& c, bool) { ASSERT_TRUE(c.completeReceive({bytes, complete, {}})); };
}
const Event kReady = report(ConnectionState::ready());
const Event kFailed = report(ConnectionState::failed(kRefused));
const Event kCancelled = report(ConnectionState::cancelled());
const Event kWaiting =
    report(ConnectionState::waiting(std::make_error_code(std::errc::network_unreachable)));
const Event kSent = sendDone();
const Event kSendFails = sendDone(kRefused);

enum Transports { kBoth, kDatagramOnly, kStreamOnly };
// What became of the first attempt: still waiting, won, refused (the next attempt goes out at
// once), or not made for want of a descriptor (the query never left: a drop).
enum class Then { waits, won, refused, dropped };

struct Row {
    const char* name;
    std::vector<Event> events;
    bool sent;
    std::size_t receives;
    Then then;
    Transports transports = kBoth;
};

// One row a line, as a table reads.
// clang-format off
const Row kRows[] = {
    {"ready_sends_the_query", {kReady}, true, 0, Then::waits},
    {"failed_is_a_refusal_before_sending", {kFailed}, false, 0, Then::refused},
    {"setup_preparing_and_cancelled_do_nothing",
     {report(ConnectionState::setup()), report(ConnectionState::preparing()), kCancelled}, false, 0, Then::waits},
    {"ready_after_waiting_still_sends", {kWaiting, kReady}, true, 0, Then::waits, kDatagramOnly},
    {"a_waiting_stream_is_refused_at_once", {kWaiting}, false, 0, Then::refused, kStreamOnly},
    {"a_stream_waiting_while_receiving_is_refused", {kReady, kSent, kWaiting}, true, 1, Then::refused, kStreamOnly},
    {"second_ready_sends_nothing_more", {kReady, kReady}, true, 0, Then::waits},
    {"send_error_is_a_refusal_without_receiving", {kReady, kSendFails}, true, 0, Then::refused},
    {"sent_query_arms_one_receive", {kReady, kSent}, true, 1, Then::waits},
    {"reply_is_delivered_then_cancelled", {kReady, kSent, reply(kReply)}, true, 1, Then::won},
    {"incomplete_flag_is_not_looked_at", {kReady, kSent, reply(kReply, false)}, true, 1, Then::won},
    {"a_stray_or_empty_datagram_is_skipped", {kReady, kSent, reply(dns::Datagram{}), reply(kStray), reply(kReply)}, true, 3, Then::won, kDatagramOnly},
    {"a_receive_error_is_a_refusal", {kReady, kSent, reply(kReply, true, kRefused)}, true, 1, Then::refused},
    {"receive_without_content_is_a_refusal", {kReady, kSent, reply({})}, true, 1, Then::refused},
    {"failure_while_receiving_is_a_refusal", {kReady, kSent, kFailed}, true, 1, Then::refused},
    {"cancelled_state_after_the_reply_changes_nothing", {kReady, kSent, reply(kReply), kCancelled}, true, 1, Then::won},
    {"a_reply_in_pieces_is_put_together",
     {kReady, kSent, raw({0x00}, false), raw(framedFrom(kReply, 1), false)}, true, 2, Then::won, kStreamOnly},
    {"closed_before_a_whole_reply_is_a_refusal", {kReady, kSent, raw({0x00, 0x20, 0x12}, true)}, true, 1, Then::refused, kStreamOnly},
    {"no_descriptor_is_a_drop", {report(ConnectionState::failed(std::make_error_code(std::errc::too_many_files_open)))}, false, 0, Then::dropped},
    {"a_length_too_short_for_a_header_is_a_refusal", {kReady, kSent, raw({0x00, 0x02, 0x12, 0x34}, false)}, true, 1, Then::refused, kStreamOnly},
};
// clang-format on

// One attempt, step by step, and how the exchange ends after it: the reply it won, or, once the
// query's own bound has passed, a SERVFAIL.
TEST(ForwardQuery, follows_the_state_send_and_receive_tables_on_either_transport) {
    for (const auto& row : kRows) {
        for (const auto transport : {Transport::datagram, Transport::stream}) {
            if (row.transports == (transport == Transport::stream ? kDatagramOnly : kStreamOnly)) {
                continue;
            }
            const bool stream = transport == Transport::stream;
            SCOPED_TRACE(std::string(row.name) + (stream ? " over a stream" : " over datagrams"));
            // The default bound on one transport, a chosen one on the other.
            const auto bound = stream ? milliseconds(700) : kReplyTimeout;
            Harness h(transport, ForwardOptions{.replyTimeout = bound});
            // Left pending by cancel, so that a late completion can be delivered below.
            h.factory->script.completePendingOnCancel = false;
            auto connection = h.forward();
            ASSERT_NE(connection, nullptr);
            EXPECT_EQ(connection->transport(), transport);
            EXPECT_EQ(h.queue->serialQueuesMade(), 1u) << "each exchange has a lane of its own";
            for (const auto& event : row.events) {
                event(*connection, stream);
                h.queue->runUntilIdle();
            }

            // Framed both ways over a stream, as they stand: neither is taken apart.
            const auto query = h.query();
            EXPECT_EQ(connection->sent(), row.sent ? Datagrams{query} : Datagrams{});
            EXPECT_EQ(connection->receiveCalls(), row.receives);
            const bool won = row.then == Then::won;
            EXPECT_EQ(h.delivered(),
                      won ? Datagrams{stream ? framed(kReply) : kReply} : Datagrams{});
            EXPECT_EQ(connection->cancelCalls(), row.then == Then::waits ? 0u : 1u);
            // A refusal sends the next attempt out at once, to the one upstream there is.
            EXPECT_EQ(h.made(), row.then == Then::refused ? 2u : 1u);
            EXPECT_EQ(h.owner->ended.size(), won || row.then == Then::dropped ? 1u : 0u);

            // Whatever the row left open, the bound ends it, not a tick early, once, and nothing
            // completed after a cancel is delivered or sent.
            h.queue->advance(bound - milliseconds(1));
            EXPECT_EQ(h.owner->ended.size(), won || row.then == Then::dropped ? 1u : 0u);
            h.queue->advance(milliseconds(1));
            while (connection->completeSend() ||
                   connection->completeReceive({stream ? framed(kReply) : kReply, true, {}})) {
                h.queue->runUntilIdle();
            }
            EXPECT_EQ(connection->sent(), row.sent ? Datagrams{query} : Datagrams{});
            EXPECT_EQ(h.context.inFlight(), 0u);
            EXPECT_EQ(h.queue->pendingTimers(), 0u) << "an ended exchange leaves no timer";
            ASSERT_EQ(h.owner->ended.size(), 1u);
            const auto servfail = servfailFor(kQuery);
            const std::optional<dns::Datagram> expected = won ? std::optional(kReply)
                                                          : row.then == Then::dropped
                                                              ? std::nullopt
                                                              : std::optional(servfail);
            EXPECT_EQ(h.owner->ended[0], expected && stream ? framed(*expected) : expected);
            EXPECT_FALSE(connection->hasStateHandler());
            // Counted once, by how it ended: a reply, the bound, or a drop.
            const auto m = h.context.counters()->read();
            const bool dropped = row.then == Then::dropped;
            EXPECT_EQ(m.exchanges, (metrics::Counts<metrics::Outcome>{
                                       won ? 1u : 0u, !won && !dropped ? 1u : 0u, 0u}));
            EXPECT_EQ(m.answered[std::size_t(metrics::Answer::servfail)], !won && !dropped);
            EXPECT_EQ(m.relayed, row.sent ? 1u : 0u);
            EXPECT_EQ(m.dropped[std::size_t(metrics::Drop::descriptorsExhausted)], dropped);
        }
    }
}

// The cap counts attempts, of both transports, and every way out gives a slot back exactly once;
// a retransmission the cap leaves no room for is simply not made.
TEST(ForwardQuery, drops_queries_of_either_transport_beyond_the_in_flight_cap) {
    Harness h(Transport::datagram, ForwardOptions{.maxInFlight = 2});
    auto first = h.forward();
    h.transport = Transport::stream;
    ASSERT_NE(h.forward(), nullptr);
    EXPECT_FALSE(forwardQuery(h.context, Transport::stream, h.query(), h.owner));
    h.transport = Transport::datagram;
    EXPECT_EQ(h.forward(), nullptr);
    EXPECT_EQ(h.context.counters()->read().dropped[1], 2u);  // over the cap
    EXPECT_TRUE(h.owner->ended.empty()) << "a dropped query's owner is never called";
    h.queue->advance(kInitialRetransmit);
    EXPECT_EQ(h.made(), 2u) << "no room for a second attempt";

    first->reportState(ConnectionState::failed(kRefused));
    h.queue->runUntilIdle();
    EXPECT_EQ(h.made(), 3u) << "the refused attempt's slot goes to the next";
    EXPECT_EQ(h.context.inFlight(), 2u);
    h.queue->advance(kReplyTimeout);
    EXPECT_EQ(h.context.inFlight(), 0u);
    EXPECT_EQ(h.owner->ended.size(), 2u);
}

TEST(ForwardQuery, exchange_outlives_its_context_and_then_lets_its_owner_go) {
    auto queue = std::make_shared<FakeQueue>();
    auto factory = std::make_shared<FakeConnectionFactory>();
    factory->script.statesOnStart = {ConnectionState::ready()};
    factory->script.sendResult = std::optional<platform::ConnectionError>{};
    auto owner = std::make_shared<RecordingOwner>();
    {
        ForwardContext context(factory, queue, std::make_shared<metrics::Counters>(),
                               RelaySettings({upstream("192.0.2.53")}));
        forwardQuery(context, Transport::datagram, kQuery, owner);
    }
    queue->runUntilIdle();
    EXPECT_GT(owner.use_count(), 1);
    factory->connections().at(0)->completeReceive({kReply, true, std::nullopt});
    queue->runUntilIdle();
    EXPECT_EQ(owner->ended, std::vector<std::optional<dns::Datagram>>{kReply});
    EXPECT_EQ(owner.use_count(), 1) << "nothing of the exchange is left holding its owner";
}

// Several upstreams, every connection ready and the query sent at once; the test answers, or not.
struct Failover : Harness {
    static constexpr const char* kFirst = "192.0.2.1:53";
    static constexpr const char* kSecond = "192.0.2.2:53";

    explicit Failover(Transport t = Transport::datagram)
        : Harness(t, {}, {upstream("192.0.2.1"), upstream("192.0.2.2")}) {
        factory->script.statesOnStart = {ConnectionState::ready()};
        factory->script.sendResult = std::optional<platform::ConnectionError>{};
    }
    // Upstreams that refuse every attempt at once.
    void refusing(std::set<std::string> refused) {
        factory->scriptFor = [this, refused](const platform::Upstream& to) {
            auto script = factory->script;
            if (refused.count(to.text()) != 0) {
                script.statesOnStart = {ConnectionState::failed(kRefused)};
            }
            return script;
        };
    }
    void answer(std::size_t i, const dns::Datagram& content = kReply) {
        ASSERT_TRUE(factory->connections().at(i)->completeReceive({content, true, {}}));
        queue->runUntilIdle();
    }
    // One query the first upstream never answers and the second does as soon as it is asked;
    // returns the connections it took.
    std::size_t queryAnsweredBySecond() {
        const auto before = made();
        const auto told = owner->ended.size();
        forward();
        for (auto waited = milliseconds(0); owner->ended.size() == told && waited < kReplyTimeout;
             waited += milliseconds(1)) {
            for (std::size_t i = before; i < made(); ++i) {
                if (upstreamOf(i) == kSecond && connection(i).pendingReceives() > 0) {
                    answer(i);
                    break;
                }
            }
            queue->advance(milliseconds(1));
        }
        return made() - before;
    }
};

TEST(Failover, keeps_to_the_first_upstream_while_it_answers) {
    Failover h;
    for (int i = 0; i < 4; ++i) {
        h.forward();
        h.queue->advance(milliseconds(20));
        h.answer(h.made() - 1);
    }
    ASSERT_EQ(h.made(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(h.upstreamOf(i), Failover::kFirst);
    }
    EXPECT_EQ(h.delivered(), Datagrams(4, kReply));
    EXPECT_EQ(h.figures(0).replies, 4u);
    EXPECT_EQ(h.figures(0).smoothedRoundTrip, std::chrono::microseconds(20000));
    EXPECT_EQ(h.figures(1).attempts, 0u);
}

// Before any reply the second attempt waits the initial time; after replies it waits the
// smoothed round trip plus four times its variation (gains of 1/8 and 1/4, as TCP's), here
// 99.3 ms + 4 x 38.9 ms after round trips of 100, 150, 50 and 100 ms, and never less than the
// floor.
TEST(Failover, the_next_attempt_waits_the_retransmission_time_measured_from_replies) {
    const auto secondAttemptAfter = [](Failover& h) {
        const auto before = h.made();
        h.forward();
        milliseconds waited{0};
        while (h.made() == before + 1 && waited < kReplyTimeout) {
            h.queue->advance(milliseconds(1));
            waited += milliseconds(1);
        }
        EXPECT_EQ(h.upstreamOf(h.made() - 1), Failover::kSecond);
        h.answer(h.made() - 1);
        return waited;
    };
    Failover fresh;
    EXPECT_EQ(secondAttemptAfter(fresh), kInitialRetransmit);

    Failover measured;
    for (const int rtt : {100, 150, 50, 100}) {
        measured.forward();
        measured.queue->advance(milliseconds(rtt));
        measured.answer(measured.made() - 1);
    }
    EXPECT_EQ(measured.figures(0).smoothedRoundTrip, std::chrono::microseconds(99315));
    EXPECT_EQ(secondAttemptAfter(measured), milliseconds(255));

    Failover quick;
    for (int i = 0; i < 4; ++i) {
        quick.forward();
        quick.answer(quick.made() - 1);  // no time passes: a 0 ms round trip
    }
    EXPECT_EQ(secondAttemptAfter(quick), kMinRetransmit);
}

TEST(Failover, a_refusal_moves_on_at_once_and_an_answer_from_the_next_is_delivered) {
    for (const auto transport : {Transport::datagram, Transport::stream}) {
        Failover h(transport);
        h.refusing({Failover::kFirst});
        h.forward();
        ASSERT_EQ(h.made(), 2u) << "no time passed";
        EXPECT_EQ(h.upstreamOf(1), Failover::kSecond);
        EXPECT_EQ(h.connection(0).cancelCalls(), 1u);
        h.answer(1, transport == Transport::stream ? framed(kReply) : kReply);
        EXPECT_EQ(h.owner->ended.size(), 1u);
        EXPECT_EQ(h.figures(0).refusals, 1u);
    }
}

TEST(Failover, the_first_valid_reply_wins_and_the_other_attempts_are_cancelled) {
    Failover h;
    h.forward();
    h.queue->advance(kInitialRetransmit);
    ASSERT_EQ(h.made(), 2u);
    h.answer(0, kStray);  // the first upstream's socket gets a stray: not the reply
    EXPECT_TRUE(h.owner->ended.empty());
    h.answer(1);
    EXPECT_EQ(h.owner->ended, (std::vector<std::optional<dns::Datagram>>{kReply}));
    EXPECT_EQ(h.connection(0).cancelCalls(), 1u);
    EXPECT_EQ(h.connection(1).cancelCalls(), 1u);
    EXPECT_EQ(h.context.inFlight(), 0u);
    EXPECT_EQ(h.queue->pendingTimers(), 0u);
    EXPECT_EQ(h.figures(0).timeouts, 1u) << "it had its time";
    EXPECT_EQ(h.figures(1).replies, 1u);
}

// An upstream that is only slow is not held to have failed: with it alone, the attempt after its
// retransmission time goes to it again on a fresh connection, and whichever of its attempts
// replies, none counts as a timeout.
TEST(Failover, a_slow_upstream_answering_any_of_its_attempts_has_not_failed) {
    for (const std::size_t answering : {0u, 1u}) {
        Harness h({}, {}, {upstream("192.0.2.1")});
        h.factory->script.statesOnStart = {ConnectionState::ready()};
        h.factory->script.sendResult = std::optional<platform::ConnectionError>{};
        for (int query = 0; query < kFailuresToDown; ++query) {
            const auto before = h.made();
            const auto rto = h.context.upstreams()->at(0).retransmitTimeout();
            h.forward();
            h.queue->advance(rto);
            ASSERT_EQ(h.made(), before + 2) << "a fresh connection to the same upstream";
            ASSERT_TRUE(
                h.factory->connections()[before + answering]->completeReceive({kReply, true, {}}));
            h.queue->runUntilIdle();
        }
        EXPECT_EQ(h.figures(0).timeouts, 0u);
        EXPECT_TRUE(h.figures(0).up);
        EXPECT_TRUE(h.changes.empty());
    }
}

// An upstream that has answered goes down after three failures in a row, one that never has at
// its first; told once: queries then go straight to the next, and the down one is tried beside
// them after a second, then after a pause that doubles while the tries fail; a try that is
// answered brings it back, told once, and it carries queries again.
TEST(Failover, an_upstream_down_is_skipped_tried_again_after_a_growing_pause_and_comes_back) {
    Failover never;
    EXPECT_EQ(never.queryAnsweredBySecond(), 2u);
    EXPECT_FALSE(never.figures(0).up);

    Failover h;
    h.forward();
    h.answer(0);  // it has answered once
    for (int i = 0; i < kFailuresToDown; ++i) {
        EXPECT_TRUE(h.figures(0).up);
        EXPECT_EQ(h.queryAnsweredBySecond(), 2u);
    }
    EXPECT_FALSE(h.figures(0).up);
    EXPECT_EQ(h.changes, (std::vector<std::pair<std::string, bool>>{{Failover::kFirst, false}}));
    EXPECT_EQ(h.queryAnsweredBySecond(), 1u) << "straight to the second";

    // Due a second after it went down: a try beside the query's own attempt, which fails.
    const auto tries = [&h] {
        std::size_t tried = 0;
        for (int ms = 0; ms < 30000; ms += 100) {
            const auto before = h.made();
            h.forward();
            for (std::size_t i = before; i < h.made(); ++i) {
                tried += h.upstreamOf(i) == Failover::kFirst ? 1 : 0;
                if (h.upstreamOf(i) == Failover::kSecond) {
                    h.answer(i);
                }
            }
            h.queue->advance(milliseconds(100));
        }
        return tried;
    };
    // Over 30 s of queries the tries come 1, 3.25, 7.5, 15.75 and 26 seconds after it went down:
    // each waits its retransmission time (the floor, 0.25 s) to fail, and the pause after it
    // doubles, to at most 10 s.
    EXPECT_EQ(tries(), 5u);
    EXPECT_EQ(h.figures(0).attempts, 1u + std::uint64_t(kFailuresToDown) + 5u);

    // The next try is answered: the first is up again and takes the following query alone.
    h.queue->advance(kMaxProbeAfter);
    h.forward();
    ASSERT_EQ(h.upstreamOf(h.made() - 1), Failover::kFirst);
    h.answer(h.made() - 1);
    EXPECT_TRUE(h.figures(0).up);
    ASSERT_EQ(h.changes.size(), 2u);
    EXPECT_EQ(h.changes.back(), (std::pair<std::string, bool>{Failover::kFirst, true}));
    const auto before = h.made();
    h.forward();
    EXPECT_EQ(h.made(), before + 1);
    EXPECT_EQ(h.upstreamOf(before), Failover::kFirst);
    h.queue->advance(kReplyTimeout);  // every exchange ends and lets its connections go
}

// With no valid reply by the query's own bound the client gets a SERVFAIL then, not a tick
// before; however the attempts end, there are never more than the budget allows, and when every
// one is refused the SERVFAIL comes at once.
TEST(Failover, servfail_at_the_bound_or_once_every_allowed_attempt_is_refused) {
    struct Row {
        const char* what;
        std::set<std::string> refusing;
        milliseconds servfailAt;
    };
    const Row rows[] = {
        {"every upstream silent", {}, kReplyTimeout},
        {"the first refuses, the second is silent", {Failover::kFirst}, kReplyTimeout},
        {"every upstream refuses", {Failover::kFirst, Failover::kSecond}, milliseconds(0)},
    };
    for (const auto transport : {Transport::datagram, Transport::stream}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(row.what);
            Failover h(transport);
            h.refusing(row.refusing);
            h.forward();
            if (row.servfailAt > milliseconds(0)) {
                h.queue->advance(row.servfailAt - milliseconds(1));
                EXPECT_TRUE(h.owner->ended.empty());
                h.queue->advance(milliseconds(1));
            }
            const auto servfail = servfailFor(kQuery);
            EXPECT_EQ(h.owner->ended,
                      (std::vector<std::optional<dns::Datagram>>{
                          transport == Transport::stream ? framed(servfail) : servfail}));
            EXPECT_EQ(h.made(), kMaxAttempts);
            EXPECT_EQ(h.context.inFlight(), 0u);
        }
    }
}

// Over a TLS upstream the reply comes whole whatever its size: a UDP client that cannot take it
// (512 bytes without EDNS, else its EDNS size) gets it truncated, the client's ID and question
// kept, and asks again over TCP, where it comes whole.
TEST(Failover, a_tls_reply_too_big_for_the_udp_client_comes_truncated) {
    const auto withEdns = [](std::uint16_t udpSize) {
        dns::Datagram q = kQuery;
        q[11] = 1;                                                     // ARCOUNT
        q.insert(q.end(), {0x01, 'a', 0x00, 0x00, 0x01, 0x00, 0x01});  // "a." A IN
        q[5] = 1;
        q.insert(q.end(), {0x00, 0x00, 0x29, static_cast<std::uint8_t>(udpSize >> 8),
                           static_cast<std::uint8_t>(udpSize), 0, 0, 0, 0, 0, 0});
        return q;
    };
    struct Row {
        const char* what;
        Transport client;
        std::optional<std::uint16_t> udpSize;  // the client's EDNS size, if it sends one
        std::size_t replySize;
        bool truncated;
    };
    const Row rows[] = {
        {"512 bytes fit a plain UDP client", Transport::datagram, std::nullopt, 512, false},
        {"513 do not", Transport::datagram, std::nullopt, 513, true},
        {"1232 fit its EDNS size", Transport::datagram, 1232, 1232, false},
        {"1233 do not", Transport::datagram, 1232, 1233, true},
        {"a small EDNS size still takes 512", Transport::datagram, 100, 512, false},
        {"over TCP it comes whole", Transport::stream, std::nullopt, 4000, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Harness h(row.client, {},
                  {{*platform::SocketAddress::parse("192.0.2.9", 853),
                    platform::UpstreamTransport::tls, "dns.example"}});
        h.factory->script.statesOnStart = {ConnectionState::ready()};
        h.factory->script.sendResult = std::optional<platform::ConnectionError>{};
        const auto query = row.udpSize ? withEdns(*row.udpSize) : kQuery;
        forwardQuery(h.context, row.client, row.client == Transport::stream ? framed(query) : query,
                     h.owner);
        h.queue->runUntilIdle();
        ASSERT_EQ(h.made(), 1u);
        // What the session sent: one framed query, its ID the session's own.
        ASSERT_EQ(h.connection(0).sent().size(), 1u);
        auto answer = dns::Datagram(dns::unframed(h.connection(0).sent()[0]).begin(),
                                    dns::unframed(h.connection(0).sent()[0]).begin() + 12);
        answer[2] = 0x81;
        answer[3] = 0x80;
        answer[4] = answer[5] = answer[11] = 0;  // no question, no records: the bytes alone count
        answer.resize(row.replySize, 0xAB);
        ASSERT_TRUE(
            h.factory->connections()[0]->completeReceive({framed(answer), false, std::nullopt}));
        h.queue->runUntilIdle();
        ASSERT_EQ(h.owner->ended.size(), 1u);
        auto expected = answer;
        dns::setId(expected, 0x1234);
        if (row.truncated) {
            expected.resize(12);
            expected[2] |= 0x02;  // TC
        }
        EXPECT_EQ(h.owner->ended[0], row.client == Transport::stream ? framed(expected) : expected);
    }
}

// A TLS upstream's lost connection and the query's next attempt do not both send it again: a
// query the session sent again on a new connection gets one more retransmission time there
// before going to the next upstream, and one that went to the next upstream first is not sent
// again on the TLS upstream.
TEST(Failover, a_tls_query_goes_out_at_most_twice_when_its_connection_is_lost) {
    for (const bool closedFirst : {true, false}) {
        SCOPED_TRACE(closedFirst ? "the connection closes before the retransmission time"
                                 : "the retransmission time passes first");
        Harness h(Transport::datagram, {},
                  {{*platform::SocketAddress::parse("192.0.2.9", 853),
                    platform::UpstreamTransport::tls, "dns.example"},
                   upstream("192.0.2.10")});
        h.factory->script.statesOnStart = {ConnectionState::ready()};
        h.factory->script.sendResult = std::optional<platform::ConnectionError>{};
        h.forward();
        ASSERT_EQ(h.made(), 1u);
        if (closedFirst) {
            h.queue->advance(kInitialRetransmit / 2);
            ASSERT_TRUE(h.factory->connections()[0]->completeReceive({dns::Datagram{}, true, {}}));
            h.queue->runUntilIdle();
            ASSERT_EQ(h.made(), 2u) << "sent again on a new connection";
            h.queue->advance(kInitialRetransmit / 2);
            EXPECT_EQ(h.made(), 2u) << "the new connection has its time before the next upstream";
            const auto resent = dns::unframed(h.connection(1).sent().at(0));
            dns::Datagram answer(resent.begin(), resent.end());
            answer[2] |= 0x80;  // the query back as its answer: the same question
            ASSERT_TRUE(h.factory->connections()[1]->completeReceive({framed(answer), false, {}}));
            h.queue->runUntilIdle();
            EXPECT_EQ(h.owner->ended.size(), 1u);
        } else {
            // The session finds its connection silent at the same time, after the query went on.
            h.queue->advance(kInitialRetransmit);
            ASSERT_EQ(h.made(), 2u) << "not sent again on the TLS upstream";
            EXPECT_EQ(h.upstreamOf(1), "192.0.2.10:53");
            EXPECT_EQ(h.connection(0).cancelCalls(), 1u);
        }
        std::size_t sends = 0;
        for (const auto& made : h.factory->connections()) {
            sends += made->sent().size();
        }
        EXPECT_EQ(sends, 2u);
        h.queue->advance(kReplyTimeout);  // every exchange ends and lets its connections go
    }
}

}  // namespace
}  // namespace sieveharbor::flow

#include <gtest/gtest.h>

#include "dns/blocked_response.h"
#include "dns/tcp_framing.h"
#include "harness.h"

namespace sieveharbor::provider {
namespace {

using fakes::FakeUdpFlow;
using Call = FakeUdpFlow::Call;
using Datagrams = std::vector<dns::Datagram>;
using dns::testing::query;
using testing::batch;
using testing::Harness;

const auto kReadError = std::make_error_code(std::errc::connection_aborted);

// One scenario per way a UDP flow's open and first read can end.
TEST(HandleNewFlow, follows_the_flow_life_cycle) {
    enum Gone { kept, beforeOpen, beforeRead };
    using Batch = std::optional<platform::DatagramBatch>;
    using Closed = std::optional<std::optional<platform::FlowError>>;
    struct Row {
        const char* what;
        std::optional<platform::FlowError> openError;
        Gone gone;
        Batch batch;  // the read's outcome
        std::optional<platform::FlowError> readError;
        std::vector<Call> calls;
        Closed closedWith;
    };
    const auto none = std::nullopt;
    const Batch empty = platform::DatagramBatch{};
    const Closed closedWithoutError = std::optional<platform::FlowError>{};
    const std::vector<Call> notOpened = {Call::open, Call::closeRead, Call::closeWrite};
    const std::vector<Call> closed = {Call::open, Call::read, Call::closeRead, Call::closeWrite};
    // clang-format off
    const Row rows[] = {
        {"open fails: closed with its error", kReadError, kept, empty, none, notOpened, kReadError},
        {"provider gone by open: closed", none, beforeOpen, empty, none, notOpened, closedWithoutError},
        {"read fails: closed with its error", none, kept, none, kReadError, closed, kReadError},
        {"a batch and an error: closed with it", none, kept, empty, kReadError, closed, kReadError},
        {"no batch, no error", none, kept, none, none, closed, closedWithoutError},
        {"provider gone by read: closed", none, beforeRead, empty, none, closed, closedWithoutError},
        {"provider gone by a failed read", none, beforeRead, none, kReadError, closed, kReadError},
        {"empty batch, nothing on its way: closed", none, kept, empty, none, closed, closedWithoutError},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Harness h;
        EXPECT_FALSE(h.provider->handleNewFlow(nullptr)) << "the only flow refused is none";
        auto flow = std::make_shared<FakeUdpFlow>();
        EXPECT_TRUE(h.provider->handleNewFlow(flow));
        if (row.gone == beforeOpen) {
            h.provider.reset();
        }
        flow->completeOpen(row.openError);
        if (row.gone == beforeRead) {
            h.provider.reset();
        }
        flow->completeRead(row.batch, row.readError);
        EXPECT_EQ(flow->calls(), row.calls);
        EXPECT_EQ(flow->closeReadError(), row.closedWith);
        EXPECT_EQ(flow->closeWriteError(), row.closedWith);
        EXPECT_TRUE(flow->writes().empty());
    }
    // A TCP flow that cannot be served is closed the same way.
    for (const bool gone : {false, true}) {
        Harness h;
        auto flow = std::make_shared<fakes::FakeStreamFlow>();
        EXPECT_TRUE(h.provider->handleNewFlow(flow));
        if (gone) {
            h.provider.reset();
        }
        flow->completeOpen(gone ? none : std::optional(kReadError));
        const Closed closedWith = gone ? closedWithoutError : Closed(kReadError);
        EXPECT_EQ(flow->closeReadError(), closedWith) << gone;
        EXPECT_EQ(flow->closeWriteError(), closedWith) << gone;
    }
}

// A flow whose reading has ended stays open for the replies still on their way, and closes after
// the last is written.
TEST(HandleDatagrams, a_flow_whose_reading_ended_closes_after_its_last_reply) {
    Harness h;
    auto flow = h.open();
    const auto relayed = query({"open", "example"});
    flow->completeRead(batch({relayed}, {"1"}));
    flow->completeRead(platform::DatagramBatch{});
    h.queue->runUntilIdle();
    const auto& made = h.connections->connections();
    ASSERT_EQ(made.size(), 1u);
    made[0]->reportState(platform::ConnectionState::ready());
    h.queue->runUntilIdle();
    made[0]->completeSend();
    h.queue->runUntilIdle();
    EXPECT_FALSE(flow->closed()) << "a reply is on its way";
    const dns::Datagram reply{relayed[0], relayed[1], 0x81, 0x80};
    made[0]->completeReceive({reply, true, std::nullopt});
    h.queue->runUntilIdle();
    EXPECT_EQ(flow->calls(), (std::vector<Call>{Call::open, Call::read, Call::read, Call::write,
                                                Call::closeRead, Call::closeWrite}));
}

// The one verdict for both transports: a message over TCP gets exactly what the same datagram
// gets over UDP, counted under its transport.
TEST(HandleNewFlow, chooses_answer_drop_or_relay_per_message_on_either_transport) {
    struct Row {
        const char* what;
        dns::Datagram message;
        bool answered;
        bool relayed;
    };
    auto incomplete = query({"blocked", "example"});
    incomplete.resize(incomplete.size() - 2);  // QCLASS cut off
    const dns::Datagram shortDatagram = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01};
    auto pointer = dns::testing::header();
    pointer.push_back(0xC0);
    const auto response = [](dns::Datagram d) {
        d[2] |= 0x80;  // QR: a reply, which a loop between two resolvers would bounce for ever
        return d;
    };
    // clang-format off
    const Row rows[] = {
        {"response for a blocked name: dropped", response(query({"blocked", "example"})), false, false},
        {"response for another name: dropped", response(query({"other", "example"})), false, false},
        {"blocked name", query({"blocked", "example"}), true, false},
        {"blocked name, any case", query({"X", "BLOCKED", "Example"}), true, false},
        {"lookalike is relayed", query({"notblocked", "example"}), false, true},
        {"blocked with incomplete question: dropped", incomplete, false, false},
        {"unreadable name relayed", pointer, false, true},
        {"datagram too short for a question relayed unchanged", shortDatagram, false, true},
        {"response too short for a question: dropped", response(shortDatagram), false, false},
    };
    // clang-format on
    for (const auto& row : rows) {
        const bool fitsStream = row.message.size() >= dns::kHeaderSize;
        for (const bool tcp : {false, true}) {
            if (tcp && !fitsStream) {
                continue;  // a stream closes on a message shorter than a header
            }
            SCOPED_TRACE(std::string(row.what) + (tcp ? " over TCP" : " over UDP"));
            Harness h;
            h.useList("blocked.example\n");
            Datagrams answers;
            if (tcp) {
                auto flow = h.open<fakes::FakeStreamFlow>();
                flow->completeRead(*dns::frameMessage(row.message));
                h.queue->runUntilIdle();
                if (const auto bytes = flow->written(); !bytes.empty()) {
                    answers.emplace_back(bytes.begin() + 2, bytes.end());
                }
            } else {
                auto flow = h.open();
                flow->completeRead(batch({row.message}, {"client"}));
                for (const auto& write : flow->writes()) {
                    answers.push_back(write.at(0).datagram);
                }
            }
            EXPECT_EQ(answers, row.answered ? Datagrams{*dns::makeBlockedResponse(row.message)}
                                            : Datagrams{});
            const auto& made = h.connections->connections();
            ASSERT_EQ(made.size(), row.relayed ? 1u : 0u);
            if (row.relayed) {
                EXPECT_EQ(made[0]->transport(),
                          tcp ? platform::Transport::stream : platform::Transport::datagram);
                h.queue->runUntilIdle();
                made[0]->reportState(platform::ConnectionState::ready());
                h.queue->runUntilIdle();
                EXPECT_EQ(made[0]->sent(),
                          Datagrams{tcp ? *dns::frameMessage(row.message) : row.message});
            }
            EXPECT_EQ(h.provider->metrics().received[tcp ? 1 : 0], 1u);
        }
    }
}

TEST(HandleDatagrams, counts_what_each_datagram_got_and_every_load) {
    const auto fresh = Harness().provider->metrics();
    EXPECT_EQ(std::tuple(fresh.reloadsAccepted, fresh.reloadsRefused, fresh.entries,
                         fresh.lastReload.has_value(), fresh.relayed),
              std::tuple(0u, 0u, 0u, false, 0u))
        << "a provider starts with nothing counted";
    ProviderSettings settings;
    settings.forward.maxInFlight = 3;
    Harness h(std::move(settings));
    h.useList("blocked.example\n");
    auto flow = h.open();
    auto incomplete = query({"blocked", "example"});
    incomplete.resize(incomplete.size() - 2);
    auto response = query({"blocked", "example"});
    response[2] |= 0x80;
    const auto relayed = query({"open", "example"});
    // Five blocked types (the last, 257, is not A whatever its low byte says), a response, a
    // blocked name too short to answer, and four to relay: one replied, one timed out, one
    // without a descriptor for its socket, one over the cap.
    const Datagrams blocked = {query({"blocked", "example"}, 1), query({"blocked", "example"}, 28),
                               query({"blocked", "example"}, 65), query({"blocked", "example"}, 15),
                               query({"blocked", "example"}, 257)};
    flow->completeRead(batch({blocked[0], relayed, blocked[1], blocked[2], blocked[3], blocked[4],
                              response, incomplete, relayed, relayed, relayed},
                             {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}));
    // The blocked are answered during dispatch, each alone and to its own client.
    const auto writes = flow->writes();
    ASSERT_EQ(writes.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(writes[i], batch({*dns::makeBlockedResponse(blocked[i])},
                                   {std::array{"1", "3", "4", "5", "6"}[i]}));
    }
    const auto& made = h.connections->connections();
    ASSERT_EQ(made.size(), 3u);
    // Relayed to the provider's first upstream, byte for byte.
    EXPECT_EQ(made[0]->upstream().address, h.provider->safeDNSAddress());
    EXPECT_EQ(h.provider->safeDNSAddress(), defaultSafeDNSAddress());
    EXPECT_EQ(h.provider->safeDNSPort(), 53u);
    h.queue->runUntilIdle();
    made[0]->reportState(platform::ConnectionState::ready());
    h.queue->runUntilIdle();
    EXPECT_EQ(made[0]->sent(), Datagrams{relayed});
    EXPECT_EQ(flow->pendingReads(), 1u) << "read again for the client's next queries";
    made[0]->completeSend();
    h.queue->runUntilIdle();
    const dns::Datagram reply{relayed[0], relayed[1], 0x81, 0x80};
    made[0]->completeReceive({reply, true, std::nullopt});
    h.queue->runUntilIdle();
    ASSERT_EQ(flow->writes().size(), 6u);
    EXPECT_EQ(flow->writes()[5], batch({reply}, {"2"})) << "the reply, to its own client";
    made[1]->reportState(platform::ConnectionState::ready());
    made[2]->reportState(
        platform::ConnectionState::failed(std::make_error_code(std::errc::too_many_files_open)));
    h.queue->runUntilIdle();
    h.queue->advance(flow::kReplyTimeout);
    // The one no upstream replied to gets a SERVFAIL at the bound.
    ASSERT_EQ(flow->writes().size(), 7u);
    EXPECT_EQ(flow->writes()[6].at(0).endpoint, fakes::endpoint("9"));
    h.files->write(testing::kUserListPath, "\xFF\n");
    h.provider->loadBlocklist();

    const auto m = h.provider->metrics();
    EXPECT_EQ(m.received, (std::array<std::uint64_t, 2>{11, 0}));
    // A, AAAA, HTTPS, others, SERVFAIL
    EXPECT_EQ(m.answered, (metrics::Counts<metrics::Answer>{1, 1, 1, 2, 1}));
    EXPECT_EQ(m.relayed, 2u);
    // incomplete, over the cap, a response, no descriptor
    EXPECT_EQ(m.dropped, (std::array<std::uint64_t, 4>{1, 1, 1, 1}));
    EXPECT_EQ(m.exchanges, (std::array<std::uint64_t, 3>{1, 1, 0}));  // reply, timeout, failure
    EXPECT_EQ(m.inFlight, 0u);
    EXPECT_EQ(m.entries, 1u) << "the refused load left the accepted list in force";
    EXPECT_EQ(m.reloadsAccepted, 1u);
    EXPECT_EQ(m.reloadsRefused, 1u);
    EXPECT_TRUE(m.lastReload.has_value());
}

TEST(HandleDatagrams, a_reload_between_two_datagrams_applies_to_the_later_only) {
    Harness h;
    h.useList("first.example\n");
    auto flow = h.open();
    // The first datagram is not blocked and is relayed; the reload lands as its connection is
    // asked for, which is once it has been judged.
    h.connections->onMake = [&] { h.useList("second.example\n"); };
    flow->completeRead(
        batch({query({"second", "example"}), query({"second", "example"})}, {"a", "b"}));
    EXPECT_EQ(h.connections->connections().size(), 1u);
    ASSERT_EQ(flow->writes().size(), 1u);
    EXPECT_EQ(flow->writes()[0].at(0).endpoint, fakes::endpoint("b"));
}

}  // namespace
}  // namespace sieveharbor::provider

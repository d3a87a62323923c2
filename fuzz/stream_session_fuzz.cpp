// Any byte stream from a TCP client, cut into reads where its own bytes say, served with an
// upstream that answers every relayed query: whatever the client sends, what
// the flow is given is a run of whole framed messages, each one a blocked reply or the upstream's
// reply; nothing is written once the flow is closed; and in the end every exchange and every
// flow has let go.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "blocklist/domain_set_holder.h"
#include "check.h"
#include "dns/tcp_framing.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_flow.h"
#include "fakes/fake_queue.h"
#include "flow/stream_session.h"
#include "text/text.h"

using namespace sieveharbor;

namespace {

const dns::Datagram kUpstreamReply{0xAB, 0xCD, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0x42};

std::shared_ptr<const blocklist::DomainSet> blockedSet() {
    blocklist::DomainSetBuilder builder;
    builder.add("blocked.example");
    builder.add("example");
    return std::make_shared<const blocklist::DomainSet>(std::move(builder).finish());
}

// A blocked reply: a response with RD and RA set, no error or a name error.
bool isBlockedReply(const dns::Datagram& message) {
    return message.size() >= dns::kHeaderSize && message[2] == 0x81 &&
           (message[3] == 0x80 || message[3] == 0x83);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto blocked = blockedSet();
    auto queue = std::make_shared<fakes::FakeQueue>();
    auto factory = std::make_shared<fakes::FakeConnectionFactory>();
    factory->script.statesOnStart = {platform::ConnectionState::ready()};
    factory->script.sendResult = std::optional<platform::ConnectionError>{};
    factory->script.reply =
        fakes::FakeConnection::Reply{*dns::frameMessage(kUpstreamReply), false, std::nullopt};
    blocklist::DomainSetHolder list;
    list.publish(blocked);
    const flow::StreamLimits limits{.maxInProgress = 4, .maxQueuedBytes = 4096};
    flow::StreamRegistry streams(limits.maxConnections);
    auto context = std::make_shared<flow::FlowContext>(
        list, factory,
        flow::RelaySettings(fakes::FakeConnectionFactory::documentationUpstreams(),
                            {.maxInFlight = 8}),
        queue, streams, limits);
    auto flow = std::make_shared<fakes::FakeStreamFlow>();
    // Every third input leaves its answers untaken, as a client that does not read.
    flow->holdWrites = size % 3 == 0;
    flow::serveStreamFlow(context, flow);
    flow->completeOpen();
    queue->runUntilIdle();

    std::optional<std::size_t> writtenWhenClosed;
    for (std::size_t at = 0, i = 0; at < size; ++i) {
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + data[i % size] % 61);
        if (!flow->completeRead(std::span(data + at, piece))) {
            break;  // closed, or not reading while queries are in progress
        }
        at += piece;
        queue->runUntilIdle();
        if (flow->closed() && !writtenWhenClosed) {
            writtenWhenClosed = flow->written().size();
        }
    }
    queue->advance(flow::kReplyTimeout);
    FUZZ_CHECK(!writtenWhenClosed || flow->written().size() == *writtenWhenClosed);

    const auto written = flow->written();
    dns::TcpFramer framer;
    framer.append(written);
    std::vector<std::uint8_t> framed;
    while (framer.next(framed) == dns::TcpFramer::Status::message) {
        const auto body = dns::unframed(framed);
        const dns::Datagram message(body.begin(), body.end());
        FUZZ_CHECK(message == kUpstreamReply || isBlockedReply(message));
    }
    FUZZ_CHECK(!framer.midMessage());

    flow->completeWrites();
    while (flow->completeRead({}, std::make_error_code(std::errc::connection_reset))) {
        queue->runUntilIdle();
    }
    queue->runUntilIdle();
    FUZZ_CHECK(context->forward().inFlight() == 0);
    return 0;
}

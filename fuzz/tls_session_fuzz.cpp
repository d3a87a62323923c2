// What a DNS-over-TLS resolver sends back, whatever it is: the input is read as the stream of a
// session's connection, cut into reads where its own bytes say, after four queries (two with
// EDNS) were written on it. Each query is finished at most once, and an answer it is given is a
// response to its own question under the client's ID; a connection that brought something that
// is not DNS is given up, never the session. The input is also a message for the EDNS helpers:
// they never read outside it, padding gives a multiple of the block, and truncating keeps no
// more than the header and the question.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "check.h"
#include "dns/edns.h"
#include "dns/question.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_queue.h"
#include "flow/pipelined_session.h"
#include "flow/upstreams.h"

using namespace sieveharbor;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes query(std::uint16_t id, char name, bool edns) {
    Bytes q = {static_cast<std::uint8_t>(id >> 8),
               static_cast<std::uint8_t>(id),
               0x01,
               0x00,
               0,
               1,
               0,
               0,
               0,
               0,
               0,
               static_cast<std::uint8_t>(edns ? 1 : 0),
               1,
               static_cast<std::uint8_t>(name),
               0,
               0,
               1,
               0,
               1};
    if (edns) {
        q.insert(q.end(), {0, 0, 0x29, 0x04, 0xD0, 0, 0, 0, 0, 0, 0});
    }
    return q;
}

void checkEdnsHelpers(std::span<const std::uint8_t> input) {
    const dns::ByteView message(input.data(), input.size());
    if (const auto opt = dns::findOpt(message)) {
        FUZZ_CHECK(opt->rdata + opt->rdlength <= input.size());
    }
    FUZZ_CHECK(dns::udpReplyLimit(message) >= 512);
    Bytes padded(input.begin(), input.end());
    if (dns::padToBlock(padded, 128)) {
        FUZZ_CHECK(padded.size() % 128 == 0 && padded.size() <= 65535);
        FUZZ_CHECK(std::equal(input.begin(), input.begin() + 12, padded.begin() + 0) ||
                   input.size() < 12);
    } else {
        FUZZ_CHECK(padded == Bytes(input.begin(), input.end()));
    }
    if (const auto truncated = dns::truncatedReply(message)) {
        FUZZ_CHECK(truncated->size() <= input.size() && truncated->size() >= dns::kHeaderSize);
        FUZZ_CHECK(((*truncated)[2] & 0x02) != 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkEdnsHelpers(std::span(data, size));

    auto queue = std::make_shared<fakes::FakeQueue>();
    auto factory = std::make_shared<fakes::FakeConnectionFactory>();
    factory->script.statesOnStart = {platform::ConnectionState::ready()};
    factory->script.sendResult = std::optional<platform::ConnectionError>{};
    auto state = std::make_shared<flow::UpstreamState>(
        platform::Upstream{*platform::SocketAddress::parse("192.0.2.53", 853),
                           platform::UpstreamTransport::tls, "dns.example"});
    auto session = std::make_shared<flow::PipelinedSession>(
        factory, state, queue->makeSerialQueue(), flow::SessionEvents{});
    std::map<char, Bytes> sent;
    std::map<char, int> finished;
    for (const char name : {'a', 'b', 'c', 'd'}) {
        const auto q = query(static_cast<std::uint16_t>(0x4200 + name), name, name > 'b');
        sent[name] = q;
        session->submit(q, queue, [&, name](std::optional<Bytes> reply) {
            ++finished[name];
            if (reply) {
                FUZZ_CHECK(dns::idOf(*reply) == dns::idOf(sent[name]));
                FUZZ_CHECK(dns::isResponse(*reply));
                Bytes unpadded = sent[name];
                FUZZ_CHECK(dns::isReplyTo(*reply, unpadded));
            }
        });
    }
    queue->runUntilIdle();

    std::size_t at = 0;
    for (std::size_t i = 0; at < size; ++i) {
        const auto& made = factory->connections();
        if (made.empty()) {
            break;
        }
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + data[i % size] % 97);
        Bytes bytes(data + at, data + at + piece);
        at += piece;
        const bool last = at == size;
        if (!made.back()->completeReceive({std::move(bytes), last, std::nullopt})) {
            break;  // the session is not reading: it gave up that connection
        }
        queue->runUntilIdle();
    }
    queue->advance(std::chrono::seconds(10));
    for (const auto& [name, count] : finished) {
        FUZZ_CHECK(count <= 1);
    }
    // Every connection but the newest was given up.
    const auto& made = factory->connections();
    for (std::size_t i = 0; i + 1 < made.size(); ++i) {
        FUZZ_CHECK(made[i]->cancelCalls() >= 1);
    }
    return 0;
}

// Any byte stream, cut into pieces where its own bytes say: the framer takes out exactly the
// messages that reading the whole stream front to back finds, and stops where that reading
// finds a length too short for a header; every message framed again gives back its bytes.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "check.h"
#include "dns/tcp_framing.h"

using namespace sieveharbor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> stream(data, size);

    // The reference: front to back over the whole stream.
    std::vector<dns::Datagram> expected;
    bool expectBad = false;
    for (std::size_t at = 0; at + 2 <= size;) {
        const std::size_t length = (std::size_t{data[at]} << 8) | data[at + 1];
        if (length < dns::kHeaderSize) {
            expectBad = true;
            break;
        }
        if (at + 2 + length > size) {
            break;
        }
        expected.emplace_back(data + at + 2, data + at + 2 + length);
        at += 2 + length;
    }

    dns::TcpFramer framer;
    std::vector<dns::Datagram> taken;
    bool bad = false;
    for (std::size_t at = 0, i = 0; at < size && !bad; ++i) {
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + data[i % size] % 97);
        framer.append(stream.subspan(at, piece));
        at += piece;
        std::vector<std::uint8_t> framed;
        for (;;) {
            const auto status = framer.next(framed);
            if (status != dns::TcpFramer::Status::message) {
                bad = status == dns::TcpFramer::Status::bad;
                break;
            }
            const auto message = dns::unframed(framed);
            taken.emplace_back(message.begin(), message.end());
            FUZZ_CHECK(framed.size() == message.size() + 2);
        }
    }
    FUZZ_CHECK(taken == expected);
    FUZZ_CHECK(bad == expectBad);
    for (const auto& message : taken) {
        const auto framed = dns::frameMessage(message);
        FUZZ_CHECK(framed && framed->size() == message.size() + 2);
        FUZZ_CHECK(std::equal(message.begin(), message.end(), framed->begin() + 2));
    }
    return 0;
}

// The upstream every server under test forwards to: answers each query at once with one A
// record (192.0.2.53, TTL 300) for its question, so forwarded queries cost the servers, not the
// upstream.

#include "peers/udp_loop.h"

namespace {

std::size_t answer(std::uint8_t* bytes, std::size_t length, std::size_t capacity) {
    std::size_t end = 12;
    while (end < length && bytes[end] != 0) {
        if ((bytes[end] & 0xC0) != 0) {
            return 0;  // a query never compresses its question
        }
        end += bytes[end] + 1u;
    }
    end += 1 + 4;  // the root byte, QTYPE and QCLASS
    const std::uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x01, 0x2C, 0, 4, 192, 0, 2, 53};
    if (length < 12 || end > length || end + sizeof record > capacity) {
        return 0;
    }
    bytes[2] = static_cast<std::uint8_t>(0x80 | (bytes[2] & 0x01));  // QR, RD kept
    bytes[3] = 0x80;                                                 // RA, NOERROR
    bytes[4] = 0, bytes[5] = 1, bytes[6] = 0, bytes[7] = 1;
    bytes[8] = bytes[9] = bytes[10] = bytes[11] = 0;  // EDNS and the rest dropped
    std::memcpy(bytes + end, record, sizeof record);
    return end + sizeof record;
}

}  // namespace

int main(int argc, char** argv) {
    sieveharbor::bench::LoopOptions options;
    if (!sieveharbor::bench::parseLoopOptions(argc, argv, options)) {
        std::fputs("usage: bench-stub-upstream --port P --seconds S\n", stderr);
        return 2;
    }
    return sieveharbor::bench::serveLoopback(options, answer);
}

// The benchmark's ceiling: sends every datagram straight back with the QR bit set. No parsing,
// so its cost per query is the kernel's share of any UDP DNS server.

#include "peers/udp_loop.h"

int main(int argc, char** argv) {
    sieveharbor::bench::LoopOptions options;
    if (!sieveharbor::bench::parseLoopOptions(argc, argv, options)) {
        std::fputs("usage: bench-reflector --port P --seconds S\n", stderr);
        return 2;
    }
    return sieveharbor::bench::serveLoopback(
        options, [](std::uint8_t* bytes, std::size_t length, std::size_t) -> std::size_t {
            if (length < 3) {
                return 0;
            }
            bytes[2] |= 0x80;
            return length;
        });
}

// Any query: a reply, when there is one, has the length of its shape, a header that follows
// the fixed layout, and the first question copied byte for byte.

#include <cstdint>
#include <cstring>
#include <span>

#include "check.h"
#include "dns/blocked_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reply = sieveharbor::dns::makeBlockedResponse(std::span(data, size));

    // The end of the question found independently: labels skipped by their length bytes.
    std::size_t end = 12;
    bool terminated = false;
    while (size > 12 && end < size) {
        if (data[end] == 0) {
            ++end;
            terminated = true;
            break;
        }
        end += data[end] + 1;
    }
    const bool complete = size > 12 && terminated && size - end >= 4;
    FUZZ_CHECK(reply.has_value() == complete);
    if (!reply) {
        return 0;
    }
    const std::size_t q = end + 4 - 12;
    const unsigned qtype = (data[end] << 8) | data[end + 1];
    const std::size_t expectedSize = qtype == 28 ? 40 + q : qtype == 65 ? 12 + q : 28 + q;
    const std::uint8_t* r = reply->data();
    FUZZ_CHECK(reply->size() == expectedSize);
    FUZZ_CHECK(r[0] == data[0] && r[1] == data[1]);
    FUZZ_CHECK(r[2] == 0x81 && r[3] == (qtype == 65 ? 0x83 : 0x80));
    FUZZ_CHECK(r[4] == data[4] && r[5] == data[5]);
    FUZZ_CHECK(r[6] == 0 && r[7] == (qtype == 65 ? 0 : 1));
    FUZZ_CHECK(r[8] == 0 && r[9] == 0 && r[10] == 0 && r[11] == 0);
    FUZZ_CHECK(std::memcmp(r + 12, data + 12, q) == 0);
    if (qtype != 65) {
        FUZZ_CHECK(r[12 + q] == 0xC0 && r[13 + q] == 0x0C);
    }
    return 0;
}

#include "dns/servfail.h"

#include "dns/question.h"

namespace sieveharbor::dns {

namespace {

constexpr std::uint8_t kQr = 0x80;
constexpr std::uint8_t kOpcode = 0x78;
constexpr std::uint8_t kRd = 0x01;
constexpr std::uint8_t kRa = 0x80;
constexpr std::uint8_t kServfail = 0x02;

}  // namespace

bool appendServfail(ByteView query, std::vector<std::uint8_t>& out) {
    if (query.size() < kHeaderSize) {
        return false;
    }
    const bool counted = query[4] != 0 || query[5] != 0;
    const Question question = questionBounds(query);
    const bool copied = counted && question.complete();
    out.insert(out.end(),
               {query[0], query[1], static_cast<std::uint8_t>(kQr | (query[2] & (kOpcode | kRd))),
                static_cast<std::uint8_t>(kRa | kServfail), 0x00,
                copied ? std::uint8_t{1} : std::uint8_t{0}, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    if (copied) {
        out.insert(out.end(), query.begin() + static_cast<std::ptrdiff_t>(kHeaderSize),
                   query.begin() + static_cast<std::ptrdiff_t>(question.end));
    }
    return true;
}

}  // namespace sieveharbor::dns

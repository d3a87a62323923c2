// Any datagram: the name, when there is one, is non-empty, well-formed, lower-case text made
// only of the datagram's label bytes and separators; read into a buffer kept from input to input,
// as the judging thread's is, it is the same name; and the one walk finds the question where the
// blocked reply's builder finds it. A datagram of two bytes or more is a reply to itself; matching
// its two halves against each other reads no byte outside either.

#include <cstdint>
#include <span>
#include <string>

#include "check.h"
#include "dns/query_name.h"
#include "dns/question.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);
    const auto name = sieveharbor::dns::extractDomainName(datagram);
    static std::string reused;
    const auto question = sieveharbor::dns::readQuestion(datagram, reused);
    FUZZ_CHECK(question.name.empty() != name.has_value());
    FUZZ_CHECK(question.name.empty() || question.name == *name);
    const auto bounds = sieveharbor::dns::questionBounds(datagram);
    FUZZ_CHECK(bounds.end == question.end && bounds.type == question.type);
    FUZZ_CHECK(!question.complete() || (question.end <= size && question.end >= 17));
    FUZZ_CHECK(size < 2 || sieveharbor::dns::isReplyTo(datagram, datagram));
    (void)sieveharbor::dns::isReplyTo(datagram.first(size / 2), datagram.subspan(size / 2));
    if (!name) {
        return 0;
    }
    FUZZ_CHECK(size >= 13);
    FUZZ_CHECK(!name->empty());
    FUZZ_CHECK(sieveharbor::text::isWellFormedUtf8(*name));
    FUZZ_CHECK(sieveharbor::text::toLower(*name) == *name);
    if (sieveharbor::text::isAscii(*name)) {
        // Lower-casing ASCII keeps lengths, so the name can never outgrow the label bytes.
        FUZZ_CHECK(name->size() <= size - 12);
    }
    return 0;
}

#include "flow/verdict.h"

#include "blocklist/matching.h"
#include "dns/blocked_response.h"
#include "dns/query_name.h"

namespace sieveharbor::flow {

Judgement judgeMessage(dns::ByteView message, const blocklist::DomainSet& blocked) {
    if (dns::isResponse(message)) {
        return {Verdict::drop, std::nullopt};
    }
    const auto name = dns::extractDomainName(message);
    if (!name || !blocklist::isNameBlocked(*name, blocked)) {
        return {Verdict::relay, std::nullopt};
    }
    auto reply = dns::makeBlockedResponse(message);
    if (!reply) {
        return {Verdict::drop, std::nullopt};
    }
    return {Verdict::answer, std::move(reply)};
}

}  // namespace sieveharbor::flow

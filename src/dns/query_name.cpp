#include "dns/query_name.h"

#include "dns/question.h"

namespace sieveharbor::dns {

std::optional<std::string> extractDomainName(ByteView datagram) {
    std::string name;
    if (readQuestion(datagram, name).name.empty()) {
        return std::nullopt;
    }
    return name;
}

}  // namespace sieveharbor::dns

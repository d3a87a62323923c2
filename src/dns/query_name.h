#pragma once

#include <optional>
#include <string>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// The name of the first question of a query, as lower-case text with labels joined by ".":
// readQuestion's name (question.h), or nothing where that is empty. Reads nothing of the header
// (ID, flags and counts do not matter, QDCOUNT 0 included) and nothing after the name. Never
// reads outside `datagram`. Pure; any thread.
std::optional<std::string> extractDomainName(ByteView datagram);

}  // namespace sieveharbor::dns

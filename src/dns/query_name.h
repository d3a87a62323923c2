#pragma once

#include <optional>
#include <string>

#include "dns/datagram.h"

namespace sieveharbor::dns {

// The name of the first question of a query, as lower-case text with labels joined by ".".
//
// Reads nothing of the header (ID, flags and counts do not matter, QDCOUNT 0 included) and
// nothing after the name. Every non-zero length byte is a plain label length, so a compression
// pointer reads as a 192..255-byte label; there is no label, name or label-count limit.
// A label that is not well-formed UTF-8 is skipped without leaving a separator behind.
//
// Nothing when: fewer than 13 bytes, a label runs past the end (even after good labels), or no
// label decoded. A name that runs to the end of the datagram without its zero byte still
// counts. Never reads outside `datagram`. Pure; any thread.
std::optional<std::string> extractDomainName(ByteView datagram);

// The same name written into `name`, whose storage is reused from call to call, so that judging
// a query allocates nothing once the buffer has grown; false (and `name` unspecified) where the
// above gives nothing.
bool extractDomainNameInto(ByteView datagram, std::string& name);

}  // namespace sieveharbor::dns

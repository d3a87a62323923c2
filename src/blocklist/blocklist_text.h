#pragma once

#include <string_view>

#include "blocklist/domain_set.h"

namespace sieveharbor::blocklist {

// Turns the text of a blocklist file into a set. Lines end at any of LF, VT, FF, CR, NEL,
// U+2028 and U+2029 (each on its own, so CR LF leaves an empty line between them); each line is
// trimmed of tab and Unicode space separators (Zs) at both ends, lower-cased, and dropped when
// empty or starting with "#". A UTF-8 byte-order mark at the very start is removed. Equal
// entries collapse into one.
//
// `text` should be well-formed UTF-8 (the loader refuses any other file); ill-formed bytes are
// kept in entries as they are and never read out of bounds. Pure; any thread.
DomainSet parseBlocklist(std::string_view text);

}  // namespace sieveharbor::blocklist

#pragma once

#include <string>
#include <string_view>

#include "blocklist/domain_set.h"

namespace sieveharbor::blocklist {

// The blocking rule: `name` is blocked when, lower-cased, it equals an entry of `set` or ends
// with "." followed by an entry. Equality is canonical equivalence; nothing is stripped from the
// name (a trailing dot, empty labels and spaces take part in the comparison). ASCII names are
// judged without ICU and without copying. Pure; any thread.
bool isNameBlocked(std::string_view name, const DomainSet& set);

// The same rule for a name that is already lower-cased, as dns::readQuestion leaves it, in a
// buffer the caller reuses: an ASCII name is padded in place for the set's word-wise reads, so it
// is neither copied nor lowered again. `name` holds the name again on return.
bool isLoweredNameBlocked(std::string& name, const DomainSet& set);

}  // namespace sieveharbor::blocklist

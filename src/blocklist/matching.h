#pragma once

#include <string_view>

#include "blocklist/domain_set.h"

namespace sieveharbor::blocklist {

// The blocking rule: `name` is blocked when, lower-cased, it equals an entry of `set` or ends
// with "." followed by an entry. Equality is canonical equivalence; nothing is stripped from the
// name (a trailing dot, empty labels and spaces take part in the comparison). ASCII names are
// judged without ICU and without copying. Pure; any thread.
bool isNameBlocked(std::string_view name, const DomainSet& set);

}  // namespace sieveharbor::blocklist

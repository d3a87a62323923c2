#include "blocklist/matching.h"

#include "text/text.h"

namespace sieveharbor::blocklist {

bool isNameBlocked(std::string_view name, const DomainSet& set) {
    if (set.empty()) {
        return false;
    }
    // Entries are valid UTF-8, so ill-formed bytes can only match as themselves.
    if (text::isAscii(name) || !text::isWellFormedUtf8(name)) {
        return set.containsNameOrParent(name);
    }
    return set.containsNameOrParent(text::canonicalLower(name));
}

}  // namespace sieveharbor::blocklist

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

bool isLoweredNameBlocked(std::string& name, const DomainSet& set) {
    if (set.empty() || name.empty()) {
        return false;
    }
    if (!text::isAscii(name)) {
        // Lowered already: only the canonical composition is left to do.
        return text::isWellFormedUtf8(name) ? set.containsNameOrParent(text::toNfc(name))
                                            : set.containsNameOrParent(name);
    }
    constexpr std::size_t kPadding = 16;
    const std::size_t size = name.size();
    name.append(kPadding, '\0');
    const bool blocked = set.containsPaddedNameOrParent(std::string_view(name).substr(0, size));
    name.resize(size);
    return blocked;
}

}  // namespace sieveharbor::blocklist

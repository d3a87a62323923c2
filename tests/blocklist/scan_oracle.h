#pragma once

// The blocking rule written as a straight scan of every entry, kept as the reference that the
// hash-probing matcher is checked against (by the randomized test and by the fuzzer).

#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace sieveharbor::blocklist::testing {

// After lower-casing, the name equals an entry or ends with "." + entry, both compared as
// canonically equivalent text (byte comparison of the NFC forms).
inline bool scanIsBlocked(std::string_view name, const std::vector<std::string>& entries) {
    const std::string lowered = text::toNfc(text::toLower(name));
    for (const auto& entry : entries) {
        if (lowered == text::toNfc(entry)) {
            return true;
        }
    }
    for (const auto& entry : entries) {
        if (lowered.ends_with(text::toNfc("." + entry))) {
            return true;
        }
    }
    return false;
}

}  // namespace sieveharbor::blocklist::testing

#pragma once

#include <initializer_list>
#include <string_view>

#include "blocklist/domain_set.h"
#include "text/text.h"

namespace sieveharbor::blocklist::testing {

// A set holding the given lower-case entries, as the loader would keep them.
inline DomainSet setOf(std::initializer_list<std::string_view> entries) {
    DomainSetBuilder builder;
    for (auto entry : entries) {
        builder.add(text::canonicalLower(entry));
    }
    return std::move(builder).finish();
}

}  // namespace sieveharbor::blocklist::testing

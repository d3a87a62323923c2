#pragma once

// Pieces of the messages both programs print about their command lines. Header only: the list
// converter uses it without the rest of the host.

#include <string>
#include <string_view>

namespace sieveharbor::cli {

// 'text', for naming an argument in a message.
inline std::string quoted(std::string_view text) {
    // Appended piece by piece: GCC 12 at -O3 misreads "'" + std::string(...) as an overlapping
    // copy (-Wrestrict).
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

// The hint printed after a bad-usage line.
inline std::string usageHint(std::string_view program) {
    return "Try " + cli::quoted(std::string(program) + " --help") + " for usage.";
}

}  // namespace sieveharbor::cli

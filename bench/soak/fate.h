#pragma once

// What the soak's upstream does with a query: answer it at once, never answer it, or hold the
// answer back. Decided from the question's name alone, so that the load generator, which made
// the name, knows beforehand which answers the proxy owes it.

#include <cstddef>
#include <cstdint>

namespace sieveharbor::bench {

struct Fate {
    enum class Kind { answer, drop, delay };
    Kind kind = Kind::answer;
    int delayMs = 0;
};

constexpr int kMaxDelayMs = 6000;

// FNV-1a over the question's name in wire form (from the end of the header up to and with its
// root label), ASCII letters folded to lower case.
inline std::uint32_t questionNameHash(const std::uint8_t* message, std::size_t length) {
    std::uint32_t hash = 2166136261u;
    std::size_t at = 12;
    while (at < length) {
        const std::size_t labelEnd = at + 1 + message[at];
        const bool root = message[at] == 0;
        for (std::size_t i = at; i < labelEnd && i < length; ++i) {
            std::uint8_t c = message[i];
            if (i > at && c >= 'A' && c <= 'Z') {
                c = static_cast<std::uint8_t>(c + ('a' - 'A'));
            }
            hash = (hash ^ c) * 16777619u;
        }
        if (root) {
            break;
        }
        at = labelEnd;
    }
    return hash;
}

// One query in a hundred dropped, one delayed by 0 to 6 s: past the proxy's 5-second upstream
// timeout for a sixth of those.
inline Fate fateOf(std::uint32_t nameHash) {
    switch (nameHash % 100) {
        case 0:
            return {Fate::Kind::drop, 0};
        case 1:
            return {Fate::Kind::delay, static_cast<int>((nameHash / 100) % (kMaxDelayMs + 1))};
        default:
            return {};
    }
}

}  // namespace sieveharbor::bench

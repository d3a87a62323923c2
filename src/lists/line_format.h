#pragma once

// The lines of the lists people subscribe to, read as what they block: hosts files, adblock-style
// domain rules, dnsmasq and unbound snippets, plain domains and wildcards. Pure functions: no
// state, no I/O; safe on any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sieveharbor::lists {

// Why a line, or one name on a line, gives no entry.
enum class Skip : std::uint8_t {
    boilerplate,      // localhost and its kin, as every hosts file lists them
    redirect,         // a name answered with a real address: it resolves, so it is not blocked
    forwarding,       // dnsmasq server=/x/ADDR: the name is sent to another resolver
    transparentZone,  // an unbound zone whose type lets the name resolve
    cosmetic,         // adblock element hiding: nothing to do with DNS
    urlRule,          // an adblock rule on URLs or parts of them, not on a whole host
    otherOptions,     // ||host^ limited to some requests ($script, $domain=, $badfilter, ...)
    regex,            // an adblock /regular expression/
    address,          // a bare IP address
    exception,        // an adblock @@ exception
    badName,          // text that is no domain name
    lineTooLong,      // a line longer than any rule, left unread
    unrecognised,     // none of the formats
};
inline constexpr std::size_t kSkipReasons = static_cast<std::size_t>(Skip::unrecognised) + 1;

// A short phrase for the summary: "cosmetic filters", "bare IP addresses", ...
std::string_view describe(Skip reason) noexcept;

enum class LineKind : std::uint8_t { names, comment, skipped };

struct Line {
    LineKind kind = LineKind::comment;  // comment stands for blank lines and headers too
    Skip skip = Skip::unrecognised;     // when skipped
    // When names: the raw names, as written, separated by `separator` (' ' also means tab).
    std::string_view names;
    char separator = ' ';
};

// What one line holds. `line` is without its line feed; a CR before it, a byte-order mark at its
// start and blanks (tab and the space separators) at either end are ignored. The views in the
// result point into `line`.
Line recogniseLine(std::string_view line) noexcept;

// Takes the next raw name off the front of a Line's names; empty once none is left.
std::string_view takeName(std::string_view& names, char separator) noexcept;

// What a raw name gives: nothing skipped means it is an entry, written to `entry` in the form the
// loader keeps (lower case, NFC, no trailing dot; text beyond ASCII first through IDNA's mapping);
// widened when a leading "*." was dropped, since an entry blocks the names beneath it anyway.
struct NameVerdict {
    std::optional<Skip> skipped;
    bool widened = false;
};
NameVerdict normaliseName(std::string_view raw, std::string& entry);

}  // namespace sieveharbor::lists

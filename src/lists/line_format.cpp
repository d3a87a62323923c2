#include "lists/line_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <tuple>

#include "text/line_rules.h"
#include "text/text.h"

namespace sieveharbor::lists {
namespace {

using namespace std::string_view_literals;

constexpr std::size_t kMaxAsciiName = 253;
constexpr std::size_t kMaxLabel = 63;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array<std::string_view, 4> kSinkholes = {"0.0.0.0", "127.0.0.1", "::", "::1"};

Line names(std::string_view names, char separator = ' ') {
    return {LineKind::names, Skip::unrecognised, names, separator};
}
Line skipped(Skip reason) {
    return {LineKind::skipped, reason, {}, ' '};
}
Line comment() {
    return {};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return text::asciiLower(x) == text::asciiLower(y);
           });
}

bool isOneOf(std::string_view word, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

// The first field and what follows it, split at the first run of blanks.
std::pair<std::string_view, std::string_view> firstField(std::string_view line) {
    const auto end = std::min(line.find_first_of(" \t"), line.size());
    const auto rest = line.substr(end);
    return {line.substr(0, end), rest.substr(std::min(rest.find_first_not_of(" \t"), rest.size()))};
}

// The line up to a "#" that follows a blank: hosts files, domain lists and unbound put comments
// there.
std::string_view withoutTrailingComment(std::string_view line) {
    for (std::size_t at = line.find('#'); at != std::string_view::npos;
         at = line.find('#', at + 1)) {
        if (at > 0 && isBlank(line[at - 1])) {
            return text::trimWhitespace(line.substr(0, at));
        }
    }
    return line;
}

// The length of an element-hiding marker at the start of `s` ("##", "#@#", "#?#", "#$#",
// "#@$?#", ...), or 0.
std::size_t cosmeticMarkerLength(std::string_view s) {
    std::size_t i = 1;
    if (i < s.size() && s[i] == '@') {
        ++i;
    }
    for (int kind = 0; kind < 2 && i < s.size() && (s[i] == '?' || s[i] == '$' || s[i] == '%');
         ++kind) {
        ++i;
    }
    return i < s.size() && s[i] == '#' ? i + 1 : 0;
}

// An element-hiding rule: a marker followed by a selector. "## section" and "#####" in a hosts
// file are comments: a selector starts with neither a blank nor a "#" that names no id.
bool isCosmetic(std::string_view line) {
    const auto at = line.find('#');
    if (at == std::string_view::npos) {
        return false;
    }
    const auto marker = cosmeticMarkerLength(line.substr(at));
    if (marker == 0) {
        return false;
    }
    const auto selector = line.substr(at + marker);
    if (selector.empty() || isBlank(selector[0])) {
        return false;
    }
    return selector[0] != '#' ||
           (selector.size() > 1 && selector[1] != '#' && !isBlank(selector[1]));
}

// The numeric form of an address, in `v6` (IPv4 mapped as ::ffff:a.b.c.d); false for text that
// is no address.
bool parseAddress(std::string_view text, in6_addr& v6) {
    // An IPv6 zone ("fe80::1%lo0") names an interface, not part of the address.
    text = text.substr(0, text.find('%'));
    char buffer[INET6_ADDRSTRLEN + 1] = {};
    if (text.empty() || text.size() >= sizeof buffer) {
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    in_addr v4{};
    if (::inet_pton(AF_INET, buffer, &v4) == 1) {
        v6 = in6_addr{};
        v6.s6_addr[10] = v6.s6_addr[11] = 0xFF;
        std::memcpy(&v6.s6_addr[12], &v4, 4);
        return true;
    }
    return ::inet_pton(AF_INET6, buffer, &v6) == 1;
}

// The addresses that lead nowhere, as hosts files use them to block: 0.0.0.0, 127.0.0.1, :: and
// ::1, however written.
bool isSinkhole(std::string_view text) {
    if (text == "0.0.0.0" || text == "127.0.0.1") {
        return true;  // nearly every line of a big hosts file
    }
    in6_addr address{};
    if (!parseAddress(text, address)) {
        return false;
    }
    return std::any_of(kSinkholes.begin(), kSinkholes.end(), [&address](std::string_view sinkhole) {
        in6_addr known{};
        return parseAddress(sinkhole, known) && std::memcmp(&known, &address, sizeof known) == 0;
    });
}

bool isBoilerplate(std::string_view name) {
    for (const auto usual : {"localhost"sv, "localhost.localdomain"sv, "local"sv, "broadcasthost"sv,
                             "0.0.0.0"sv, "localhost4"sv, "localhost4.localdomain4"sv,
                             "localhost6"sv, "localhost6.localdomain6"sv}) {
        if (equalsIgnoringCase(name, usual)) {
            return true;
        }
    }
    // ip6-localhost, ip6-loopback, ip6-allnodes, ...
    return name.size() > 4 && equalsIgnoringCase(name.substr(0, 4), "ip6-") &&
           name.find('.') == std::string_view::npos;
}

// A hosts line: an address, then names. The whole line is boilerplate when every name is, what
// the address may be ("255.255.255.255 broadcasthost", "fe80::1%lo0 localhost").
std::optional<Line> hostsLine(std::string_view line) {
    const auto [address, rest] = firstField(line);
    in6_addr ignored{};
    if (rest.empty() || !(isSinkhole(address) || parseAddress(address, ignored))) {
        return std::nullopt;
    }
    bool allBoilerplate = true;
    for (std::string_view left = rest; allBoilerplate && !left.empty();) {
        allBoilerplate = isBoilerplate(takeName(left, ' '));
    }
    return allBoilerplate || isSinkhole(address) ? names(rest) : skipped(Skip::redirect);
}

// "||host^", with no options or only those that keep the whole host blocked.
Line adblockRule(std::string_view rule) {
    const auto host = rule.substr(0, std::min(rule.find_first_of("^$/|:?=&"), rule.size()));
    const auto tail = rule.substr(host.size());
    const bool wholeHost = !host.empty() && tail.starts_with('^') &&
                           host.find('*', host.starts_with("*.") ? 2 : 0) == std::string_view::npos;
    if (!wholeHost) {
        return skipped(Skip::urlRule);
    }
    auto options = tail.substr(1);
    if (options.empty()) {
        return names(host);
    }
    if (!options.starts_with('$')) {
        return skipped(Skip::urlRule);
    }
    options.remove_prefix(1);
    // Rules for some requests only, or ones that undo others ($badfilter), must not block a name.
    while (true) {
        const auto comma = options.find(',');
        if (!isOneOf(options.substr(0, comma),
                     {"third-party", "3p", "important", "all", "document", "doc"})) {
            return skipped(Skip::otherOptions);
        }
        if (comma == std::string_view::npos) {
            return names(host);
        }
        options.remove_prefix(comma + 1);
    }
}

// dnsmasq "address=/a/b/TARGET" and "server=/a/b/TARGET" ("local=" is server's other name); the
// body is what follows the first "/".
Line dnsmasqLine(std::string_view body, bool server) {
    const auto last = body.rfind('/');
    if (last == std::string_view::npos || last == 0) {
        return skipped(Skip::unrecognised);
    }
    const auto target = body.substr(last + 1);
    if (server) {
        // No server: dnsmasq answers the names itself, from nothing. "#" or an address forwards.
        return target.empty() ? names(body.substr(0, last), '/') : skipped(Skip::forwarding);
    }
    const bool blocks = target.empty() || target == "#" || isSinkhole(target);
    return blocks ? names(body.substr(0, last), '/') : skipped(Skip::redirect);
}

// unbound `local-zone: "name" type`; the body is what follows the colon.
Line unboundZone(std::string_view body) {
    body = text::trimWhitespace(body);
    std::string_view name;
    std::string_view type;
    if (body.starts_with('"')) {
        const auto close = body.find('"', 1);
        if (close == std::string_view::npos) {
            return skipped(Skip::unrecognised);
        }
        name = body.substr(1, close - 1);
        type = text::trimWhitespace(body.substr(close + 1));
    } else {
        std::tie(name, type) = firstField(body);
    }
    if (name.empty() || name.find_first_of(" \t") != std::string_view::npos) {
        return skipped(Skip::badName);
    }
    if (isOneOf(type, {"always_nxdomain", "always_null", "always_refuse", "always_nodata", "refuse",
                       "deny", "static", "inform_deny"})) {
        return names(name);
    }
    if (isOneOf(type, {"transparent", "typetransparent", "always_transparent", "inform",
                       "nodefault", "noview"})) {
        return skipped(Skip::transparentZone);
    }
    if (isOneOf(type, {"redirect", "inform_redirect"})) {
        return skipped(Skip::redirect);
    }
    return skipped(Skip::unrecognised);
}

// A domain name in canonical form: labels of letters, digits, "-" and "_" (any non-ASCII
// character but blanks and line ends, which the loader would split or trim), none empty, none
// starting with "-" or ending with "-" or "_", and no "_" in the last (no top-level domain has
// one): adblock lists are full of fragments such as "-ad-banner-" and "_728x90." that must not
// become entries.
bool isDomainName(std::string_view name) {
    const bool ascii = text::isAscii(name);
    if (name.empty() || (ascii && name.size() > kMaxAsciiName)) {
        return false;
    }
    std::size_t labelStart = 0;
    bool labelAscii = true;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            const auto label = name.substr(labelStart, i - labelStart);
            const bool last = i == name.size();
            if (label.empty() || label.front() == '-' || label.back() == '-' ||
                label.back() == '_' || (labelAscii && label.size() > kMaxLabel) ||
                (last && label.find('_') != std::string_view::npos)) {
                return false;
            }
            labelStart = i + 1;
            labelAscii = true;
            continue;
        }
        const char c = name[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            labelAscii = false;
            if (text::newlineLengthAt(name, i) != 0 || text::whitespaceLengthAt(name, i) != 0) {
                return false;
            }
        } else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string_view describe(Skip reason) noexcept {
    switch (reason) {
        case Skip::boilerplate:
            return "localhost and other boilerplate names";
        case Skip::redirect:
            return "names pointed at a real address";
        case Skip::forwarding:
            return "names forwarded to a server";
        case Skip::transparentZone:
            return "zones that let names resolve";
        case Skip::cosmetic:
            return "cosmetic filters";
        case Skip::urlRule:
            return "URL rules";
        case Skip::otherOptions:
            return "host rules with other options";
        case Skip::regex:
            return "regular expressions";
        case Skip::address:
            return "bare IP addresses";
        case Skip::exception:
            return "exception rules";
        case Skip::badName:
            return "text that is no domain name";
        case Skip::lineTooLong:
            return "lines too long to be a rule";
        case Skip::unrecognised:
            break;
    }
    return "unrecognised lines";
}

Line recogniseLine(std::string_view line) noexcept {
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    // At the start of a file, or of each file that was joined to others with cat.
    if (line.starts_with(kByteOrderMark)) {
        line.remove_prefix(kByteOrderMark.size());
    }
    line = text::trimWhitespace(line);
    if (line.empty() || line.front() == '!' || line == "server:" ||
        (line.front() == '[' && line.back() == ']')) {
        return comment();  // adblock comments and headers, unbound's clause line
    }
    if (line.front() == '#') {
        return isCosmetic(line) ? skipped(Skip::cosmetic) : comment();
    }
    if (line.starts_with("@@")) {
        return skipped(Skip::exception);
    }
    if (line.front() == '$') {
        return skipped(Skip::otherOptions);  // "$csp=...,domain=x": options for any URL
    }
    if (line.starts_with("||")) {
        return adblockRule(line.substr(2));
    }
    line = withoutTrailingComment(line);
    if (auto hosts = hostsLine(line)) {
        return *hosts;
    }
    if (isCosmetic(line)) {
        return skipped(Skip::cosmetic);
    }
    for (const auto& [key, server] : {std::pair{"address="sv, false}, std::pair{"server="sv, true},
                                      std::pair{"local="sv, true}}) {
        if (line.starts_with(key)) {
            const auto value = line.substr(key.size());
            if (value.starts_with('/')) {
                return dnsmasqLine(value.substr(1), server);
            }
            return skipped(server ? Skip::forwarding : Skip::unrecognised);  // server=ADDR
        }
    }
    if (line.starts_with("local-zone:")) {
        return unboundZone(line.substr("local-zone:"sv.size()));
    }
    if (line.starts_with("local-data:") || line.starts_with("local-data-ptr:")) {
        return skipped(Skip::redirect);
    }
    if (line.front() == '/') {
        // "/banner[0-9]+/" or "/ad\.js/$script": a regular expression; "/ads/*" a path.
        const auto options = line.rfind("/$");
        const auto body = options == std::string_view::npos ? line : line.substr(0, options + 1);
        return skipped(body.size() > 1 && body.ends_with('/') ? Skip::regex : Skip::urlRule);
    }
    if (line.find_first_of(" \t") != std::string_view::npos) {
        return skipped(Skip::unrecognised);
    }
    // One word: a CIDR block or an address, a URL pattern, or a name.
    in6_addr ignored{};
    if (parseAddress(line.substr(0, line.find('/')), ignored)) {
        return skipped(Skip::address);
    }
    if (line.find_first_of("/^|$*?&=:%", line.starts_with("*.") ? 2 : 0) !=
        std::string_view::npos) {
        return skipped(Skip::urlRule);
    }
    return names(line);
}

std::string_view takeName(std::string_view& names, char separator) noexcept {
    const auto isSeparator = [separator](char c) {
        return c == separator || (separator == ' ' && c == '\t');
    };
    std::size_t start = 0;
    while (start < names.size() && isSeparator(names[start])) {
        ++start;
    }
    std::size_t end = start;
    while (end < names.size() && !isSeparator(names[end])) {
        ++end;
    }
    const auto name = names.substr(start, end - start);
    names.remove_prefix(end);
    return name;
}

NameVerdict normaliseName(std::string_view raw, std::string& entry) {
    NameVerdict verdict;
    if (raw.starts_with("*.")) {
        raw.remove_prefix(2);
        verdict.widened = true;
    }
    if (raw.ends_with('.')) {
        raw.remove_suffix(1);
    }
    if (text::isAscii(raw)) {
        entry.assign(raw);
        text::asciiLowerInPlace(entry);
    } else if (const auto unicode = text::idnaToUnicode(raw)) {
        // IDNA's mapping drops what cannot be seen (a byte-order mark, a zero-width space) and
        // folds what only looks different (full-width letters): the entry is the name clients
        // mean, and the same entry however it was typed. A name IDNA refuses is none.
        entry = text::canonicalLower(*unicode);
    } else {
        verdict.skipped = Skip::badName;
        return verdict;
    }
    in6_addr ignored{};
    if (isBoilerplate(entry)) {
        verdict.skipped = Skip::boilerplate;
    } else if (parseAddress(entry, ignored)) {
        verdict.skipped = Skip::address;
    } else if (!isDomainName(entry)) {
        verdict.skipped = Skip::badName;
    }
    return verdict;
}

}  // namespace sieveharbor::lists

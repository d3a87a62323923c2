#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket_address.h"

namespace sieveharbor::platform {

// How queries reach an upstream. Plain: UDP, and TCP for a client that asked over TCP. TLS: DNS
// over TLS (RFC 7858), one long-lived connection carrying the queries of every client.
enum class UpstreamTransport : std::uint8_t { plain, tls };

inline constexpr std::uint16_t kDnsOverTlsPort = 853;

// One resolver that relayed queries may go to. A value: parsed once where it enters (the command
// line, the saved configuration), then copied.
struct Upstream {
    SocketAddress address;
    UpstreamTransport transport = UpstreamTransport::plain;
    // TLS: the name the certificate must hold, and that is sent as SNI; empty: the certificate
    // must hold the address.
    std::string tlsName{};

    bool tls() const noexcept { return transport == UpstreamTransport::tls; }
    // "1.1.1.3:53", "[2606:4700:4700::1113]:53" or "tls://1.1.1.3:853#family.cloudflare-dns.com":
    // how messages and counters name it, and the form --upstream reads back.
    std::string text() const;
    friend bool operator==(const Upstream&, const Upstream&) = default;
};

// The upstreams in order of preference: while the first answers, every relayed query goes to it.
// Never empty where it is used.
using UpstreamList = std::vector<Upstream>;

// Either an upstream or why the text is not one (a phrase for a message).
struct ParsedUpstream {
    std::optional<Upstream> upstream;
    std::string error;
};

// "ADDR[:PORT]" (plain DNS, port 53 unless given) or "tls://ADDR[:PORT][#NAME]" (DNS over TLS,
// port 853 unless given, NAME a host name): ADDR a numeric IPv4 address, or IPv6 in brackets,
// PORT from 1 to 65535. Pure.
ParsedUpstream parseUpstream(std::string_view text);

// A whole list, each entry as parseUpstream reads it: the list, or why it cannot be used (no
// entry, or an entry that is no upstream, named). Pure.
struct ParsedUpstreamList {
    std::optional<UpstreamList> upstreams;
    std::string error;
};
ParsedUpstreamList parseUpstreamList(std::span<const std::string> texts);

}  // namespace sieveharbor::platform

#include "platform/upstream.h"

#include <algorithm>
#include <cctype>

#include "cli/option_parser.h"

namespace sieveharbor::platform {

namespace {

constexpr std::string_view kTlsScheme = "tls://";

// Letters, digits and hyphens in labels of 1 to 63 characters, no hyphen at either end of one,
// 253 characters at most: what a certificate's DNS name can be (RFC 1123), a trailing dot left
// out.
bool isHostName(std::string_view name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto dot = name.find('.', start);
        const auto label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        const bool wellFormed =
            !label.empty() && label.size() <= 63 && label.front() != '-' && label.back() != '-' &&
            std::all_of(label.begin(), label.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
            });
        if (!wellFormed) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        start = dot + 1;
    }
    return false;
}

}  // namespace

std::string Upstream::text() const {
    if (!tls()) {
        return address.text();
    }
    return std::string(kTlsScheme) + address.text() + (tlsName.empty() ? "" : "#" + tlsName);
}

ParsedUpstream parseUpstream(std::string_view text) {
    const auto shapes =
        "an upstream is ADDR[:PORT] or tls://ADDR[:PORT][#NAME], with IPv6 as [ADDR]";
    if (text.empty()) {
        return {std::nullopt, shapes};
    }
    auto transport = UpstreamTransport::plain;
    std::string tlsName;
    std::uint16_t defaultPort = kDnsPort;
    if (text.starts_with(kTlsScheme)) {
        text.remove_prefix(kTlsScheme.size());
        transport = UpstreamTransport::tls;
        defaultPort = kDnsOverTlsPort;
        if (const auto hash = text.find('#'); hash != std::string_view::npos) {
            const auto name = text.substr(hash + 1);
            if (name.empty()) {
                return {std::nullopt,
                        "no NAME after '#': give the name the resolver's "
                        "certificate holds, or leave out the '#'"};
            }
            if (!isHostName(name)) {
                return {std::nullopt, cli::quoted(name) + " is not a host name"};
            }
            tlsName = std::string(name);
            text = text.substr(0, hash);
        }
        if (text.empty()) {
            return {std::nullopt, "no address after 'tls://': " + std::string(shapes)};
        }
    } else if (const auto scheme = text.find("://"); scheme != std::string_view::npos) {
        return {std::nullopt,
                "no transport " + cli::quoted(text.substr(0, scheme + 3)) + ": " + shapes};
    }
    auto parsed = parseSocketAddress(text, defaultPort);
    if (!parsed.address) {
        return {std::nullopt, std::move(parsed.error)};
    }
    return {Upstream{*parsed.address, transport, std::move(tlsName)}, {}};
}

ParsedUpstreamList parseUpstreamList(std::span<const std::string> texts) {
    if (texts.empty()) {
        return {std::nullopt, "no upstream is named"};
    }
    UpstreamList list;
    for (const auto& text : texts) {
        auto parsed = parseUpstream(text);
        if (!parsed.upstream) {
            return {std::nullopt, cli::quoted(text) + ": " + parsed.error};
        }
        list.push_back(std::move(*parsed.upstream));
    }
    return {std::move(list), {}};
}

}  // namespace sieveharbor::platform

#include "platform/upstream.h"

#include "cli/option_parser.h"

namespace sieveharbor::platform {

ParsedUpstream parseUpstream(std::string_view text) {
    if (text.empty()) {
        return {std::nullopt, "an upstream is ADDR[:PORT], with IPv6 as [ADDR]:PORT"};
    }
    if (const auto scheme = text.find("://"); scheme != std::string_view::npos) {
        return {std::nullopt, "no transport " + cli::quoted(text.substr(0, scheme + 3)) +
                                  ": an upstream is ADDR[:PORT], plain DNS"};
    }
    auto parsed = parseSocketAddress(text, kDnsPort);
    if (!parsed.address) {
        return {std::nullopt, std::move(parsed.error)};
    }
    return {Upstream{*parsed.address}, {}};
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

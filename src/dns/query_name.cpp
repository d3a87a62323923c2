#include "dns/query_name.h"

#include <string_view>

#include "text/text.h"

namespace sieveharbor::dns {

std::optional<std::string> extractDomainName(ByteView datagram) {
    if (datagram.size() <= kHeaderSize) {
        return std::nullopt;
    }
    std::string name;
    std::size_t pos = kHeaderSize;
    while (pos < datagram.size()) {
        const std::size_t length = datagram[pos];
        if (length == 0) {
            break;
        }
        const std::size_t end = pos + 1 + length;
        if (end > datagram.size()) {
            return std::nullopt;
        }
        const std::string_view label(reinterpret_cast<const char*>(datagram.data() + pos + 1),
                                     length);
        if (text::isWellFormedUtf8(label)) {
            if (!name.empty()) {
                name.push_back('.');
            }
            name.append(label);
        }
        pos = end;
    }
    if (name.empty()) {
        return std::nullopt;
    }
    if (text::isAscii(name)) {
        text::asciiLowerInPlace(name);
        return name;
    }
    return text::toLower(name);
}

}  // namespace sieveharbor::dns

#include "dns/query_name.h"

#include <string_view>

#include "text/text.h"

namespace sieveharbor::dns {

std::optional<std::string> extractDomainName(ByteView datagram) {
    std::string name;
    if (!extractDomainNameInto(datagram, name)) {
        return std::nullopt;
    }
    return name;
}

bool extractDomainNameInto(ByteView datagram, std::string& name) {
    name.clear();
    if (datagram.size() <= kHeaderSize) {
        return false;
    }
    std::size_t pos = kHeaderSize;
    while (pos < datagram.size()) {
        const std::size_t length = datagram[pos];
        if (length == 0) {
            break;
        }
        const std::size_t end = pos + 1 + length;
        if (end > datagram.size()) {
            return false;
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
        return false;
    }
    if (text::isAscii(name)) {
        text::asciiLowerInPlace(name);
    } else {
        name = text::toLower(name);
    }
    return true;
}

}  // namespace sieveharbor::dns

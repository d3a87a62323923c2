#pragma once

// Builders of query bytes for the DNS tests.

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "dns/datagram.h"

namespace sieveharbor::dns::testing {

// A 12-byte header with the given ID and QDCOUNT, flags RD, other counts zero.
inline Datagram header(std::uint16_t id = 0x1234, std::uint16_t qdcount = 1) {
    const auto high = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
    const auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v); };
    return {high(id), low(id), 0x01, 0x00, high(qdcount), low(qdcount), 0, 0, 0, 0, 0, 0};
}

inline void appendLabel(Datagram& d, std::string_view label) {
    d.push_back(static_cast<std::uint8_t>(label.size()));
    d.insert(d.end(), label.begin(), label.end());
}

inline void appendBytes(Datagram& d, std::initializer_list<std::uint8_t> bytes) {
    d.insert(d.end(), bytes.begin(), bytes.end());
}

// A whole query: header, the labels, the zero byte, QTYPE and QCLASS.
inline Datagram query(std::initializer_list<std::string_view> labels, std::uint16_t qtype = 1,
                      std::uint16_t qclass = 1, std::uint16_t id = 0x1234) {
    Datagram d = header(id);
    for (auto label : labels) {
        appendLabel(d, label);
    }
    appendBytes(d, {0x00, static_cast<std::uint8_t>(qtype >> 8), static_cast<std::uint8_t>(qtype),
                    static_cast<std::uint8_t>(qclass >> 8), static_cast<std::uint8_t>(qclass)});
    return d;
}

}  // namespace sieveharbor::dns::testing

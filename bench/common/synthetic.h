#pragma once

// Deterministic synthetic names for the benchmarks: a fixed seed gives the same data every run.

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::bench {

// Names of `labels` labels, 2..5 letters each: 10 to 30 characters for 2 to 5 labels, like the
// host names on real lists.
inline std::string randomName(std::mt19937_64& rng, int labels) {
    std::string name;
    for (int i = 0; i < labels; ++i) {
        if (i > 0) {
            name.push_back('.');
        }
        const int length = 2 + static_cast<int>(rng() % 4) + (labels == 2 ? 3 : 0);
        for (int k = 0; k < length; ++k) {
            name.push_back(static_cast<char>('a' + rng() % 26));
        }
    }
    return name;
}

// Names in fixed 32-byte records (a length byte, then up to 31 bytes): one cache line holds two,
// and a million std::strings would be a million heap blocks.
class NamePool {
  public:
    void add(std::string_view name) {
        Record& r = records_.emplace_back();
        r[0] = static_cast<char>(name.size());
        name.copy(r.data() + 1, r.size() - 1);
    }
    std::size_t size() const { return records_.size(); }
    std::string_view operator[](std::size_t i) const {
        return {records_[i].data() + 1, static_cast<std::size_t>(records_[i][0])};
    }
    const void* address(std::size_t i) const { return records_[i].data(); }

  private:
    using Record = std::array<char, 32>;
    std::vector<Record> records_;
};

// A query with ID `id`, flags RD, one question for `name` of type `qtype`, class IN.
inline dns::Datagram queryFor(std::string_view name, std::uint16_t id, std::uint16_t qtype = 1) {
    dns::Datagram q = {static_cast<std::uint8_t>(id >> 8),
                       static_cast<std::uint8_t>(id),
                       0x01,
                       0x00,
                       0x00,
                       0x01,
                       0x00,
                       0x00,
                       0x00,
                       0x00,
                       0x00,
                       0x00};
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        q.push_back(static_cast<std::uint8_t>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                 name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    q.insert(q.end(), {0x00, static_cast<std::uint8_t>(qtype >> 8),
                       static_cast<std::uint8_t>(qtype), 0x00, 0x01});
    return q;
}

}  // namespace sieveharbor::bench

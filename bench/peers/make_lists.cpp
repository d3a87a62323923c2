// Writes the benchmark's inputs, the same bytes on every run:
//   bench-make-lists synthetic N LIST        N distinct names, 2 to 5 labels, one per line
//   bench-make-lists queries LIST BLOCKED FORWARDED
//     BLOCKED: dnsperf input that hits LIST (listed names and names beneath them, A and AAAA)
//     FORWARDED: dnsperf input that no list touches (a hyphenated top label no list holds)

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/synthetic.h"

namespace {

constexpr std::size_t kQueryLines = 100000;

int writeSynthetic(long count, const char* path) {
    if (count <= 0) {
        std::cerr << "bench-make-lists: the count must be positive\n";
        return 2;
    }
    std::mt19937_64 rng(0x5eed0000u + static_cast<std::uint64_t>(count));
    std::unordered_set<std::string> seen;
    seen.reserve(static_cast<std::size_t>(count));
    std::ofstream out(path);
    out << "# synthetic benchmark list, " << count << " names\n";
    while (seen.size() < static_cast<std::size_t>(count)) {
        auto name = sieveharbor::bench::randomName(rng, 2 + static_cast<int>(rng() % 4));
        if (seen.insert(name).second) {
            out << name << '\n';
        }
    }
    out.flush();
    return out ? 0 : 1;
}

int writeQueries(const char* listPath, const char* blockedPath, const char* forwardedPath) {
    std::ifstream in(listPath);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            names.push_back(line);
        }
    }
    if (names.empty()) {
        std::cerr << "bench-make-lists: no names in " << listPath << "\n";
        return 1;
    }
    std::mt19937_64 rng(0x9e3779b9u);
    std::ofstream blocked(blockedPath);
    for (std::size_t i = 0; i < kQueryLines; ++i) {
        const auto& name = names[rng() % names.size()];
        // Half the names sit beneath a listed one, which costs the matchers a parent walk.
        const bool beneath = (i % 2) == 1;
        blocked << (beneath ? "www." : "") << name << ((i % 4) < 3 ? " A\n" : " AAAA\n");
    }
    std::ofstream forwarded(forwardedPath);
    for (std::size_t i = 0; i < kQueryLines; ++i) {
        forwarded << sieveharbor::bench::randomName(rng, 2 + static_cast<int>(rng() % 3))
                  << ".fwd-bench A\n";
    }
    blocked.flush();
    forwarded.flush();
    return blocked && forwarded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "synthetic" && argc == 4) {
        return writeSynthetic(std::strtol(argv[2], nullptr, 10), argv[3]);
    }
    if (mode == "queries" && argc == 5) {
        return writeQueries(argv[2], argv[3], argv[4]);
    }
    std::cerr << "usage: bench-make-lists synthetic N LIST | queries LIST BLOCKED FORWARDED\n";
    return 2;
}

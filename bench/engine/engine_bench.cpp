// Micro-benchmarks of the verdict engine on deterministic synthetic data.
//
//   cmake --preset release && cmake --build --preset release
//   build/release/bench/engine/sieveharbor-bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "blocklist/blocklist_text.h"
#include "blocklist/domain_set.h"
#include "blocklist/matching.h"
#include "common/synthetic.h"
#include "dns/blocked_response.h"
#include "dns/query_name.h"
#include "platform/linux/huge_pages.h"

namespace {

using namespace sieveharbor;

using bench::NamePool;
using bench::randomName;

constexpr std::size_t kPoolSize = 1'000'000;

struct Fixture {
    std::vector<std::string> entries;
    std::shared_ptr<const blocklist::DomainSet> set;
    NamePool blocked;     // names beneath (or equal to) an entry
    NamePool notBlocked;  // names that neither are nor lie beneath an entry
};

const Fixture& fixture(std::size_t entries) {
    static std::map<std::size_t, std::unique_ptr<Fixture>> cache;
    auto& slot = cache[entries];
    if (slot) {
        return *slot;
    }
    slot = std::make_unique<Fixture>();
    Fixture& f = *slot;
    std::mt19937_64 rng(entries);
    // The service's set: the same page advice as main gives the provider.
    blocklist::DomainSetBuilder builder(entries * 24, blocklist::DomainSet::kMaxArenaBytes,
                                        blocklist::DomainSetBuilder::randomSeed(),
                                        platform::linux_host::adviseHugePages);
    std::unordered_set<std::string> distinct;
    while (f.entries.size() < entries) {
        std::string entry = randomName(rng, 2 + static_cast<int>(rng() % 4));
        if (distinct.insert(entry).second) {
            builder.add(entry);
            f.entries.push_back(std::move(entry));
        }
    }
    f.set = std::make_shared<const blocklist::DomainSet>(std::move(builder).finish());
    while (f.notBlocked.size() < kPoolSize) {
        const std::string name = randomName(rng, 5);
        if (!blocklist::isNameBlocked(name, *f.set)) {
            f.notBlocked.add(name);
        }
    }
    for (std::size_t i = 0; i < kPoolSize; ++i) {
        const std::string& entry = f.entries[rng() % f.entries.size()];
        const auto labels = 1 + std::count(entry.begin(), entry.end(), '.');
        std::string name = labels < 5 ? randomName(rng, static_cast<int>(5 - labels)) + "." : "";
        f.blocked.add(name + entry);
    }
    return f;
}

// Each iteration judges a random name of the pool. The name is fetched a few iterations ahead,
// as a server's name is already in cache when it is judged; what remains is the set's own cost.
void lookup(benchmark::State& state, const NamePool Fixture::*pool) {
    const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
    const NamePool& names = f.*pool;
    std::uint64_t x = 88172645463325252ULL;
    auto nextIndex = [&] {
        x ^= x << 13;  // xorshift: a random pick costs a few cycles and no memory
        x ^= x >> 7;
        x ^= x << 17;
        // Multiply-shift instead of %: a 64-bit division would cost more than a small lookup.
        return static_cast<std::size_t>((static_cast<unsigned __int128>(x) * names.size()) >> 64);
    };
    constexpr std::size_t kAhead = 8;
    std::array<std::size_t, kAhead> upcoming{};
    for (auto& i : upcoming) {
        i = nextIndex();
    }
    std::size_t turn = 0;
    for (auto _ : state) {
        const std::size_t index = upcoming[turn];
        upcoming[turn] = nextIndex();
        __builtin_prefetch(names.address(upcoming[turn]));
        turn = (turn + 1) % kAhead;
        benchmark::DoNotOptimize(blocklist::isNameBlocked(names[index], *f.set));
    }
}

void BM_LookupNotBlocked(benchmark::State& state) {
    lookup(state, &Fixture::notBlocked);
}
void BM_LookupBlocked(benchmark::State& state) {
    lookup(state, &Fixture::blocked);
}
BENCHMARK(BM_LookupNotBlocked)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_LookupBlocked)->Arg(1000)->Arg(100000)->Arg(1000000);

// A mixed-case five-label question with an EDNS OPT record after it, as resolvers send them.
dns::Datagram sampleQuery(std::uint16_t qtype) {
    dns::Datagram q = bench::queryFor("tracker.Ads.cdn.Example.com", 0x1234, qtype);
    q[11] = 0x01;  // ARCOUNT
    q.insert(q.end(), {0x00, 0x00, 0x29, 0x04, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    return q;
}

void BM_ExtractDomainName(benchmark::State& state) {
    const dns::Datagram q = sampleQuery(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(dns::extractDomainName(q));
    }
}
BENCHMARK(BM_ExtractDomainName);

void BM_MakeBlockedResponse(benchmark::State& state) {
    const dns::Datagram q = sampleQuery(28);
    for (auto _ : state) {
        benchmark::DoNotOptimize(dns::makeBlockedResponse(q));
    }
}
BENCHMARK(BM_MakeBlockedResponse);

// Resident bytes of the process: the set's big arrays are mapped directly, so the heap's own
// statistics would not see them; residence also leaves out pages reserved but never touched.
std::size_t residentBytes() {
    std::size_t pages = 0;
    std::size_t resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%zu %zu", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

void BM_ParseBlocklist(benchmark::State& state) {
    const auto lines = static_cast<std::size_t>(state.range(0));
    std::mt19937_64 rng(lines);
    std::string text;
    for (std::size_t i = 0; i < lines; ++i) {
        if (i % 50 == 0) {
            text += "# section " + std::to_string(i) + "\n";
        }
        text += randomName(rng, 2 + static_cast<int>(rng() % 4));
        text += (i % 3 == 0) ? "\r\n" : "\n";
    }
    double bytesPerEntry = 0;
    for (auto _ : state) {
        malloc_trim(0);  // what earlier iterations freed must not count against this one
        const std::size_t before = residentBytes();
        const blocklist::DomainSet set =
            *blocklist::parseBlocklist(text, platform::linux_host::adviseHugePages);
        const std::size_t after = residentBytes();
        bytesPerEntry = static_cast<double>(after - before) / static_cast<double>(set.size());
        benchmark::DoNotOptimize(set.size());
    }
    state.counters["bytes_per_entry"] = bytesPerEntry;
}
BENCHMARK(BM_ParseBlocklist)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Dispatch of whole batches through the provider: 64 queries for blocked names, a million-entry
// list, a flow that only counts its writes. Reports nanoseconds per datagram.
//
//   build/release/bench/dispatch/sieveharbor-dispatch-bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)

#include <benchmark/benchmark.h>

#include <random>

#include "common/synthetic.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_flow.h"
#include "fakes/fake_host.h"
#include "fakes/fake_queue.h"
#include "platform/linux/huge_pages.h"
#include "provider/dns_proxy_provider.h"

namespace {

using namespace sieveharbor;

// Keeps the pending read and counts writes; recording every write would grow without bound.
class CountingFlow final : public platform::UdpFlow {
  public:
    std::size_t writes = 0;

    void completeRead(platform::DatagramBatch batch) {
        auto completion = std::move(read_);
        completion(std::move(batch), std::nullopt);
    }

    void openWithLocalEndpoint(OpenCompletion completion) override { completion(std::nullopt); }
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override {
        read_ = std::move(completion);
    }
    void writeDatagrams(platform::DatagramBatch /*datagrams*/,
                        WriteCompletion completion) override {
        ++writes;
        completion(std::nullopt);
    }
    void closeReadWithError(std::optional<platform::FlowError> /*error*/) override {}
    void closeWriteWithError(std::optional<platform::FlowError> /*error*/) override {}

  private:
    ReadCompletion read_;
};

void BM_DispatchBlockedBatch(benchmark::State& state) {
    const auto entries = static_cast<std::size_t>(state.range(0));
    constexpr std::size_t kBatch = 64;
    constexpr std::size_t kBatches = 4096;  // distinct names, so the set's misses are real

    std::mt19937_64 rng(entries);
    std::vector<std::string> listed;
    std::string text;
    for (std::size_t i = 0; i < entries; ++i) {
        listed.push_back(bench::randomName(rng, 2 + static_cast<int>(rng() % 4)));
        text += listed.back();
        text += '\n';
    }
    auto files = std::make_shared<fakes::FakeFileSystem>();
    files->write("/etc/blocklist.txt", std::move(text));
    provider::ProviderSettings settings;
    settings.fixedBlocklistPath = "/etc/blocklist.txt";
    settings.listPageAdvice = platform::linux_host::adviseHugePages;
    auto provider = provider::DNSProxyProvider::create(
        {std::make_shared<fakes::FakeQueue>(), std::make_shared<fakes::FakeConnectionFactory>(),
         std::make_shared<fakes::FakeNotificationCenter>(),
         std::make_shared<fakes::FakeConsoleUser>(), files,
         std::make_shared<fakes::FakeLoggerFactory>()},
        settings);
    provider->loadBlocklist();

    const auto client = fakes::endpoint("client");
    std::vector<platform::DatagramBatch> batches(kBatches);
    for (auto& batch : batches) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            batch.push_back({bench::queryFor("www." + listed[rng() % listed.size()],
                                             static_cast<std::uint16_t>(i)),
                             client});
        }
    }

    auto flow = std::make_shared<CountingFlow>();
    provider->handleNewFlow(flow);
    std::size_t next = 0;
    for (auto _ : state) {
        // The copy stands for the buffers a real read hands over; it is part of the cost.
        flow->completeRead(batches[next]);
        next = (next + 1) % kBatches;
    }
    if (flow->writes != state.iterations() * kBatch) {
        state.SkipWithError("not every query was answered");
    }
    // Seconds per datagram, printed with an SI prefix ("660n" is 660 ns).
    state.counters["per_datagram"] = benchmark::Counter(
        kBatch, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DispatchBlockedBatch)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

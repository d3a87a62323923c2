// Relay benchmark over loopback: a client keeps a window of queries outstanding against a real
// listener flow, which either relays each one through forwardQuery to an in-process stub upstream
// ("relay") or answers it itself ("direct", the listener's ceiling). Reports exchanges per second
// and the p50/p99 round trip seen by the client.
//
//   sieveharbor-relay-bench [--seconds S] [--window N]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/synthetic.h"
#include "fakes/loopback.h"
#include "flow/forward_query.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/listener_flow.h"
#include "platform/linux/loop_connection.h"

namespace {

using namespace sieveharbor;
using Clock = std::chrono::steady_clock;
using platform::linux_host::ListenerFlow;
using platform::linux_host::LoopConnectionFactory;
using platform::linux_host::LoopPool;

struct Settings {
    double seconds = 2.0;
    std::size_t window = 32;
};

struct Result {
    std::size_t exchanges = 0;
    std::size_t lost = 0;
    double seconds = 0;
    std::vector<double> roundTripsUs;
};

// A query for "bench.example" A; the first two bytes carry a sequence number.
dns::Datagram makeQuery(std::uint16_t id) {
    return bench::queryFor("bench.example", id);
}

// Closed loop: window queries in flight, each answer (or a 200 ms silence) sends the next.
Result drive(std::uint16_t port, const Settings& settings) {
    fakes::LoopbackSocket client;
    std::array<Clock::time_point, 65536> sentAt{};
    std::array<bool, 65536> outstanding{};
    std::uint16_t next = 0;
    Result result;
    result.roundTripsUs.reserve(1 << 20);
    const auto send = [&] {
        const std::uint16_t id = next++;
        sentAt[id] = Clock::now();
        outstanding[id] = true;
        client.sendTo(port, makeQuery(id));
    };
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(settings.seconds);
    for (std::size_t i = 0; i < settings.window; ++i) {
        send();
    }
    while (Clock::now() < end) {
        auto reply = client.receive(std::chrono::milliseconds(200));
        if (!reply || reply->bytes.size() < 2) {
            // Count what went missing and start the window again.
            result.lost +=
                static_cast<std::size_t>(std::count(outstanding.begin(), outstanding.end(), true));
            outstanding.fill(false);
            for (std::size_t i = 0; i < settings.window; ++i) {
                send();
            }
            continue;
        }
        const auto id = static_cast<std::uint16_t>(reply->bytes[0] << 8 | reply->bytes[1]);
        if (!outstanding[id]) {
            continue;
        }
        outstanding[id] = false;
        const auto rtt = std::chrono::duration<double, std::micro>(Clock::now() - sentAt[id]);
        result.roundTripsUs.push_back(rtt.count());
        ++result.exchanges;
        send();
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

// Reads the listener for as long as it lives, handing each datagram to handle.
template <typename Handle>
void serve(const std::shared_ptr<ListenerFlow>& listener, Handle handle) {
    listener->readDatagramsWithCompletionHandler(
        [listener, handle](std::optional<platform::DatagramBatch> batch,
                           std::optional<platform::FlowError> error) {
            if (error || !batch) {
                return;
            }
            for (auto& [datagram, endpoint] : *batch) {
                handle(datagram, endpoint);
            }
            serve(listener, handle);
        });
}

Result runDirect(const Settings& settings) {
    LoopPool pool;
    auto listener = ListenerFlow::bind(pool, *platform::SocketAddress::parse("127.0.0.1", 0)).flow;
    serve(listener, [weak = std::weak_ptr<ListenerFlow>(listener)](dns::Datagram& query,
                                                                   platform::Endpoint& endpoint) {
        if (auto flow = weak.lock()) {
            flow->writeDatagrams({{*fakes::StubUpstream::answer(query), endpoint}}, nullptr);
        }
    });
    auto result = drive(listener->port(), settings);
    listener->closeReadWithError(std::nullopt);
    listener->stop();
    pool.stop();
    return result;
}

// Writes an exchange's reply back to the client that asked, as a UDP flow does.
class ReplyToClient final : public flow::ExchangeOwner {
  public:
    ReplyToClient(std::shared_ptr<ListenerFlow> flow, platform::Endpoint endpoint)
        : flow_(std::move(flow)), endpoint_(std::move(endpoint)) {}
    void exchangeEnded(std::optional<std::vector<std::uint8_t>> reply) override {
        if (reply) {
            flow_->writeDatagrams({{std::move(*reply), endpoint_}}, nullptr);
        }
    }

  private:
    std::shared_ptr<ListenerFlow> flow_;
    platform::Endpoint endpoint_;
};

Result runRelay(const Settings& settings) {
    fakes::StubUpstream upstream(fakes::StubUpstream::answer, fakes::Family::v4, false);
    auto pool = std::make_shared<LoopPool>();
    flow::ForwardContext context(
        std::make_shared<LoopConnectionFactory>(pool), pool, std::make_shared<metrics::Counters>(),
        flow::RelaySettings({{*platform::SocketAddress::parse("127.0.0.1", upstream.port())}}));
    auto listener = ListenerFlow::bind(*pool, *platform::SocketAddress::parse("127.0.0.1", 0)).flow;
    serve(listener, [&context, weak = std::weak_ptr<ListenerFlow>(listener)](
                        dns::Datagram& query, platform::Endpoint& endpoint) {
        if (auto flow = weak.lock()) {
            flow::forwardQuery(context, platform::Transport::datagram, std::move(query),
                               std::make_shared<ReplyToClient>(flow, endpoint));
        }
    });
    auto result = drive(listener->port(), settings);
    listener->closeReadWithError(std::nullopt);
    // Let the last exchanges end before the context goes.
    const auto deadline = Clock::now() + std::chrono::seconds(6);
    while (context.inFlight() > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    listener->stop();
    pool->stop();
    return result;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

void report(const char* name, Result result) {
    const double rate = static_cast<double>(result.exchanges) / result.seconds;
    const double p50 = percentile(result.roundTripsUs, 0.50);
    const double p99 = percentile(result.roundTripsUs, 0.99);
    std::printf(
        "%-7s %10.0f exchanges/s   p50 %8.1f us   p99 %8.1f us   (%zu exchanges, %zu lost)\n", name,
        rate, p50, p99, result.exchanges, result.lost);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            settings.seconds = std::atof(argv[++i]);
        } else if (arg == "--window" && i + 1 < argc) {
            settings.window = static_cast<std::size_t>(std::atol(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--window N]\n", argv[0]);
            return 2;
        }
    }
    if (settings.seconds <= 0 || settings.window == 0 || settings.window > 4096) {
        std::fprintf(stderr, "--seconds must be positive and --window between 1 and 4096\n");
        return 2;
    }
    std::printf("relay benchmark over loopback: window %zu, %.1f s per mode\n", settings.window,
                settings.seconds);
    report("relay", runRelay(settings));
    report("direct", runDirect(settings));
    return 0;
}

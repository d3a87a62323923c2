#pragma once

// A provider wired to fakes of every seam, with helpers to feed it flows and blocklists.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dns/wire.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_flow.h"
#include "fakes/fake_host.h"
#include "fakes/fake_queue.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider::testing {

// Where the console user's list is, as the fake console user answers by default.
inline const std::string kUserListPath = "/Users/user1/blocklist.txt";

struct Harness {
    std::shared_ptr<fakes::FakeQueue> queue = std::make_shared<fakes::FakeQueue>();
    std::shared_ptr<fakes::FakeConnectionFactory> connections =
        std::make_shared<fakes::FakeConnectionFactory>();
    std::shared_ptr<fakes::FakeNotificationCenter> notifications =
        std::make_shared<fakes::FakeNotificationCenter>();
    std::shared_ptr<fakes::FakeConsoleUser> consoleUser =
        std::make_shared<fakes::FakeConsoleUser>(kUserListPath);
    std::shared_ptr<fakes::FakeFileSystem> files = std::make_shared<fakes::FakeFileSystem>();
    std::shared_ptr<fakes::FakeLoggerFactory> loggers =
        std::make_shared<fakes::FakeLoggerFactory>();
    std::shared_ptr<DNSProxyProvider> provider;

    explicit Harness(ProviderSettings settings = {}) {
        provider = DNSProxyProvider::create(
            {queue, connections, notifications, consoleUser, files, loggers}, std::move(settings));
    }

    // Writes the console user's list and loads it.
    void useList(std::string text) {
        files->write(kUserListPath, std::move(text));
        provider->loadBlocklist();
    }

    // A flow handed to the provider, taken and opened: its first read is pending.
    template <class Flow = fakes::FakeUdpFlow>
    std::shared_ptr<Flow> open() {
        auto flow = std::make_shared<Flow>();
        EXPECT_TRUE(provider->handleNewFlow(flow));
        EXPECT_TRUE(flow->completeOpen());
        queue->runUntilIdle();
        // A pending read holds its flow while the flow holds the read, as on the platform.
        ends.push_back([this, flow] {
            const auto canceled = std::make_error_code(std::errc::operation_canceled);
            while (flow->completeRead({}, canceled)) {
                queue->runUntilIdle();
            }
        });
        return flow;
    }

    // An exchange and its connection hold each other until the exchange ends: letting every
    // exchange time out and failing every read ends them all, so nothing outlives the test.
    ~Harness() {
        queue->runUntilIdle();
        queue->advance(flow::kReplyTimeout);
        for (const auto& end : ends) {
            end();
        }
    }

    std::vector<std::function<void()>> ends;
};

// Each datagram from the test client of the same place among labels.
inline platform::DatagramBatch batch(const std::vector<dns::Datagram>& datagrams,
                                     std::initializer_list<std::string_view> labels) {
    platform::DatagramBatch out;
    auto label = labels.begin();
    for (const auto& datagram : datagrams) {
        out.push_back({datagram, fakes::endpoint(*label++)});
    }
    return out;
}

}  // namespace sieveharbor::provider::testing

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dns/blocked_response.h"
#include "harness.h"

namespace sieveharbor::provider {
namespace {

using dns::testing::query;
using testing::batch;
using testing::Harness;
using testing::kUserListPath;

// Two flows are dispatched on their own threads while a third thread reloads the list again and
// again, alternating two files. Every name below is blocked by both, so every datagram must get
// exactly its own blocked answer whichever set judged it.
TEST(Concurrency, loads_race_with_dispatch_without_tearing) {
    Harness h;
    h.useList("a.example\nshared.example\n");
    std::atomic<bool> done{false};
    std::thread loader([&] {
        for (int i = 0; !done.load(); ++i) {
            h.files->write(kUserListPath,
                           i % 2 ? "a.example\nshared.example\n" : "b.example\nshared.example\n");
            h.provider->loadBlocklist();
        }
    });
    const auto q = query({"x", "shared", "example"}, 28);
    const auto expected = *dns::makeBlockedResponse(q);
    constexpr int kBatches = 300;
    auto dispatcher = [&](const std::shared_ptr<fakes::FakeUdpFlow>& flow) {
        for (int i = 0; i < kBatches; ++i) {
            flow->completeRead(batch({q, q}, {"p", "q"}));
        }
    };
    auto first = h.open();
    auto second = h.open();
    std::thread one(dispatcher, first);
    std::thread two(dispatcher, second);
    one.join();
    two.join();
    done = true;
    loader.join();
    for (const auto& flow : {first, second}) {
        const auto writes = flow->writes();
        ASSERT_EQ(writes.size(), 2u * kBatches);
        for (const auto& write : writes) {
            ASSERT_EQ(write.size(), 1u);
            ASSERT_EQ(write[0].datagram, expected);
        }
    }
    EXPECT_TRUE(h.connections->connections().empty());
}

}  // namespace
}  // namespace sieveharbor::provider

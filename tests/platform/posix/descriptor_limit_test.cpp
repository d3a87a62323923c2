#include "platform/posix/descriptor_limit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>
#include <vector>

namespace sieveharbor::platform::posix {
namespace {

// What is wanted when the limit allows it; otherwise whatever fits beside the descriptors in use
// and the reserve, a quarter of it for connections, at least one of each that is wanted.
TEST(DescriptorLimit, the_caps_fit_the_limit_beside_the_descriptors_open) {
    const std::size_t inUse = 20;
    const std::size_t exact = inUse + kDescriptorReserve + 4096 + 1024;
    const std::tuple<std::size_t, std::size_t, std::size_t, std::size_t> rows[] = {
        {std::size_t{1} << 20, 1024, 4096, 1024},
        {exact, 1024, 4096, 1024},
        {exact - 1, 1024, 4095, 1024},
        {1024, 1024, 729, 243},  // 972 free: 243 connections, the rest exchanges
        {inUse + kDescriptorReserve, 1024, 1, 1},
        {40, 1024, 1, 1},
        {256, 0, 204, 0},  // launchd's default, UDP only: all the room to exchanges
        {40, 0, 1, 0},
    };
    for (const auto& [limit, wantedConnections, inFlight, connections] : rows) {
        const auto budget = budgetFor(limit, inUse, 4096, wantedConnections);
        EXPECT_EQ(std::pair(budget.inFlight, budget.tcpConnections),
                  std::pair(inFlight, connections))
            << limit << " " << wantedConnections;
    }
    // The descriptors counted as open are this process's, exactly.
    const auto before = openDescriptors();
    const int fd = ::dup(0);
    EXPECT_EQ(openDescriptors(), before + 1);
    ::close(fd);
    // fitCaps lowers both caps in place, and says so; with room for both it leaves them.
    std::size_t inFlight = 4096;
    std::size_t connections = 1024;
    EXPECT_TRUE(fitCaps(openDescriptors() + kDescriptorReserve + 100, inFlight, connections));
    EXPECT_EQ(std::pair(inFlight, connections), std::pair(std::size_t{75}, std::size_t{25}));
    EXPECT_FALSE(fitCaps(std::size_t{1} << 20, inFlight, connections));
    EXPECT_EQ(std::pair(inFlight, connections), std::pair(std::size_t{75}, std::size_t{25}));
}

// launchd's soft limit under an unlimited hard one must still be raised: macOS refuses the
// unlimited soft limit, so its per-process maximum is asked for next.
TEST(DescriptorLimit, the_soft_limit_asks_for_the_hard_limit_then_the_macos_maximum) {
    const std::size_t max = 10240;
    const std::tuple<std::size_t, std::optional<std::size_t>, std::vector<std::size_t>> rows[] = {
        {256, std::nullopt, {max}}, {256, 1 << 20, {1 << 20, max}}, {1024, 4096, {4096}},
        {1024, 1024, {}},           {20000, std::nullopt, {}},      {20000, 1 << 20, {1 << 20}},
    };
    for (const auto& [soft, hard, wanted] : rows) {
        EXPECT_EQ(softLimitsToTry(soft, hard), wanted) << soft;
    }
}

}  // namespace
}  // namespace sieveharbor::platform::posix

#include "platform/apple/open_flows.h"

#include <gtest/gtest.h>

#include "fakes/fake_flow.h"

namespace sieveharbor::platform::apple {
namespace {

// At stop every flow still open is closed both ways, once; a flow already let go is skipped, and
// the list holds none of them alive meanwhile.
TEST(OpenFlows, a_stop_closes_the_flows_still_open_and_forgets_them) {
    OpenFlows flows;
    auto udp = std::make_shared<fakes::FakeUdpFlow>();
    auto tcp = std::make_shared<fakes::FakeStreamFlow>();
    auto gone = std::make_shared<fakes::FakeUdpFlow>();
    for (int i = 0; i < 100; ++i) {  // enough to be pruned on the way
        flows.add(std::make_shared<fakes::FakeUdpFlow>());
    }
    flows.add(udp);
    flows.add(tcp);
    flows.add(gone);
    const std::weak_ptr<fakes::FakeUdpFlow> watched = gone;
    gone.reset();
    EXPECT_TRUE(watched.expired());

    flows.closeAll();
    flows.closeAll();
    using Udp = fakes::FakeUdpFlow::Call;
    using Tcp = fakes::FakeStreamFlow::Call;
    EXPECT_EQ(udp->calls(), (std::vector{Udp::closeRead, Udp::closeWrite}));
    EXPECT_EQ(tcp->calls(), (std::vector{Tcp::closeRead, Tcp::closeWrite}));
}

}  // namespace
}  // namespace sieveharbor::platform::apple

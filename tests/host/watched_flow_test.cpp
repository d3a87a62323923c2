#include "host/watched_flow.h"

#include <gtest/gtest.h>

#include "fakes/fake_flow.h"

namespace sieveharbor::host {
namespace {

using Call = fakes::FakeUdpFlow::Call;

TEST(WatchedFlow, passes_every_operation_through_and_reports_the_first_close_once) {
    auto inner = std::make_shared<fakes::FakeUdpFlow>();
    int closes = 0;
    WatchedFlow flow(inner, [&] { ++closes; });

    flow.openWithLocalEndpoint([](auto) {});
    flow.readDatagramsWithCompletionHandler([](auto, auto, auto) {});
    flow.writeDatagrams({{1, 2, 3}}, {fakes::endpoint("client")}, [](auto) {});
    EXPECT_EQ(closes, 0);

    const auto error = std::make_error_code(std::errc::connection_reset);
    flow.closeReadWithError(error);
    flow.closeWriteWithError(std::nullopt);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(inner->calls(), (std::vector<Call>{Call::open, Call::read, Call::write,
                                                 Call::closeRead, Call::closeWrite}));
    EXPECT_EQ(inner->closeReadError(), std::optional<std::optional<flow::FlowError>>(error));
    ASSERT_EQ(inner->writes().size(), 1u);
    EXPECT_EQ(inner->writes()[0].endpoints[0], fakes::endpoint("client"));
}

TEST(WatchedFlow, a_write_side_close_alone_is_reported) {
    auto inner = std::make_shared<fakes::FakeUdpFlow>();
    int closes = 0;
    WatchedFlow flow(inner, [&] { ++closes; });
    flow.closeWriteWithError(std::nullopt);
    EXPECT_EQ(closes, 1);
}

}  // namespace
}  // namespace sieveharbor::host

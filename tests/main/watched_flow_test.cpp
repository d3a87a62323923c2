#include "main/watched_flow.h"

#include <gtest/gtest.h>

#include "fakes/fake_flow.h"

namespace sieveharbor::service {
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
    EXPECT_EQ(inner->closeReadError(), std::optional<std::optional<platform::FlowError>>(error));
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

TEST(WatchedFlow, once_the_inner_flow_is_gone_every_operation_fails_and_no_cycle_remains) {
    auto inner = std::make_shared<fakes::FakeUdpFlow>();
    int closes = 0;
    auto flow = std::make_shared<WatchedFlow>(inner, [&] { ++closes; });
    // The pending read's completion holds the watched flow, as the provider's completions do.
    flow->readDatagramsWithCompletionHandler([flow](auto, auto, auto) {});
    std::weak_ptr<WatchedFlow> watched = flow;
    flow.reset();
    ASSERT_FALSE(watched.expired());
    auto survivor = watched.lock();
    inner.reset();
    EXPECT_TRUE(survivor.use_count() == 1) << "the inner flow's completion was not released";

    std::vector<std::optional<platform::FlowError>> errors;
    survivor->openWithLocalEndpoint([&](auto error) { errors.push_back(error); });
    survivor->readDatagramsWithCompletionHandler([&](auto datagrams, auto, auto error) {
        errors.push_back(datagrams ? std::nullopt : error);
    });
    survivor->writeDatagrams({{1}}, {fakes::endpoint("client")},
                             [&](auto error) { errors.push_back(error); });
    const auto notConnected = std::make_error_code(std::errc::not_connected);
    EXPECT_EQ(errors, (std::vector<std::optional<platform::FlowError>>(3, notConnected)));
    survivor->closeReadWithError(std::nullopt);
    EXPECT_EQ(closes, 1);
}

}  // namespace
}  // namespace sieveharbor::service

#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "flow/udp_flow.h"

namespace sieveharbor::host {

// Passes every operation through to a UDP flow, and calls onClosed once, the first time either
// direction is closed: a listener that stops is the end of the service, so the host learns of it
// instead of answering nothing for ever. onClosed runs on the closing thread.
class WatchedFlow final : public flow::UdpFlow {
  public:
    WatchedFlow(std::shared_ptr<flow::UdpFlow> inner, std::function<void()> onClosed)
        : inner_(std::move(inner)), onClosed_(std::move(onClosed)) {}

    void openWithLocalEndpoint(OpenCompletion completion) override {
        inner_->openWithLocalEndpoint(std::move(completion));
    }
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override {
        inner_->readDatagramsWithCompletionHandler(std::move(completion));
    }
    void writeDatagrams(std::vector<dns::Datagram> datagrams, std::vector<flow::Endpoint> endpoints,
                        WriteCompletion completion) override {
        inner_->writeDatagrams(std::move(datagrams), std::move(endpoints), std::move(completion));
    }
    void closeReadWithError(std::optional<flow::FlowError> error) override {
        inner_->closeReadWithError(error);
        noticeClose();
    }
    void closeWriteWithError(std::optional<flow::FlowError> error) override {
        inner_->closeWriteWithError(error);
        noticeClose();
    }

  private:
    void noticeClose() {
        if (!closed_.exchange(true)) {
            onClosed_();
        }
    }

    const std::shared_ptr<flow::UdpFlow> inner_;
    const std::function<void()> onClosed_;
    std::atomic<bool> closed_{false};
};

}  // namespace sieveharbor::host

#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "platform/udp_flow.h"

namespace sieveharbor::service {

// Passes every operation through to a UDP flow, and calls onClosed once, the first time either
// direction is closed: a listener that stops is the end of the service, so the host learns of it
// instead of answering nothing for ever. onClosed runs on the closing thread.
//
// The inner flow is held weakly and the host keeps it: the inner flow holds the pending read's
// completion, which holds this flow, so a strong reference would be a cycle that outlives the
// service. Once the inner flow is gone, every operation fails with not_connected.
class WatchedFlow final : public platform::UdpFlow {
  public:
    WatchedFlow(const std::shared_ptr<platform::UdpFlow>& inner, std::function<void()> onClosed)
        : inner_(inner), onClosed_(std::move(onClosed)) {}

    void openWithLocalEndpoint(OpenCompletion completion) override {
        if (const auto inner = inner_.lock()) {
            inner->openWithLocalEndpoint(std::move(completion));
        } else {
            completion(gone());
        }
    }
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override {
        if (const auto inner = inner_.lock()) {
            inner->readDatagramsWithCompletionHandler(std::move(completion));
        } else {
            completion(std::nullopt, gone());
        }
    }
    void writeDatagrams(platform::DatagramBatch datagrams, WriteCompletion completion) override {
        if (const auto inner = inner_.lock()) {
            inner->writeDatagrams(std::move(datagrams), std::move(completion));
        } else if (completion) {
            completion(gone());
        }
    }
    void closeReadWithError(std::optional<platform::FlowError> error) override {
        if (const auto inner = inner_.lock()) {
            inner->closeReadWithError(error);
        }
        noticeClose();
    }
    void closeWriteWithError(std::optional<platform::FlowError> error) override {
        if (const auto inner = inner_.lock()) {
            inner->closeWriteWithError(error);
        }
        noticeClose();
    }

  private:
    void noticeClose() {
        if (!closed_.exchange(true)) {
            onClosed_();
        }
    }

    static platform::FlowError gone() { return std::make_error_code(std::errc::not_connected); }

    const std::weak_ptr<platform::UdpFlow> inner_;
    const std::function<void()> onClosed_;
    std::atomic<bool> closed_{false};
};

}  // namespace sieveharbor::service

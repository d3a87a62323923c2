#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flow/udp_flow.h"

namespace sieveharbor::fakes {

// An endpoint that names a test client; equal labels give equal endpoints.
inline flow::Endpoint endpoint(std::string_view label) {
    return flow::Endpoint(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(label.data()), label.size()));
}

// A UdpFlow that records every call and completes open and read only when the test says so
// (completeOpen/completeRead, which run the completion on the calling thread). Writes complete at
// once with writeResult. Safe to use from several threads: writes may come from queue threads.
class FakeUdpFlow final : public flow::UdpFlow {
  public:
    enum class Call { open, read, write, closeRead, closeWrite };
    struct Write {
        std::vector<dns::Datagram> datagrams;
        std::vector<flow::Endpoint> endpoints;
    };

    // Given to every write completion.
    std::optional<flow::FlowError> writeResult;

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Write> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    // Outer optional: was it closed; inner: the error it was closed with.
    std::optional<std::optional<flow::FlowError>> closeReadError() const {
        std::lock_guard lock(mutex_);
        return closeReadError_;
    }
    std::optional<std::optional<flow::FlowError>> closeWriteError() const {
        std::lock_guard lock(mutex_);
        return closeWriteError_;
    }
    std::size_t pendingOpens() const {
        std::lock_guard lock(mutex_);
        return opens_.size();
    }
    std::size_t pendingReads() const {
        std::lock_guard lock(mutex_);
        return reads_.size();
    }

    // Completes the oldest pending open; false when none is pending.
    bool completeOpen(std::optional<flow::FlowError> error = std::nullopt) {
        OpenCompletion completion;
        {
            std::lock_guard lock(mutex_);
            if (opens_.empty()) {
                return false;
            }
            completion = std::move(opens_.front());
            opens_.pop_front();
        }
        completion(error);
        return true;
    }
    // Completes the oldest pending read; false when none is pending.
    bool completeRead(std::optional<std::vector<dns::Datagram>> datagrams,
                      std::optional<std::vector<flow::Endpoint>> endpoints,
                      std::optional<flow::FlowError> error = std::nullopt) {
        ReadCompletion completion;
        {
            std::lock_guard lock(mutex_);
            if (reads_.empty()) {
                return false;
            }
            completion = std::move(reads_.front());
            reads_.pop_front();
        }
        completion(std::move(datagrams), std::move(endpoints), error);
        return true;
    }
    bool completeRead(flow::DatagramBatch batch) {
        return completeRead(std::move(batch.datagrams), std::move(batch.endpoints));
    }

    // UdpFlow
    void openWithLocalEndpoint(OpenCompletion completion) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::open);
        opens_.push_back(std::move(completion));
    }
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::read);
        reads_.push_back(std::move(completion));
    }
    void writeDatagrams(std::vector<dns::Datagram> datagrams, std::vector<flow::Endpoint> endpoints,
                        WriteCompletion completion) override {
        std::optional<flow::FlowError> result;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(Call::write);
            writes_.push_back({std::move(datagrams), std::move(endpoints)});
            result = writeResult;
        }
        if (completion) {
            completion(result);
        }
    }
    void closeReadWithError(std::optional<flow::FlowError> error) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::closeRead);
        closeReadError_ = error;
    }
    void closeWriteWithError(std::optional<flow::FlowError> error) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::closeWrite);
        closeWriteError_ = error;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<Write> writes_;
    std::deque<OpenCompletion> opens_;
    std::deque<ReadCompletion> reads_;
    std::optional<std::optional<flow::FlowError>> closeReadError_;
    std::optional<std::optional<flow::FlowError>> closeWriteError_;
};

// A flow of another kind, for showing that only UDP flows are taken. It has no operations to call.
class FakeTcpFlow final : public flow::Flow {
  public:
    flow::FlowKind kind() const noexcept override { return flow::FlowKind::tcp; }
};

}  // namespace sieveharbor::fakes

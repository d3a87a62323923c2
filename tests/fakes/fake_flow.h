#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stream_flow.h"
#include "platform/udp_flow.h"

namespace sieveharbor::fakes {

// An endpoint that names a test client; equal labels give equal endpoints.
inline platform::Endpoint endpoint(std::string_view label) {
    return platform::Endpoint(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(label.data()), label.size()));
}

// A UdpFlow that records every call and completes open and read only when the test says so
// (completeOpen/completeRead, which run the completion on the calling thread). Writes complete at
// once with writeResult. Safe to use from several threads: writes may come from queue threads.
class FakeUdpFlow final : public platform::UdpFlow {
  public:
    enum class Call { open, read, write, closeRead, closeWrite };
    struct Write {
        std::vector<dns::Datagram> datagrams;
        std::vector<platform::Endpoint> endpoints;
    };

    // Given to every write completion.
    std::optional<platform::FlowError> writeResult;

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Write> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    // Outer optional: was it closed; inner: the error it was closed with.
    std::optional<std::optional<platform::FlowError>> closeReadError() const {
        std::lock_guard lock(mutex_);
        return closeReadError_;
    }
    std::optional<std::optional<platform::FlowError>> closeWriteError() const {
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
    bool completeOpen(std::optional<platform::FlowError> error = std::nullopt) {
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
                      std::optional<std::vector<platform::Endpoint>> endpoints,
                      std::optional<platform::FlowError> error = std::nullopt) {
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
    bool completeRead(platform::DatagramBatch batch) {
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
    void writeDatagrams(std::vector<dns::Datagram> datagrams,
                        std::vector<platform::Endpoint> endpoints,
                        WriteCompletion completion) override {
        std::optional<platform::FlowError> result;
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
    void closeReadWithError(std::optional<platform::FlowError> error) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::closeRead);
        closeReadError_ = error;
    }
    void closeWriteWithError(std::optional<platform::FlowError> error) override {
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
    std::optional<std::optional<platform::FlowError>> closeReadError_;
    std::optional<std::optional<platform::FlowError>> closeWriteError_;
};

// A StreamFlow that records every call; open and read complete only when the test says so, on
// the calling thread. Writes complete at once with writeResult, or, with holdWrites set, only when
// completeWrites says (a client that does not read). Safe to use from several threads.
class FakeStreamFlow final : public platform::StreamFlow {
  public:
    enum class Call { open, read, write, closeRead, closeWrite };

    std::optional<platform::FlowError> writeResult;
    bool holdWrites = false;

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Every byte written, in order.
    std::vector<std::uint8_t> written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }
    std::size_t writeCount() const {
        std::lock_guard lock(mutex_);
        return writeCount_;
    }
    bool closed() const {
        std::lock_guard lock(mutex_);
        return closedRead_ && closedWrite_;
    }
    std::size_t pendingReads() const {
        std::lock_guard lock(mutex_);
        return reads_.size();
    }

    bool completeOpen(std::optional<platform::FlowError> error = std::nullopt) {
        return take(opens_, [&](auto& completion) { completion(error); });
    }
    // Delivers bytes to the pending read; no bytes and no error is the client's end.
    bool completeRead(std::span<const std::uint8_t> bytes,
                      std::optional<platform::FlowError> error = std::nullopt) {
        return take(reads_, [&](auto& completion) { completion(bytes, error); });
    }
    // Completes every held write.
    void completeWrites() {
        while (take(writes_, [](auto& completion) { completion(std::nullopt); })) {
        }
    }

    // StreamFlow
    void openWithLocalEndpoint(OpenCompletion completion) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::open);
        opens_.push_back(std::move(completion));
    }
    void readDataWithCompletionHandler(ReadCompletion completion) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::read);
        reads_.push_back(std::move(completion));
    }
    void writeData(std::vector<std::uint8_t> data, WriteCompletion completion) override {
        std::optional<platform::FlowError> result;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(Call::write);
            written_.insert(written_.end(), data.begin(), data.end());
            ++writeCount_;
            if (holdWrites) {
                writes_.push_back(std::move(completion));
                return;
            }
            result = writeResult;
        }
        completion(result);
    }
    void closeReadWithError(std::optional<platform::FlowError>) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::closeRead);
        closedRead_ = true;
    }
    void closeWriteWithError(std::optional<platform::FlowError>) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call::closeWrite);
        closedWrite_ = true;
    }

  private:
    // Runs the oldest completion of `pending` outside the lock; false when there is none.
    template <class Completion, class Run>
    bool take(std::deque<Completion>& pending, Run run) {
        Completion completion;
        {
            std::lock_guard lock(mutex_);
            if (pending.empty()) {
                return false;
            }
            completion = std::move(pending.front());
            pending.pop_front();
        }
        run(completion);
        return true;
    }

    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<std::uint8_t> written_;
    std::size_t writeCount_ = 0;
    std::deque<OpenCompletion> opens_;
    std::deque<ReadCompletion> reads_;
    std::deque<WriteCompletion> writes_;
    bool closedRead_ = false;
    bool closedWrite_ = false;
};

}  // namespace sieveharbor::fakes

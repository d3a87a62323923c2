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

// What both fake flows share: every call recorded, and completions that run only when the test
// says, on the calling thread (outside the lock). Safe to use from several threads.
template <class Seam>
class RecordingFlow : public Seam {
  public:
    enum class Call { open, read, write, closeRead, closeWrite };
    // Outer optional: was it closed; inner: the error it was closed with.
    using Closed = std::optional<std::optional<platform::FlowError>>;

    std::vector<Call> calls() const {
        return locked([this] { return calls_; });
    }
    std::size_t pendingReads() const {
        return locked([this] { return reads_.size(); });
    }
    Closed closeReadError() const {
        return locked([this] { return closeReadError_; });
    }
    Closed closeWriteError() const {
        return locked([this] { return closeWriteError_; });
    }
    bool closed() const { return closeReadError() && closeWriteError(); }

    // Completes the oldest pending open; false when none is pending.
    bool completeOpen(std::optional<platform::FlowError> error = std::nullopt) {
        return take(opens_, [&](auto& completion) { completion(error); });
    }

    void openWithLocalEndpoint(typename Seam::OpenCompletion completion) override {
        record(Call::open, [&] { opens_.push_back(std::move(completion)); });
    }
    void closeReadWithError(std::optional<platform::FlowError> error) override {
        record(Call::closeRead, [&] { closeReadError_ = error; });
    }
    void closeWriteWithError(std::optional<platform::FlowError> error) override {
        record(Call::closeWrite, [&] { closeWriteError_ = error; });
    }

  protected:
    template <class Get>
    auto locked(Get get) const {
        std::lock_guard lock(mutex_);
        return get();
    }
    // Records the call and does `then` under the same lock.
    template <class Then>
    void record(Call call, Then then) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        then();
    }
    // Runs the oldest completion of `pending`; false when there is none.
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
    std::deque<typename Seam::ReadCompletion> reads_;

  private:
    std::vector<Call> calls_;
    std::deque<typename Seam::OpenCompletion> opens_;
    Closed closeReadError_;
    Closed closeWriteError_;
};

// A UdpFlow whose reads complete when the test says; writes complete at once.
class FakeUdpFlow final : public RecordingFlow<platform::UdpFlow> {
  public:
    using Write = platform::DatagramBatch;

    std::vector<Write> writes() const {
        return locked([this] { return writes_; });
    }
    // Completes the oldest pending read; false when none is pending.
    bool completeRead(std::optional<platform::DatagramBatch> batch,
                      std::optional<platform::FlowError> error = std::nullopt) {
        return take(reads_, [&](auto& completion) { completion(std::move(batch), error); });
    }
    bool completeRead(platform::DatagramBatch batch) {
        return completeRead(std::optional(std::move(batch)));
    }

    void readDatagramsWithCompletionHandler(ReadCompletion completion) override {
        record(Call::read, [&] { reads_.push_back(std::move(completion)); });
    }
    void writeDatagrams(platform::DatagramBatch datagrams, WriteCompletion completion) override {
        record(Call::write, [&] { writes_.push_back(std::move(datagrams)); });
        if (completion) {
            completion(std::nullopt);
        }
    }

  private:
    std::vector<Write> writes_;
};

// A StreamFlow whose reads complete when the test says. Writes complete at once, or, with
// holdWrites set, only when completeWrites says (a client that does not read).
class FakeStreamFlow final : public RecordingFlow<platform::StreamFlow> {
  public:
    bool holdWrites = false;

    // Every byte written, in order.
    std::vector<std::uint8_t> written() const {
        return locked([this] { return written_; });
    }
    std::size_t writeCount() const {
        return locked([this] { return writeCount_; });
    }
    // Delivers bytes to the pending read; no bytes and no error is the client's end.
    bool completeRead(std::span<const std::uint8_t> bytes,
                      std::optional<platform::FlowError> error = std::nullopt) {
        return take(reads_, [&](auto& completion) { completion(bytes, error); });
    }
    void completeWrites() {
        while (take(writes_, [](auto& completion) { completion(std::nullopt); })) {
        }
    }

    void readDataWithCompletionHandler(ReadCompletion completion) override {
        record(Call::read, [&] { reads_.push_back(std::move(completion)); });
    }
    void writeData(std::vector<std::uint8_t> data, WriteCompletion completion) override {
        bool held = false;
        record(Call::write, [&] {
            written_.insert(written_.end(), data.begin(), data.end());
            ++writeCount_;
            if ((held = holdWrites)) {
                writes_.push_back(std::move(completion));
            }
        });
        if (!held) {
            completion(std::nullopt);
        }
    }

  private:
    std::vector<std::uint8_t> written_;
    std::size_t writeCount_ = 0;
    std::deque<WriteCompletion> writes_;
};

}  // namespace sieveharbor::fakes

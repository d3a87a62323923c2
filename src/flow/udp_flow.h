#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::flow {

// Errors crossing the flow seam. The platform picks the category; callers only test presence
// and may print message().
using FlowError = std::error_code;

// Opaque name of the socket that asked. The platform stores its own encoding (a socket address
// on Linux, a label in the test fakes); the system only copies it and hands it back on write.
class Endpoint {
  public:
    // Large enough for a sockaddr_in6.
    static constexpr std::size_t kCapacity = 28;

    Endpoint() = default;
    // Bytes beyond kCapacity are cut off; platforms never produce more.
    explicit Endpoint(std::span<const std::uint8_t> bytes) noexcept {
        size_ = static_cast<std::uint8_t>(bytes.size() < kCapacity ? bytes.size() : kCapacity);
        for (std::size_t i = 0; i < size_; ++i) {
            storage_[i] = bytes[i];
        }
    }

    std::span<const std::uint8_t> bytes() const noexcept { return {storage_.data(), size_}; }
    bool empty() const noexcept { return size_ == 0; }

    friend bool operator==(const Endpoint& a, const Endpoint& b) noexcept {
        return a.size_ == b.size_ &&
               std::equal(a.storage_.begin(), a.storage_.begin() + a.size_, b.storage_.begin());
    }

  private:
    std::array<std::uint8_t, kCapacity> storage_{};
    std::uint8_t size_ = 0;
};

// What one successful read yields: endpoints[i] sent datagrams[i] and receives its reply.
struct DatagramBatch {
    std::vector<dns::Datagram> datagrams;
    std::vector<Endpoint> endpoints;
};

enum class FlowKind { udp, tcp };

// Any flow the platform hands over. Only UDP flows are taken; the kind lets the caller refuse the
// rest without touching them.
class Flow {
  public:
    virtual ~Flow() = default;
    virtual FlowKind kind() const noexcept = 0;
};

// A platform UDP flow. Flows are shared (std::shared_ptr): the platform owns them, completions
// and upstream exchanges hold them strongly while they need them.
//
// Threads: every operation may be called from any thread, and writes may overlap each other and
// a pending read. Each completion runs exactly once, on a thread of the platform's choosing (the
// implementation says which); a completion may call back into the flow, including issuing the
// next read from inside a read completion.
class UdpFlow : public Flow {
  public:
    using OpenCompletion = std::function<void(std::optional<FlowError> error)>;
    // On success both lists are present, of equal length, and error is empty; anything else is a
    // failed read.
    using ReadCompletion = std::function<void(std::optional<std::vector<dns::Datagram>> datagrams,
                                              std::optional<std::vector<Endpoint>> endpoints,
                                              std::optional<FlowError> error)>;
    // Callers never look at the result; it exists for tests and diagnostics.
    using WriteCompletion = std::function<void(std::optional<FlowError> error)>;

    FlowKind kind() const noexcept final { return FlowKind::udp; }

    // Opens the flow with no local endpoint of its own. No error: the flow may be read.
    virtual void openWithLocalEndpoint(OpenCompletion completion) = 0;
    // Reads one batch. At most one read may be pending at a time.
    virtual void readDatagramsWithCompletionHandler(ReadCompletion completion) = 0;
    // Sends datagrams[i] to endpoints[i]. The flow takes the buffers; the caller never waits.
    virtual void writeDatagrams(std::vector<dns::Datagram> datagrams,
                                std::vector<Endpoint> endpoints, WriteCompletion completion) = 0;
    // Shut the flow in one direction; a pending read then completes with an error.
    virtual void closeReadWithError(std::optional<FlowError> error) = 0;
    virtual void closeWriteWithError(std::optional<FlowError> error) = 0;
};

}  // namespace sieveharbor::flow

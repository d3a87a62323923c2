#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "platform/flow.h"

namespace sieveharbor::platform {

// A platform TCP flow: one client's byte stream, which carries DNS messages each framed by a
// two-byte length. Linux: an accepted TCP connection; macOS: an NEAppProxyTCPFlow.
//
// A completion may call back into the flow, including issuing the next read from inside a read
// completion.
class StreamFlow : public Flow {
  public:
    // Bytes present and no error: the next bytes of the stream, in order. No bytes and no error:
    // the client has closed its side, and nothing more will come. An error: the read failed.
    // The bytes are only lent for the call: a reader that keeps them copies them.
    using ReadCompletion =
        std::function<void(std::span<const std::uint8_t> data, std::optional<FlowError> error)>;
    // The flow has taken the bytes over (they may still wait in the platform's buffers), or
    // failed to.
    using WriteCompletion = std::function<void(std::optional<FlowError> error)>;

    FlowKind kind() const noexcept final { return FlowKind::tcp; }

    // Reads what has arrived, at least one byte, or learns of the end. At most one read may be
    // pending at a time.
    virtual void readDataWithCompletionHandler(ReadCompletion completion) = 0;
    // Sends all of data after the data of earlier writes. Several writes may be outstanding; the
    // caller never waits.
    virtual void writeData(std::vector<std::uint8_t> data, WriteCompletion completion) = 0;
};

}  // namespace sieveharbor::platform

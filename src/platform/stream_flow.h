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
// Threads: every operation may be called from any thread. Each completion runs exactly once, on a
// thread of the platform's choosing; a completion may call back into the flow, including issuing
// the next read from inside a read completion.
class StreamFlow : public Flow {
  public:
    using OpenCompletion = std::function<void(std::optional<FlowError> error)>;
    // Bytes present and no error: the next bytes of the stream, in order. No bytes and no error:
    // the client has closed its side, and nothing more will come. An error: the read failed.
    // The bytes are only lent for the call: a reader that keeps them copies them.
    using ReadCompletion =
        std::function<void(std::span<const std::uint8_t> data, std::optional<FlowError> error)>;
    // The flow has taken the bytes over (they may still wait in the platform's buffers), or
    // failed to.
    using WriteCompletion = std::function<void(std::optional<FlowError> error)>;

    FlowKind kind() const noexcept final { return FlowKind::tcp; }

    // Opens the flow with no local endpoint of its own. No error: the flow may be read.
    virtual void openWithLocalEndpoint(OpenCompletion completion) = 0;
    // Reads what has arrived, at least one byte, or learns of the end. At most one read may be
    // pending at a time.
    virtual void readDataWithCompletionHandler(ReadCompletion completion) = 0;
    // Sends all of data after the data of earlier writes. Several writes may be outstanding; the
    // caller never waits.
    virtual void writeData(std::vector<std::uint8_t> data, WriteCompletion completion) = 0;
    // Shut the flow in one direction; a pending read then completes with an error, and data not
    // yet sent may be dropped. Once both are closed the flow lets its connection go.
    virtual void closeReadWithError(std::optional<FlowError> error) = 0;
    virtual void closeWriteWithError(std::optional<FlowError> error) = 0;
};

}  // namespace sieveharbor::platform

#pragma once

#include <functional>
#include <optional>
#include <system_error>

namespace sieveharbor::platform {

// Errors crossing the flow seams. The platform picks the category; callers only test presence
// and may print message().
using FlowError = std::error_code;

enum class FlowKind { udp, tcp };

// Any flow the platform hands over: a UdpFlow (udp_flow.h) or a StreamFlow (stream_flow.h).
// Flows are shared objects (std::shared_ptr): the platform owns them; completions and upstream
// exchanges hold them strongly while they need them. Every operation may be called from any
// thread; each completion runs exactly once, on a thread of the platform's choosing.
class Flow {
  public:
    using OpenCompletion = std::function<void(std::optional<FlowError> error)>;

    virtual ~Flow() = default;
    virtual FlowKind kind() const noexcept = 0;

    // Opens the flow with no local endpoint of its own. No error: the flow may be read.
    virtual void openWithLocalEndpoint(OpenCompletion completion) = 0;
    // Shut the flow in one direction; a pending read then completes with an error or never
    // (a reader must not count on either), and data not yet sent may be dropped. Once both are
    // closed the flow lets its connection go.
    virtual void closeReadWithError(std::optional<FlowError> error) = 0;
    virtual void closeWriteWithError(std::optional<FlowError> error) = 0;

    // How the proxy ends a flow: reading first, so nothing more arrives, then writing.
    void close(std::optional<FlowError> error = std::nullopt) {
        closeReadWithError(error);
        closeWriteWithError(error);
    }
};

}  // namespace sieveharbor::platform

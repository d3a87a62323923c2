#pragma once

#include <system_error>

namespace sieveharbor::platform {

// Errors crossing the flow seams. The platform picks the category; callers only test presence
// and may print message().
using FlowError = std::error_code;

enum class FlowKind { udp, tcp };

// Any flow the platform hands over: a UdpFlow (udp_flow.h) or a StreamFlow (stream_flow.h).
// Flows are shared objects (std::shared_ptr): the platform owns them; completions and upstream
// exchanges hold them strongly while they need them.
class Flow {
  public:
    virtual ~Flow() = default;
    virtual FlowKind kind() const noexcept = 0;
};

}  // namespace sieveharbor::platform

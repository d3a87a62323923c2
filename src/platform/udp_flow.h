#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "dns/datagram.h"
#include "platform/endpoint.h"
#include "platform/flow.h"

namespace sieveharbor::platform {

// What one successful read yields: endpoints[i] sent datagrams[i] and receives its reply.
struct DatagramBatch {
    std::vector<dns::Datagram> datagrams;
    std::vector<Endpoint> endpoints;
};

// A platform UDP flow: Linux, a bound UDP socket; macOS, an NEAppProxyUDPFlow.
//
// Threads: every operation may be called from any thread, and writes may overlap each other and
// a pending read. Each completion runs exactly once, on a thread of the platform's choosing (the
// implementation says which); a completion may call back into the flow, including issuing the
// next read from inside a read completion.
class UdpFlow : public Flow {
  public:
    using OpenCompletion = std::function<void(std::optional<FlowError> error)>;
    // On success both lists are present, of equal length, and error is empty; anything else is a
    // failed read. Both lists present and empty: nothing more will come.
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
    // Sends datagrams[i] to endpoints[i], each endpoint one that a read of this flow gave. The
    // flow takes the buffers; the caller never waits.
    virtual void writeDatagrams(std::vector<dns::Datagram> datagrams,
                                std::vector<Endpoint> endpoints, WriteCompletion completion) = 0;
    // Shut the flow in one direction; a pending read then completes with an error.
    virtual void closeReadWithError(std::optional<FlowError> error) = 0;
    virtual void closeWriteWithError(std::optional<FlowError> error) = 0;
};

}  // namespace sieveharbor::platform

#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "dns/datagram.h"
#include "platform/endpoint.h"
#include "platform/flow.h"

namespace sieveharbor::platform {

// A datagram and the endpoint of the socket that sent it, or that its reply goes to.
struct AddressedDatagram {
    dns::Datagram datagram;
    Endpoint endpoint;
    friend bool operator==(const AddressedDatagram&, const AddressedDatagram&) = default;
};

// What one successful read yields, and what one write takes: each datagram with its endpoint.
using DatagramBatch = std::vector<AddressedDatagram>;

// A platform UDP flow: Linux, a bound UDP socket; macOS, an NEAppProxyUDPFlow.
//
// Writes may overlap each other and a pending read; a completion may call back into the flow,
// including issuing the next read from inside a read completion.
class UdpFlow : public Flow {
  public:
    // A batch and no error: a successful read (an empty batch: nothing more will come). Anything
    // else is a failed read.
    using ReadCompletion =
        std::function<void(std::optional<DatagramBatch> batch, std::optional<FlowError> error)>;
    // Callers never look at the result; it exists for tests and diagnostics.
    using WriteCompletion = std::function<void(std::optional<FlowError> error)>;

    FlowKind kind() const noexcept final { return FlowKind::udp; }

    // Reads one batch. At most one read may be pending at a time.
    virtual void readDatagramsWithCompletionHandler(ReadCompletion completion) = 0;
    // Sends each datagram to its endpoint, each endpoint one that a read of this flow gave. The
    // flow takes the buffers; the caller never waits.
    virtual void writeDatagrams(DatagramBatch datagrams, WriteCompletion completion) = 0;
};

}  // namespace sieveharbor::platform

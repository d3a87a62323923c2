#pragma once

#include <memory>

#include "flow/flow_context.h"
#include "platform/udp_flow.h"

namespace sieveharbor::flow {

// Serves one UDP flow: opens it, then reads it batch after batch and dispatches each datagram in
// order: a blocked query is answered into the flow for its endpoint during the dispatch, a
// relayed one is forwarded and answered when its exchange ends with a reply, a dropped one gets
// nothing. Returns at once.
//
// The completions hold the context weakly and the flow strongly. An open that fails, or that
// completes once the context has gone, closes the flow with the open's error; a read that fails,
// or completes once the context has gone, closes it with the read's error; an empty batch ends
// the reading, and the flow closes once every reply on its way has been written. A flow is read
// again after each batch: a client may send its next query on the same socket (glibc sends A and
// AAAA together), and one read per flow would leave it unanswered.
void serveDatagramFlow(std::weak_ptr<const FlowContext> context,
                       std::shared_ptr<platform::UdpFlow> flow);

}  // namespace sieveharbor::flow

#pragma once

// Objective-C++ only: the platform's flows as the flow seams, for the provider class.

#import <NetworkExtension/NetworkExtension.h>

#include <memory>

#include "platform/stream_flow.h"
#include "platform/udp_flow.h"

namespace sieveharbor::platform::apple {

// Every operation goes to the flow as it is; completions run on the framework's threads. Each
// endpoint a read gives holds the very NWEndpoint object that came with its datagram, retained,
// and a write hands that object back.
std::shared_ptr<UdpFlow> adaptUdpFlow(NEAppProxyUDPFlow* flow);
std::shared_ptr<StreamFlow> adaptTcpFlow(NEAppProxyTCPFlow* flow);

}  // namespace sieveharbor::platform::apple

#pragma once

// The system seam on macOS. Plain C++: the platform's objects stay inside the Objective-C++.

#include <memory>

#include "app/system_seam.h"

namespace sieveharbor::app::apple {

// OSSystemExtensionRequest, NEDNSProxyManager, notify_post, SCDynamicStoreCopyConsoleUser and
// getpwuid, POSIX files. Each call waits by running the main run loop, which serves the main
// queue the frameworks answer on; so it must be called on the main thread.
std::unique_ptr<SystemSeam> makeSystemSeam();

}  // namespace sieveharbor::app::apple

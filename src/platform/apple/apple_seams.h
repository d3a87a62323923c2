#pragma once

// The macOS implementations of the seams, made here and nowhere else. The header is plain C++:
// the platform's objects stay inside the Objective-C++ files, under ARC.

#include <memory>

#include "platform/connection.h"
#include "platform/console_user.h"
#include "platform/logger.h"
#include "platform/notification_center.h"
#include "platform/queue.h"
#include "platform/socket_address.h"

namespace sieveharbor::platform::apple {

// The relay's runtime, made together so that each has the other's type. queue: Dispatch's global
// concurrent queue at user-initiated quality of service; its serial queues are queues of their
// own that target it, so one exchange's handlers run in order while different exchanges run side
// by side on it; timers are dispatch_after on the queue. connections: an nw_connection_t for each
// attempt, on the exchange's serial queue of `queue`: UDP (nw_parameters_create_secure_udp with
// the protocol options of the platform's defaults) for datagram exchanges, TCP with Nagle's
// algorithm off for stream ones, and TLS over it (the system's trust) for a DNS-over-TLS
// upstream's session.
struct NetworkRelay {
    std::shared_ptr<Queue> queue;
    std::shared_ptr<ConnectionFactory> connections;
};
NetworkRelay makeNetworkRelay();

// notify(3) on a serial queue of its own (see darwin_notification_center.h).
std::shared_ptr<NotificationCenter> makeDarwinNotificationCenter();

// SCDynamicStoreCopyConsoleUser: the list of the user at the console, found by the short name as
// the system gives it, or nothing; changes of the console-user key are watched through an
// SCDynamicStore on a serial queue of its own.
std::shared_ptr<ConsoleUser> makeSystemConsoleUser();

// os_log_create with the subsystem and category; debug through os_log_debug.
std::shared_ptr<LoggerFactory> makeUnifiedLoggerFactory();

}  // namespace sieveharbor::platform::apple

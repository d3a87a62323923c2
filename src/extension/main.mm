// The system extension's entry: one debug line when debug logging is on, then the process is the
// platform's, and the main thread serves the main dispatch queue for ever.

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <dispatch/dispatch.h>
#include <os/log.h>

int main() {
    os_log_t log = os_log_create("com.brackenmoor.sieveharbor.network-extension", "dns");
    @autoreleasepool {
        if (os_log_type_enabled(log, OS_LOG_TYPE_DEBUG)) {
            os_log_debug(log, "first light");
        }
        [NEProvider startSystemExtensionMode];
    }
    dispatch_main();
}

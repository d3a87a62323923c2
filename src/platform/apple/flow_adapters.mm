#include "platform/apple/flow_adapters.h"

#import <CoreFoundation/CoreFoundation.h>

#include "platform/apple/network_states.h"

namespace sieveharbor::platform::apple {

static_assert(
    static_cast<int>(AppProxyFlowError::notConnected) == NEAppProxyFlowErrorNotConnected &&
    static_cast<int>(AppProxyFlowError::peerReset) == NEAppProxyFlowErrorPeerReset &&
    static_cast<int>(AppProxyFlowError::hostUnreachable) == NEAppProxyFlowErrorHostUnreachable &&
    static_cast<int>(AppProxyFlowError::invalidArgument) == NEAppProxyFlowErrorInvalidArgument &&
    static_cast<int>(AppProxyFlowError::aborted) == NEAppProxyFlowErrorAborted &&
    static_cast<int>(AppProxyFlowError::refused) == NEAppProxyFlowErrorRefused &&
    static_cast<int>(AppProxyFlowError::timedOut) == NEAppProxyFlowErrorTimedOut &&
    static_cast<int>(AppProxyFlowError::internal) == NEAppProxyFlowErrorInternal &&
    static_cast<int>(AppProxyFlowError::datagramTooLarge) == NEAppProxyFlowErrorDatagramTooLarge);

namespace {

// A platform error as the seam's, and back: POSIX errors and the framework's flow errors keep
// their number, any other becomes an I/O error (the core only tests whether there was one).
std::optional<FlowError> errorOf(NSError* error) {
    if (error == nil) {
        return std::nullopt;
    }
    if ([error.domain isEqualToString:NSPOSIXErrorDomain]) {
        return FlowError(static_cast<int>(error.code), std::system_category());
    }
    if ([error.domain isEqualToString:NEAppProxyErrorDomain] && error.code >= 1 &&
        error.code <= NEAppProxyFlowErrorDatagramTooLarge) {
        return flowErrorFrom(static_cast<AppProxyFlowError>(error.code));
    }
    return std::make_error_code(std::errc::io_error);
}

// The header asks for an error of NEAppProxyErrorDomain, or nil.
NSError* nsErrorOf(const std::optional<FlowError>& error) {
    const auto code = appProxyFlowErrorOf(error);
    if (!code) {
        return nil;
    }
    return [NSError errorWithDomain:NEAppProxyErrorDomain
                               code:static_cast<NSInteger>(*code)
                           userInfo:nil];
}

NSData* dataOf(const std::vector<std::uint8_t>& bytes) {
    return [NSData dataWithBytes:bytes.data() length:bytes.size()];
}

// An endpoint keeps its NWEndpoint with the object's own reference count.
const Endpoint::Retainer kRetainer{
    [](const void* object) noexcept { CFRetain(object); },
    [](const void* object) noexcept { CFRelease(object); },
};

// What both kinds of flow do alike: open with no local endpoint, close each direction.
template <class Seam, class PlatformFlow>
class FlowAdapter : public Seam {
  public:
    explicit FlowAdapter(PlatformFlow* flow) : flow_(flow) {}

    // Each call and completion drains a pool of its own: they run on dispatch queues, whose
    // work items drain none, and the core they call into writes to flows.
    void openWithLocalEndpoint(Flow::OpenCompletion completion) override {
        auto shared = std::make_shared<Flow::OpenCompletion>(std::move(completion));
        @autoreleasepool {
            [flow_ openWithLocalEndpoint:nil
                       completionHandler:^(NSError* error) {
                         @autoreleasepool {
                             (*shared)(errorOf(error));
                         }
                       }];
        }
    }
    void closeReadWithError(std::optional<FlowError> error) override {
        @autoreleasepool {
            [flow_ closeReadWithError:nsErrorOf(error)];
        }
    }
    void closeWriteWithError(std::optional<FlowError> error) override {
        @autoreleasepool {
            [flow_ closeWriteWithError:nsErrorOf(error)];
        }
    }

  protected:
    PlatformFlow* flow_;
};

class UdpFlowAdapter final : public FlowAdapter<UdpFlow, NEAppProxyUDPFlow> {
  public:
    using FlowAdapter::FlowAdapter;

    void readDatagramsWithCompletionHandler(ReadCompletion completion) override {
        auto shared = std::make_shared<ReadCompletion>(std::move(completion));
        [flow_ readDatagramsWithCompletionHandler:^(
                   NSArray<NSData*>* datagrams, NSArray<NWEndpoint*>* endpoints, NSError* error) {
          @autoreleasepool {
              // Both arrays, or the read failed; a datagram without an endpoint has nowhere for
              // its reply to go.
              std::optional<DatagramBatch> batch;
              if (datagrams != nil && endpoints != nil) {
                  const NSUInteger count = MIN(datagrams.count, endpoints.count);
                  batch.emplace();
                  batch->reserve(count);
                  for (NSUInteger i = 0; i < count; ++i) {
                      NSData* datagram = datagrams[i];
                      const auto* first = static_cast<const std::uint8_t*>(datagram.bytes);
                      batch->push_back({dns::Datagram(first, first + datagram.length),
                                        Endpoint::adopt((__bridge_retained const void*)endpoints[i],
                                                        kRetainer)});
                  }
              }
              (*shared)(std::move(batch), errorOf(error));
          }
        }];
    }

    void writeDatagrams(DatagramBatch datagrams, WriteCompletion completion) override {
        @autoreleasepool {
            NSMutableArray<NSData*>* data = [NSMutableArray arrayWithCapacity:datagrams.size()];
            NSMutableArray<NWEndpoint*>* to = [NSMutableArray arrayWithCapacity:datagrams.size()];
            for (const auto& [datagram, endpoint] : datagrams) {
                // Only an endpoint a read of a flow gave can be written to.
                if (endpoint.object() == nullptr) {
                    continue;
                }
                [data addObject:dataOf(datagram)];
                [to addObject:(__bridge NWEndpoint*)endpoint.object()];
            }
            if (data.count == 0) {
                if (completion) {
                    completion(std::make_error_code(std::errc::invalid_argument));
                }
                return;
            }
            auto shared = std::make_shared<WriteCompletion>(std::move(completion));
            [flow_ writeDatagrams:data
                  sentByEndpoints:to
                completionHandler:^(NSError* error) {
                  @autoreleasepool {
                      if (*shared) {
                          (*shared)(errorOf(error));
                      }
                  }
                }];
        }
    }
};

class TcpFlowAdapter final : public FlowAdapter<StreamFlow, NEAppProxyTCPFlow> {
  public:
    using FlowAdapter::FlowAdapter;

    void readDataWithCompletionHandler(ReadCompletion completion) override {
        auto shared = std::make_shared<ReadCompletion>(std::move(completion));
        [flow_ readDataWithCompletionHandler:^(NSData* data, NSError* error) {
          @autoreleasepool {
              // No data and no error: the client has closed its side.
              const auto* first = static_cast<const std::uint8_t*>(data.bytes);
              (*shared)(std::span<const std::uint8_t>(first, data == nil ? 0 : data.length),
                        errorOf(error));
          }
        }];
    }

    void writeData(std::vector<std::uint8_t> bytes, WriteCompletion completion) override {
        auto shared = std::make_shared<WriteCompletion>(std::move(completion));
        @autoreleasepool {
            [flow_ writeData:dataOf(bytes)
                withCompletionHandler:^(NSError* error) {
                  @autoreleasepool {
                      (*shared)(errorOf(error));
                  }
                }];
        }
    }
};

}  // namespace

std::shared_ptr<UdpFlow> adaptUdpFlow(NEAppProxyUDPFlow* flow) {
    return std::make_shared<UdpFlowAdapter>(flow);
}

std::shared_ptr<StreamFlow> adaptTcpFlow(NEAppProxyTCPFlow* flow) {
    return std::make_shared<TcpFlowAdapter>(flow);
}

}  // namespace sieveharbor::platform::apple

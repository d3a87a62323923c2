#include "flow/stream_registry.h"

#include <algorithm>

namespace sieveharbor::flow {

bool StreamRegistry::admit(const std::shared_ptr<RegisteredStream>& stream) {
    std::shared_ptr<RegisteredStream> victim;
    {
        const std::lock_guard lock(mutex_);
        if (streams_.size() >= maxStreams_) {
            const auto idle = std::find_if(streams_.begin(), streams_.end(),
                                           [](const auto& s) { return s->idle(); });
            if (idle == streams_.end()) {
                return false;
            }
            victim = std::move(*idle);
            streams_.erase(idle);
        }
        streams_.push_back(stream);
    }
    // Outside the lock: closing may come back to forget().
    if (victim) {
        victim->close(metrics::TcpClose::connectionCap);
    }
    return true;
}

void StreamRegistry::forget(const RegisteredStream* stream) {
    std::shared_ptr<RegisteredStream> going;  // released after the lock
    const std::lock_guard lock(mutex_);
    const auto it = std::find_if(streams_.begin(), streams_.end(),
                                 [stream](const auto& s) { return s.get() == stream; });
    if (it != streams_.end()) {
        going = std::move(*it);
        streams_.erase(it);
    }
}

std::size_t StreamRegistry::count() const {
    const std::lock_guard lock(mutex_);
    return streams_.size();
}

std::size_t StreamRegistry::idleCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->idle(); }));
}

}  // namespace sieveharbor::flow

#pragma once

#include <string>

#include "metrics/counters.h"

namespace sieveharbor::metrics {

// The Prometheus text exposition format (version 0.0.4) of one snapshot: every name prefixed
// "sieveharbor_", counters ending in "_total", times in seconds, kinds and reasons as labels.
std::string renderExposition(const Snapshot& snapshot);

// The Content-Type a scraper expects with it.
inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace sieveharbor::metrics

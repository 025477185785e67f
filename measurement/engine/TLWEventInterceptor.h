#pragma once
// The log-event interceptor the front controller holds: called on the worker queue with a
// public event's origin, name, parameters (screen parameters added) and time stamp,
// instead of logging it. It is expected to log the event again with the interceptor
// ignored.

#include <functional>
#include <string>

#include "platform/Value.h"

using TLWEventInterceptor = std::function<void(const std::string& origin, const std::string& name,
                                               const platform::Dictionary& parameters, double timestamp)>;

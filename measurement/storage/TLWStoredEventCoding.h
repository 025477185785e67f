#pragma once
// Conversions between events and the batch-format event message as the database stores
// them (raw events, and the event columns of the property tables).
//
// Thread-safety: stateless; any thread.
//
// Decoding treats stored bytes as untrusted: a message that does not parse, a parameter
// that is malformed, or an origin that is missing or not a string gives no event and an
// error (code 2 or 3 of the library domain), never a crash.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWError.h"

class TLWPBEvent;

namespace tlw_storage {

// The event message: name (unless `includeName` is false), time stamps in milliseconds
// (truncated toward zero, written only when above machine epsilon) and one parameter
// message per parameter; an array becomes a parameter holding one unnamed parameter per
// element, each holding the element's parameters.
std::shared_ptr<TLWPBEvent> eventMessageFromEvent(const TLWEvent& event, bool includeName);
std::optional<std::vector<std::uint8_t>> serializedEvent(const TLWEvent& event, bool includeName);

// Builds an event from stored message bytes. `name` and `timestamp` override the
// message's own when given (raw events keep both in columns). Errors: code 3 "Failed to
// parse event from data"; code 2 "Failed to parse event params from data", "Cannot create
// an event from database. Origin parameter is not a string", "Cannot create an event
// from database. Missing origin parameter", "Failed to initialize raw event data from
// dictionary".
std::shared_ptr<TLWEvent> eventFromStoredBytes(const std::vector<std::uint8_t>& bytes,
                                               const std::optional<std::string>& name,
                                               const std::optional<double>& timestamp, TLWError* error);

}  // namespace tlw_storage

#pragma once
// TLWRawEventData: a stored event with its row id in the raw-events table and the
// fingerprint of the metadata it was stored with.
//
// Thread-safety: immutable after construction; any thread may read.
// Ownership: shares the event. Failure: null for a missing event (28000) or a negative
// row id (28001).

#include <cstdint>
#include <memory>

#include "measurement/model/TLWEvent.h"

class TLWRawEventData {
 public:
  [[nodiscard]] static std::shared_ptr<TLWRawEventData> initWithRawEvent(std::shared_ptr<const TLWEvent> rawEvent,
                                                                         std::int64_t rowID,
                                                                         std::int64_t metadataFingerprint);

  const std::shared_ptr<const TLWEvent>& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  TLWRawEventData(Token, std::shared_ptr<const TLWEvent> rawEvent, std::int64_t rowID, std::int64_t fingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(fingerprint) {}

 private:
  std::shared_ptr<const TLWEvent> rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};

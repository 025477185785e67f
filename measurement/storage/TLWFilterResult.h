#pragma once
// TLWFilterResult: the stored evaluation results of one audience, a row of
// audience_filter_values: the current and previous serialised result messages. Empty
// bytes mean "none" (a NULL column).
//
// Thread-safety: immutable after construction; any thread may read.
// Ownership: shared through std::shared_ptr; the factory copies its arguments.

#include <cstdint>
#include <memory>
#include <vector>

class TLWFilterResult {
 public:
  using Bytes = std::vector<std::uint8_t>;

  static std::shared_ptr<TLWFilterResult> initWithAudienceID(std::int32_t audienceID, Bytes currentResults,
                                                             Bytes previousResults) {
    return std::make_shared<TLWFilterResult>(Token{}, audienceID, std::move(currentResults),
                                             std::move(previousResults));
  }

  std::int32_t audienceID() const { return audienceID_; }
  const Bytes& currentResults() const { return currentResults_; }
  const Bytes& previousResults() const { return previousResults_; }
  bool hasCurrentResults() const { return !currentResults_.empty(); }
  bool hasPreviousResults() const { return !previousResults_.empty(); }

 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  TLWFilterResult(Token, std::int32_t audienceID, Bytes currentResults, Bytes previousResults)
      : audienceID_(audienceID), currentResults_(std::move(currentResults)), previousResults_(std::move(previousResults)) {}

 private:
  std::int32_t audienceID_;
  Bytes currentResults_;
  Bytes previousResults_;
};

#pragma once
// TLWAudienceDefinitionSink: where the audience definitions of a newly fetched
// configuration go before the configuration itself is saved (the audience store). The
// remote configuration holds the one the engine installs (TLWAudience); without one a
// configuration that carries audiences is refused rather than saved without them.
//
// Thread-safety: called on the measurement worker queue, inside the transaction that
// saves the configuration. A false answer makes the caller roll that transaction back.

#include <memory>
#include <vector>

#include "measurement/monitor/TLWError.h"

class TLWPBAudience;

class TLWAudienceDefinitionSink {
 public:
  virtual ~TLWAudienceDefinitionSink() = default;
  // Validates and stores the definitions; false and `error` when refused (nothing changes).
  [[nodiscard]] virtual bool updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences,
                                             TLWError* error) = 0;
};

#include "measurement/monitor/TLWMonitoringSampledData.h"

#include <cmath>
#include <limits>

namespace {

std::string bounded(std::string_view s) {
  if (s.size() <= TLWMonitoringSampledData::kMaxFieldBytes) return std::string(s);
  // Cut at a character boundary: step back over continuation bytes.
  std::size_t n = TLWMonitoringSampledData::kMaxFieldBytes;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n));
}

}  // namespace

TLWMonitoringSampledData TLWMonitoringSampledData::initWithArray(const platform::Value& stored) {
  TLWMonitoringSampledData data;
  const platform::Array* a = stored.array();
  if (!a || a->size() != 4) return data;
  const platform::Value& context = (*a)[0];
  const platform::Value& population = (*a)[1];
  const platform::Value& key = (*a)[2];
  const platform::Value& opened = (*a)[3];
  if (!context.isString() || !key.isString() || !population.isInteger() || !opened.isDate()) return data;
  if (context.string()->size() > kMaxFieldBytes || key.string()->size() > kMaxFieldBytes) return data;
  std::optional<std::int64_t> count = population.int64Value();
  if (!count || *count < 1) return data;
  double when = opened.dateValue()->secondsSince1970;
  if (!std::isfinite(when)) return data;
  data.entry_ = Entry{*context.string(), *count, *key.string(), when};
  return data;
}

platform::Value TLWMonitoringSampledData::arrayRepresentation() const {
  if (!entry_) return platform::Value();
  return platform::Value(platform::Array{platform::Value(entry_->encodedContext), platform::Value(entry_->population),
                                         platform::Value(entry_->sampleKey),
                                         platform::Value::date(entry_->windowOpened)});
}

void TLWMonitoringSampledData::insertOrUpdate(std::string_view sampleKey, std::string_view encodedContext, double now,
                                              const std::function<std::uint64_t(std::uint64_t)>& randomBelow) {
  if (!entry_) {
    entry_ = Entry{bounded(encodedContext), 1, bounded(sampleKey), now};
    return;
  }
  if (entry_->population < std::numeric_limits<std::int64_t>::max()) ++entry_->population;
  if (randomBelow(static_cast<std::uint64_t>(entry_->population)) == 0) {
    entry_->sampleKey = bounded(sampleKey);
    entry_->encodedContext = bounded(encodedContext);
  }
}

std::optional<std::string> TLWMonitoringSampledData::dispatch(double samplePeriod, double lastSampledTimestamp,
                                                              double now) {
  if (!entry_) {
    if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) return std::string("0:");
    return std::nullopt;
  }
  if (!(entry_->windowOpened < now - samplePeriod)) return std::nullopt;
  std::string out = std::to_string(entry_->population) + ":" + entry_->sampleKey;
  if (!entry_->encodedContext.empty()) out += ":" + entry_->encodedContext;
  entry_.reset();
  return out;
}

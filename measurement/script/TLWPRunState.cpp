#include "measurement/script/TLWPRunState.h"

#include <unicode/regex.h>

#include <algorithm>

namespace {

thread_local TLWPRunState* tCurrent = nullptr;
constexpr std::size_t kRegexCacheSize = 64;
constexpr std::size_t kMinCollectInterval = 4096;

}  // namespace

TLWPRunState::TLWPRunState() = default;

TLWPRunState::~TLWPRunState() {
  // Everything goes: hold every container, empty them all, then let them go one by one.
  std::vector<std::shared_ptr<TLWPTraceable>> all;
  all.swap(arena_);
  for (auto& c : all) c->clearContents();
}

TLWPRunState* TLWPRunState::current() { return tCurrent; }

TLWPRunState::Enter::Enter(TLWPRunState& state) : previous_(tCurrent) { tCurrent = &state; }

TLWPRunState::Enter::~Enter() { tCurrent = previous_; }

void TLWPRunState::resetForRun() {
  instructions_ = 0;
  work_ = 0;
  allocated_ = 0;
  regexSpent_ = {};
}

bool TLWPRunState::charge(std::int64_t units, TLWPError& error) {
  allocated_ += units;
  chargedSinceCollect_ += units;
  if (allocated_ <= kAllocationBudget) return true;
  error.set(tlwp_error::kResourceExhausted, "Memory budget exhausted");
  return false;
}

void TLWPRunState::track(const std::shared_ptr<TLWPTraceable>& container) {
  if (TLWPRunState* s = tCurrent) {
    s->arena_.push_back(container);
    s->allocated_ += kContainerWeight;
    s->chargedSinceCollect_ += kContainerWeight;
  }
}

void TLWPRunState::collect(const std::vector<TLWPTraceable*>& roots) {
  ++epoch_;
  std::vector<TLWPTraceable*> work(roots.begin(), roots.end());
  while (!work.empty()) {
    TLWPTraceable* t = work.back();
    work.pop_back();
    if (!t || t->markEpoch == epoch_) continue;
    t->markEpoch = epoch_;
    t->trace(work);
  }
  std::vector<std::shared_ptr<TLWPTraceable>> live, dead;
  live.reserve(arena_.size());
  for (auto& c : arena_) {
    (c->markEpoch == epoch_ ? live : dead).push_back(std::move(c));
  }
  arena_.swap(live);
  for (auto& c : dead) c->clearContents();
  dead.clear();
  arenaAfterCollect_ = arena_.size();
  chargedSinceCollect_ = 0;
  retained_ = 0;
  for (const auto& c : arena_) retained_ += kContainerWeight + c->footprint();
}

void TLWPRunState::collectIfNeeded(const std::vector<TLWPTraceable*>& roots) {
  // Charges made since the last collection may be kept by the program: measured again
  // well before they could reach the retained budget.
  if (arena_.size() >= std::max(kMinCollectInterval, 2 * arenaAfterCollect_) ||
      chargedSinceCollect_ >= kRetainedBudget / 4) {
    collect(roots);
  }
}

std::shared_ptr<icu::RegexPattern> TLWPRunState::regex(const std::u16string& pattern, TLWPError& error) {
  auto it = regexCache_.find(pattern);
  if (it != regexCache_.end()) return it->second;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::shared_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
      icu::UnicodeString(pattern.data(), static_cast<int32_t>(pattern.size())), 0, parseError, status));
  if (U_FAILURE(status) || !compiled) {
    error.set(status, u_errorName(status), kTLWPRegexErrorDomain);
    return nullptr;
  }
  if (regexCache_.size() >= kRegexCacheSize) regexCache_.clear();
  regexCache_.emplace(pattern, compiled);
  return compiled;
}

std::int32_t TLWPRunState::regexTimeLeft() const {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kRegexTimeBudget - regexSpent_).count();
  return static_cast<std::int32_t>(std::max<long long>(left, 0));
}

#include "measurement/model/TLWAliasTables.h"

#include <initializer_list>
#include <utility>

namespace {

using Pairs = std::initializer_list<std::pair<const char*, const char*>>;

TLWAliasTables::Table build(Pairs pairs) {
  TLWAliasTables::Table t;
  for (const auto& [k, v] : pairs) t.emplace(k, v);
  return t;
}

// Kept in one place so the forward and reverse tables agree; when two long names share
// a short one, the reverse keeps the first listed.
constexpr std::pair<const char*, const char*> kEventPairs[] = {
    {"adunit_exposure", "_xu"},
    {"ad_activeview", "_aa"},
    {"ad_click", "_ac"},
    {"ad_exposure", "_xa"},
    {"ad_impression", "_ai"},
    {"ad_query", "_aq"},
    {"ad_reward", "_ar"},
    {"app_background", "_ab"},
    {"app_clear_data", "_cd"},
    {"app_exception", "_ae"},
    {"app_remove", "_ui"},
    {"app_store_refund", "_asr"},
    {"app_store_subscription_cancel", "_asse"},
    {"app_store_subscription_convert", "_assc"},
    {"app_store_subscription_renew", "_assr"},
    {"app_update", "_au"},
    {"app_upgrade", "_ug"},
    {"error", "_err"},
    {"tarnwick_campaign", "_cmp"},
    {"first_open", "_f"},
    {"first_visit", "_v"},
    {"lq_campaign", "_cmp"},
    {"lq_extra_parameter", "_ep"},
    {"in_app_purchase", "_iap"},
    {"notification_dismiss", "_nd"},
    {"notification_foreground", "_nf"},
    {"notification_open", "_no"},
    {"notification_receive", "_nr"},
    {"os_update", "_ou"},
    {"screen_view", "_vs"},
    {"session_start", "_s"},
    {"session_start_with_rollout", "_ssr"},
    {"user_engagement", "_e"},
};

}  // namespace

const TLWAliasTables::Table& TLWAliasTables::eventNameAliases() {
  // Never destroyed: library threads may still use it while the process exits.
  static const Table& table = *new Table([] {
    Table t;
    for (const auto& [k, v] : kEventPairs) t.emplace(k, v);
    return t;
  }());
  return table;
}

const TLWAliasTables::Table& TLWAliasTables::reverseEventNameAliases() {
  static const Table& table = *new Table([] {
    Table t;
    for (const auto& [k, v] : kEventPairs) t.emplace(v, k);  // emplace keeps the first
    return t;
  }());
  return table;
}

const TLWAliasTables::Table& TLWAliasTables::publicAllowedEventNameAliases() {
  static const Table& table = *new Table(build({{"ad_impression", "_ai"}}));
  return table;
}

const TLWAliasTables::Table& TLWAliasTables::userPropertyNameAliases() {
  static const Table& table = *new Table(build({
      {"tarnwick_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"lq_session_id", "_sid"},
      {"lq_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  }));
  return table;
}

const TLWAliasTables::Table& TLWAliasTables::parameterNameAliases() {
  static const Table& table = *new Table(build({
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"tarnwick_conversion", "_c"},
      {"tarnwick_debug", "_dbg"},
      {"tarnwick_error", "_err"},
      {"tarnwick_error_length", "_el"},
      {"tarnwick_error_value", "_ev"},
      {"tarnwick_event_origin", "_o"},
      {"tarnwick_feature_rollouts", "_ffr"},
      {"tarnwick_previous_class", "_pc"},
      {"tarnwick_previous_id", "_pi"},
      {"tarnwick_previous_screen", "_pn"},
      {"tarnwick_realtime", "_r"},
      {"tarnwick_screen", "_sn"},
      {"tarnwick_screen_class", "_sc"},
      {"tarnwick_screen_id", "_si"},
      {"lq_conversion", "_c"},
      {"lq_debug", "_dbg"},
      {"lq_dedupe_id", "_did"},
      {"lq_error", "_err"},
      {"lq_error_length", "_el"},
      {"lq_error_value", "_ev"},
      {"lq_event_id", "_eid"},
      {"lq_event_name", "_en"},
      {"lq_event_origin", "_o"},
      {"lq_extra_params_ct", "_epc"},
      {"lq_group_name", "_gn"},
      {"lq_index", "_i"},
      {"lq_list_length", "_ll"},
      {"lq_previous_class", "_pc"},
      {"lq_previous_id", "_pi"},
      {"lq_previous_screen", "_pn"},
      {"lq_realtime", "_r"},
      {"lq_screen", "_sn"},
      {"lq_screen_class", "_sc"},
      {"lq_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_zel_app_id", "_pzel"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  }));
  return table;
}

std::string TLWAliasTables::shortEventName(std::string_view name) {
  const Table& t = eventNameAliases();
  auto it = t.find(name);
  return it == t.end() ? std::string(name) : it->second;
}

std::string TLWAliasTables::longEventName(std::string_view name) {
  const Table& t = reverseEventNameAliases();
  auto it = t.find(name);
  return it == t.end() ? std::string(name) : it->second;
}

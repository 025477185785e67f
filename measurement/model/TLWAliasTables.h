#pragma once
// The long-to-short name tables: public callers and log output use long names
// ("session_start"), the library stores and uploads short ones ("_s").
//
// Thread-safety: each table is built once per process on first use, under a one-time
// guard, and is read-only afterwards; any thread may read. The references stay valid for
// the life of the process.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

// Lets the tables be searched with a string_view without building a string.
struct TLWStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

class TLWAliasTables {
 public:
  using Table = std::unordered_map<std::string, std::string, TLWStringHash, std::equal_to<>>;

  // Event names, long to short (33 entries; "tarnwick_campaign" and "lq_campaign" share "_cmp").
  static const Table& eventNameAliases();
  // Short to long, derived from the event table.
  static const Table& reverseEventNameAliases();
  // Long event names that public callers may log although they are in the event table.
  static const Table& publicAllowedEventNameAliases();
  // User property names, long to short.
  static const Table& userPropertyNameAliases();
  // Parameter names, long to short; used only for log output.
  static const Table& parameterNameAliases();

  // The short name for a long event name, or the name itself.
  static std::string shortEventName(std::string_view name);
  // The long name for a short event name, or the name itself.
  static std::string longEventName(std::string_view name);
};

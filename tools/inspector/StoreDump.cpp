#include "tools/inspector/StoreDump.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "platform/PropertyList.h"
#include "tools/common/TLWPBJson.h"

namespace tools {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::nullopt_t fail(DumpFailure* failure, int status, std::string reason) {
  if (failure) *failure = {status, std::move(reason)};
  return std::nullopt;
}

std::string isoTime(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > 1e11) return "";
  time_t whole = static_cast<time_t>(seconds);
  struct tm parts {};
  if (!gmtime_r(&whole, &parts)) return "";
  char text[96];
  int millis = static_cast<int>(std::lround((seconds - static_cast<double>(whole)) * 1000));
  if (millis > 999) millis = 999;
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return text;
}

std::string base64(std::string_view bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

// One cell as SQLite holds it; blobs stay bytes.
struct Cell {
  int type = SQLITE_NULL;
  std::int64_t integer = 0;
  double real = 0;
  std::string bytes;

  json value() const {
    switch (type) {
      case SQLITE_INTEGER: return integer;
      case SQLITE_FLOAT: return real;
      case SQLITE_TEXT: return bytes;
      case SQLITE_BLOB: return json{{"blob_bytes", bytes.size()}};
      default: return nullptr;
    }
  }
  double number() const { return type == SQLITE_INTEGER ? static_cast<double>(integer) : type == SQLITE_FLOAT ? real : 0; }
};
using Row = std::map<std::string, Cell>;

class ReadOnlyDatabase {
 public:
  ~ReadOnlyDatabase() {
    if (db_) sqlite3_close_v2(db_);
  }
  bool open(const std::string& uri, std::string* error) {
    if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
      *error = db_ ? sqlite3_errmsg(db_) : "out of memory";
      return false;
    }
    return true;
  }
  bool query(const std::string& sql, std::int64_t limit, std::vector<Row>* rows, std::string* error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
    if (sqlite3_bind_parameter_count(statement) > 0) sqlite3_bind_int64(statement, 1, limit);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      Row row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        Cell cell;
        cell.type = sqlite3_column_type(statement, i);
        if (cell.type == SQLITE_INTEGER) cell.integer = sqlite3_column_int64(statement, i);
        if (cell.type == SQLITE_FLOAT) cell.real = sqlite3_column_double(statement, i);
        if (cell.type == SQLITE_TEXT || cell.type == SQLITE_BLOB) {
          const void* data = cell.type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(statement, i))
                                                      : sqlite3_column_blob(statement, i);
          cell.bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(sqlite3_column_bytes(statement, i)));
        }
        row.emplace(sqlite3_column_name(statement, i), std::move(cell));
      }
      rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE;
  }

 private:
  sqlite3* db_ = nullptr;
};

// A stored message as JSON, or {"error": ...} when it does not decode.
json decoded(const TLWPBMessageDescriptor& descriptor, const Cell& cell, bool gzipped = false) {
  if (cell.type != SQLITE_BLOB) return json{{"error", "no data"}};
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(cell.bytes.data()), cell.bytes.size());
  std::string reason;
  std::optional<std::vector<std::uint8_t>> inflated;
  if (gzipped) {
    inflated = gunzipIfNeeded(bytes, &reason);
    if (!inflated) return json{{"error", "cannot inflate: " + reason}};
    bytes = *inflated;
  }
  TLWError error;
  auto info = TLWPBDecodeMessageInfo(descriptor, bytes, &error);
  if (!info) return json{{"error", "does not decode: " + error.description()}};
  return messageToJson(*info);
}

void putTime(json& object, const char* key, const Cell& cell) {
  if (cell.type == SQLITE_NULL) return;
  object[key] = cell.value();
  if (std::string text = isoTime(cell.number()); !text.empty()) object[std::string(key) + "_utc"] = text;
}

std::string percentEncodedPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<json> readTables(ReadOnlyDatabase& db, std::size_t rowLimit, DumpFailure* failure) {
  std::string error;
  std::vector<Row> tables;
  if (!db.query("SELECT name FROM sqlite_master WHERE type = 'table'", 0, &tables, &error))
    return fail(failure, 2, "not a measurement database: " + error);
  std::set<std::string> names;
  for (const auto& row : tables) names.insert(row.at("name").bytes);
  for (const char* required : {"app_metadata", "raw_events", "raw_events_metadata", "queue", "user_attributes"}) {
    if (!names.count(required)) return fail(failure, 2, std::string("not a measurement database: no table ") + required);
  }
  const std::int64_t limit = rowLimit == 0 ? -1 : static_cast<std::int64_t>(rowLimit);
  json dump = json::object();
  json counts = json::object();
  auto rowsOf = [&](const std::string& table, const std::string& order) -> std::optional<std::vector<Row>> {
    std::vector<Row> rows, count;
    if (!db.query("SELECT count(*) AS n FROM " + table, 0, &count, &error) ||
        !db.query("SELECT rowid AS row_id, * FROM " + table + " ORDER BY " + order + " LIMIT ?", limit, &rows, &error)) {
      return std::nullopt;
    }
    counts[table] = count.at(0).at("n").integer;
    return rows;
  };
  auto column = [](const Row& row, const char* name) -> const Cell& {
    static const Cell kNull;
    auto it = row.find(name);
    return it == row.end() ? kNull : it->second;
  };

  auto metadataRows = rowsOf("app_metadata", "rowid");
  if (!metadataRows) return fail(failure, 2, "cannot read app_metadata: " + error);
  json metadata = json::object(), daily = json::object(), configuration = nullptr;
  if (!metadataRows->empty()) {
    const Row& row = metadataRows->front();
    for (const char* key : {"last_bundle_index"}) metadata[key] = column(row, key).value();
    for (const char* key : {"last_bundle_start_timestamp", "last_bundle_end_timestamp"}) putTime(metadata, key, column(row, key));
    for (const char* key : {"day", "daily_events_count", "daily_public_events_count", "daily_conversions_count",
                            "daily_error_events_count", "daily_real_time_conversion_events_count"})
      daily[key] = column(row, key).value();
    if (column(row, "remote_config_data").type == SQLITE_BLOB) {
      configuration = json::object();
      putTime(configuration, "stored_timestamp", column(row, "remote_config_timestamp"));
      configuration["config"] = decoded(TLWPBMeasurementConfig::descriptor(), column(row, "remote_config_data"));
    }
  }
  dump["metadata"] = metadata;
  dump["daily_counts"] = daily;
  dump["configuration"] = configuration;

  auto raw = rowsOf("raw_events", "rowid");
  if (!raw) return fail(failure, 2, "cannot read raw_events: " + error);
  json events = json::array();
  for (const Row& row : *raw) {
    json event{{"row_id", column(row, "row_id").value()}, {"name", column(row, "name").value()}};
    putTime(event, "timestamp", column(row, "timestamp"));
    event["metadata_fingerprint"] = column(row, "metadata_fingerprint").value();
    event["realtime"] = column(row, "is_realtime").integer != 0;
    json message = decoded(TLWPBEvent::descriptor(), column(row, "data"));
    for (auto it = message.begin(); it != message.end(); ++it) event[it.key()] = it.value();
    events.push_back(std::move(event));
  }
  dump["raw_events"] = std::move(events);

  auto fingerprints = rowsOf("raw_events_metadata", "rowid");
  if (!fingerprints) return fail(failure, 2, "cannot read raw_events_metadata: " + error);
  json eventMetadata = json::array();
  for (const Row& row : *fingerprints) {
    eventMetadata.push_back({{"metadata_fingerprint", column(row, "metadata_fingerprint").value()},
                             {"bundle", decoded(TLWPBMeasurementBundle::descriptor(), column(row, "metadata"))}});
  }
  dump["event_metadata"] = std::move(eventMetadata);

  auto queue = rowsOf("queue", "rowid");
  if (!queue) return fail(failure, 2, "cannot read queue: " + error);
  json bundles = json::array();
  for (const Row& row : *queue) {
    json bundle{{"row_id", column(row, "row_id").value()}};
    putTime(bundle, "bundle_end_timestamp", column(row, "bundle_end_timestamp"));
    bundle["retry_count"] = column(row, "retry_count").integer;
    bundle["realtime"] = column(row, "is_realtime").integer != 0;
    bundle["bundle"] = decoded(TLWPBMeasurementBundle::descriptor(), column(row, "data"), true);
    bundles.push_back(std::move(bundle));
  }
  dump["queued_bundles"] = std::move(bundles);

  auto attributes = rowsOf("user_attributes", "name");
  if (!attributes) return fail(failure, 2, "cannot read user_attributes: " + error);
  json properties = json::array();
  for (const Row& row : *attributes) {
    json property{{"name", column(row, "name").value()}, {"value", column(row, "value").value()},
                  {"origin", column(row, "origin").value()}};
    putTime(property, "set_timestamp", column(row, "set_timestamp"));
    properties.push_back(std::move(property));
  }
  dump["user_properties"] = std::move(properties);

  json conditional = json::array();
  if (names.count("conditional_properties")) {
    auto rows = rowsOf("conditional_properties", "name");
    if (!rows) return fail(failure, 2, "cannot read conditional_properties: " + error);
    for (const Row& row : *rows) {
      json property{{"name", column(row, "name").value()},
                    {"value", column(row, "value").value()},
                    {"origin", column(row, "origin").value()},
                    {"active", column(row, "active").integer != 0},
                    {"trigger_event_name", column(row, "trigger_event_name").value()},
                    {"trigger_timeout", column(row, "trigger_timeout").value()},
                    {"time_to_live", column(row, "time_to_live").value()}};
      putTime(property, "creation_timestamp", column(row, "creation_timestamp"));
      putTime(property, "triggered_timestamp", column(row, "triggered_timestamp"));
      for (const char* key : {"triggered_event", "timed_out_event", "expired_event"}) {
        if (column(row, key).type != SQLITE_NULL) property[key] = decoded(TLWPBEvent::descriptor(), column(row, key));
      }
      conditional.push_back(std::move(property));
    }
  }
  dump["conditional_user_properties"] = std::move(conditional);
  dump["counts"] = std::move(counts);
  return dump;
}

// A private copy of the database and its log, for a log without an index: opening that
// in place would create the index beside the app's files.
class PrivateCopy {
 public:
  ~PrivateCopy() {
    std::error_code ec;
    if (!directory_.empty()) fs::remove_all(directory_, ec);
  }
  std::optional<std::string> make(const std::string& path, std::string* error) {
    std::string pattern = (fs::temp_directory_path() / "tallywise-inspect-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      *error = std::string("cannot make a private copy: ") + std::strerror(errno);
      return std::nullopt;
    }
    directory_ = pattern;
    const fs::path copy = directory_ / "database.sql";
    std::error_code ec;
    fs::copy_file(path, copy, ec);
    if (!ec) fs::copy_file(path + "-wal", copy.string() + "-wal", ec);
    if (ec) {
      *error = "cannot make a private copy: " + ec.message();
      return std::nullopt;
    }
    return copy.string();
  }

 private:
  fs::path directory_;
};

}  // namespace

std::optional<json> dumpMeasurementDatabase(const std::string& path, std::size_t rowLimit, DumpFailure* failure) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(failure, 1, "cannot open " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail(failure, 1, "cannot open " + path + ": not a regular file");
  {
    std::ifstream in(path, std::ios::binary);
    char header[16] = {};
    if (!in) return fail(failure, 1, "cannot open " + path + ": " + std::strerror(errno));
    in.read(header, sizeof header);
    if (in.gcount() != sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0)
      return fail(failure, 2, path + " is not a measurement database: not an SQLite file");
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool withLog = exists(path + "-wal");
    PrivateCopy copy;
    std::string error, uri, how;
    if (!withLog) {
      uri = "file:" + percentEncodedPath(path) + "?immutable=1";
      how = "the file alone (no write-ahead log, so no app has it open)";
    } else if (exists(path + "-shm")) {
      uri = "file:" + percentEncodedPath(path) + "?mode=ro";
      how = "read-only through the write-ahead log (an app may have it open)";
    } else {
      auto copied = copy.make(path, &error);
      if (!copied) return fail(failure, 1, error);
      uri = "file:" + percentEncodedPath(*copied) + "?mode=ro";
      how = "a private copy with its write-ahead log (the log's index is missing)";
    }
    ReadOnlyDatabase db;
    if (!db.open(uri, &error)) return fail(failure, 1, "cannot open " + path + ": " + error);
    auto dump = readTables(db, rowLimit, failure);
    if (!dump) {
      if (failure) failure->reason = path + ": " + failure->reason;
      return std::nullopt;
    }
    // An app that opened the file meanwhile may have moved pages from its log into it.
    if (!withLog && exists(path + "-wal") && attempt == 0) continue;
    (*dump)["path"] = path;
    (*dump)["read"] = how;
    return dump;
  }
  return fail(failure, 1, "cannot read " + path + ": it kept changing");
}

namespace {

json plistToJson(const platform::Value& value) {
  using Kind = platform::Value::Kind;
  switch (value.kind()) {
    case Kind::Bool: return *value.boolValue();
    case Kind::Int: return *value.int64Value();
    case Kind::UInt: return *value.uint64Value();
    case Kind::Double: return *value.doubleValue();
    case Kind::String: return *value.string();
    case Kind::Data: {
      const auto& bytes = *value.dataBytes();
      std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      json out{{"data", base64(text)}};
      bool printable = platform::utf8::isValid(text);
      for (unsigned char c : text) printable = printable && (c >= 0x20 || c == '\n' || c == '\t');
      if (printable) out["utf8"] = std::string(text);
      return out;
    }
    case Kind::Date: return json{{"date", isoTime(value.dateValue()->secondsSince1970)}};
    case Kind::Array: {
      json out = json::array();
      for (const auto& item : *value.array()) out.push_back(plistToJson(item));
      return out;
    }
    case Kind::Dictionary: {
      json out = json::object();
      for (const auto& [key, item] : *value.dictionary()) out[key.isString() ? *key.string() : key.description()] = plistToJson(item);
      return out;
    }
    default: return nullptr;
  }
}

std::string scalarText(const json& value) {
  if (value.is_string()) return json(value).dump(-1, ' ', false, json::error_handler_t::replace);
  if (value.is_object() && value.contains("data")) {
    std::string text = "<data " + value["data"].get<std::string>() + ">";
    if (value.contains("utf8")) text += " " + value["utf8"].dump(-1, ' ', false, json::error_handler_t::replace);
    return text;
  }
  if (value.is_object() && value.contains("date") && value.size() == 1) return value["date"].get<std::string>();
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool isScalar(const json& value) {
  return !value.is_structured() || (value.is_object() && (value.contains("data") || value.contains("date")) &&
                                    value.size() <= 2 && !value.contains("error"));
}

// A parameter or user property value, whichever field holds it.
std::string fieldValueText(const json& item) {
  for (const char* key : {"string_value", "int_value", "double_value", "float_value", "value"}) {
    if (item.contains(key)) return scalarText(item[key]);
  }
  if (item.contains("param_value")) {
    std::string out = "[";
    for (const auto& element : item["param_value"]) {
      out += out.size() > 1 ? ", {" : "{";
      bool first = true;
      for (const auto& p : element.value("param_value", json::array())) {
        out += (first ? "" : ", ") + p.value("name", std::string("?")) + " = " + fieldValueText(p);
        first = false;
      }
      out += "}";
    }
    return out + "]";
  }
  return "(no value)";
}

void appendText(const json& value, int indent, std::string& out) {
  const std::string pad(static_cast<std::size_t>(indent) * 2, ' ');
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      const json& item = it.value();
      if ((it.key() == "params" || it.key() == "user_attributes") && item.is_array()) {
        out += pad + it.key() + ":\n";
        for (const auto& p : item) out += pad + "  " + p.value("name", std::string("?")) + " = " + fieldValueText(p) + "\n";
      } else if (isScalar(item)) {
        out += pad + it.key() + ": " + scalarText(item) + "\n";
      } else if (item.empty()) {
        out += pad + it.key() + ": " + (item.is_array() ? "(none)" : "{}") + "\n";
      } else {
        out += pad + it.key() + ":\n";
        appendText(item, indent + 1, out);
      }
    }
  } else if (value.is_array()) {
    for (const auto& item : value) {
      if (isScalar(item)) {
        out += pad + "- " + scalarText(item) + "\n";
      } else {
        out += pad + "-\n";
        appendText(item, indent + 1, out);
      }
    }
  } else {
    out += pad + scalarText(value) + "\n";
  }
}

}  // namespace

std::optional<json> dumpPropertyList(const std::string& path, DumpFailure* failure) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(failure, 1, "cannot open " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail(failure, 1, "cannot open " + path + ": not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > platform::PropertyList::kMaxBytes)
    return fail(failure, 2, path + " is not a property list: too large");
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(failure, 1, "cannot open " + path + ": " + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string reason;
  auto value = platform::PropertyList::propertyListWithData(bytes, &reason);
  if (!value) return fail(failure, 2, path + " is not a property list: " + reason);
  return plistToJson(*value);
}

std::string describeDump(const json& dump) {
  std::string out;
  if (!dump.is_object() || !dump.contains("raw_events")) {
    appendText(dump, 0, out);
    return out;
  }
  // A database: its sections in the order a person looks for things.
  static const char* const kOrder[] = {"path",           "read",           "metadata",
                                       "daily_counts",   "configuration",  "raw_events",
                                       "event_metadata", "queued_bundles", "user_properties",
                                       "conditional_user_properties"};
  static const std::map<std::string, std::string> kTables = {
      {"raw_events", "raw_events"},   {"event_metadata", "raw_events_metadata"},
      {"queued_bundles", "queue"},    {"user_properties", "user_attributes"},
      {"conditional_user_properties", "conditional_properties"}};
  for (const char* key : kOrder) {
    const json& value = dump.value(key, json());
    std::string heading = key;
    if (auto table = kTables.find(key); table != kTables.end() && value.is_array()) {
      heading += " (" + std::to_string(value.size());
      if (auto total = dump["counts"].find(table->second); total != dump["counts"].end() && *total != value.size())
        heading += " of " + total->dump();
      heading += ")";
    }
    if (isScalar(value)) {
      out += heading + ": " + (value.is_null() ? std::string("(none)") : scalarText(value)) + "\n";
      continue;
    }
    out += heading + ":\n";
    if (std::string_view(key) != "raw_events") {
      appendText(value, 1, out);
      continue;
    }
    for (const auto& event : value) {
      out += "  #" + event.value("row_id", json()).dump() + " " + event.value("name", std::string("?")) + " at " +
             event.value("timestamp_utc", std::string("?")) + ", metadata " +
             event.value("metadata_fingerprint", json()).dump() + (event.value("realtime", false) ? ", real time" : "") +
             "\n";
      if (event.contains("error")) out += "    error: " + scalarText(event["error"]) + "\n";
      for (const auto& p : event.value("params", json::array()))
        out += "    " + p.value("name", std::string("?")) + " = " + fieldValueText(p) + "\n";
    }
  }
  return out;
}

}  // namespace tools

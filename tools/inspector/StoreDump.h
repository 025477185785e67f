#pragma once
// What an app keeps on disk, read for a person or a script: the measurement database and
// the property lists of the sandbox (preference suites, the keychain file).
//
// The database is only ever read, and never through a path that writes: with a
// write-ahead log beside it (an app has it open) it is opened read-only through that log,
// sharing the log's index as any reader does; without one it is read as an unchanging
// file (and read again through the log should one appear meanwhile); a log without its
// index (an app that died) is read from a private copy. No -wal or -shm file is created
// next to the database and nothing in it is changed.
//
// Thread-safety: the functions touch only their arguments and the files they name.
// Failures: nullopt with a one-line reason and an exit status (1: cannot open or read,
// 2: not a measurement database or not a property list). A row whose blob does not
// decode is kept with an "error" member instead.

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tools {

struct DumpFailure {
  int status = 0;
  std::string reason;
};

// The database as JSON: "path", "read" (how it was opened), "metadata", "daily_counts",
// "configuration", "raw_events", "event_metadata", "queued_bundles", "user_properties",
// "conditional_user_properties", and "counts" (rows per table). At most `rowLimit` rows
// per table (0: all).
std::optional<nlohmann::json> dumpMeasurementDatabase(const std::string& path, std::size_t rowLimit,
                                                      DumpFailure* failure);

// A property list as JSON: data as {"data": base64, "utf8": text when it is text}, dates
// as {"date": ISO 8601}.
std::optional<nlohmann::json> dumpPropertyList(const std::string& path, DumpFailure* failure);

// Indented text for a dump; event parameters and user properties one per line as
// "name = value".
std::string describeDump(const nlohmann::json& dump);

}  // namespace tools

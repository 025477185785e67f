#include "measurement/experiments/TLWEDatabase.h"

#include "measurement/experiments/TLWPBExperimentMessages.h"
#include "measurement/storage/TLWSqliteStore.h"

namespace {

const char* const kTables[] = {kTLWEPendingSnapshotTable, kTLWEActivatedSnapshotTable, kTLWELaunchedSnapshotTable};
constexpr std::int64_t kRowLimit = 100000;

}  // namespace

TLWEDatabase::TLWEDatabase(std::unique_ptr<TLWSqliteStore> store) : store_(std::move(store)) {}
TLWEDatabase::~TLWEDatabase() = default;

std::unique_ptr<TLWEDatabase> TLWEDatabase::initWithPath(const std::string& path,
                                                         std::shared_ptr<platform::Environment> env,
                                                         std::shared_ptr<TLWMonitor> monitor, TLWError* error) {
  auto store = TLWSqliteStore::initWithDatabasePath(path, error, std::move(env), std::move(monitor));
  if (!store) return nullptr;
  std::unique_ptr<TLWEDatabase> database(new TLWEDatabase(std::move(store)));
  if (!database->ensureAllTables(error)) return nullptr;
  return database;
}

bool TLWEDatabase::ensureAllTables(TLWError* error) {
  const TLWSqliteStore::ColumnInfo columns{{"sdk_name", "TEXT NOT NULL PRIMARY KEY"},
                                           {"snapshotProto", "BLOB NOT NULL"},
                                           {"timestamp", "REAL NOT NULL"}};
  const TLWSqliteStore::ColumnInfo addOns{{"manually_activated", "INTEGER"}};
  for (const char* table : kTables) {
    if (!store_->ensureTableWithName(table, columns, addOns, error)) return false;
  }
  return true;
}

bool TLWEDatabase::reset(TLWError* error) {
  return performTransaction(error, [&] {
    for (const char* table : kTables) {
      if (!store_->deleteAllRecordsFromTableWithName(table, error)) return false;
    }
    return true;
  });
}

bool TLWEDatabase::performTransaction(TLWError* error, const std::function<bool()>& block) {
  return store_->performTransactionWithError(error, block);
}

std::optional<std::vector<TLWESnapshot>> TLWEDatabase::fetchAll(const char* table, TLWError* error) {
  auto rows = store_->recordsForQuery(std::string("SELECT rowid, * FROM ") + table + " ORDER BY rowid LIMIT " +
                                          std::to_string(kRowLimit),
                                      {}, error);
  if (!rows) return std::nullopt;
  std::vector<TLWESnapshot> out;
  for (const auto& row : *rows) {
    const auto* bytes = row.get("snapshotProto").dataBytes();
    if (!bytes) continue;
    auto proto = TLWPBSnapshot::initWithBuffer(std::span<const std::uint8_t>(*bytes));
    auto snapshot = proto ? TLWESnapshot::fromProto(*proto) : std::nullopt;
    if (!snapshot) continue;
    snapshot->timestamp = row.get("timestamp").doubleValue().value_or(0);
    snapshot->manuallyActivated = row.get("manually_activated").int64Value().value_or(0) == 1;
    out.push_back(std::move(*snapshot));
  }
  return out;
}

std::optional<std::vector<TLWESnapshot>> TLWEDatabase::fetchAllActivatedSnapshots(TLWError* error) {
  return fetchAll(kTLWEActivatedSnapshotTable, error);
}
std::optional<std::vector<TLWESnapshot>> TLWEDatabase::fetchAllPendingSnapshots(TLWError* error) {
  return fetchAll(kTLWEPendingSnapshotTable, error);
}
std::optional<std::vector<TLWESnapshot>> TLWEDatabase::fetchAllLaunchedSnapshots(TLWError* error) {
  return fetchAll(kTLWELaunchedSnapshotTable, error);
}

bool TLWEDatabase::writeSnapshot(const TLWESnapshot& snapshot, const char* table, TLWError* error) {
  auto bytes = snapshot.toProto()->protoBuffer(error);
  if (!bytes) return false;
  TLWSqliteStore::Record record;
  record.set("sdk_name", snapshot.SDKName);
  record.set("snapshotProto", platform::Value::data(std::move(*bytes)));
  record.set("timestamp", snapshot.timestamp);
  record.set("manually_activated", std::int64_t{snapshot.manuallyActivated ? 1 : 0});
  return store_->upsertRecord(record, table, error);
}

bool TLWEDatabase::deleteSDK(const char* table, const std::string& sdkName, TLWError* error) {
  return store_->deleteRecordsFromTableWithName(table, "sdk_name = ?", {platform::Value(sdkName)}, error).has_value();
}

bool TLWEDatabase::activateSnapshot(const TLWESnapshot& snapshot, double timestamp, TLWError* error) {
  TLWESnapshot launched{snapshot.SDKName, {}, timestamp, snapshot.manuallyActivated};
  TLWESnapshot activated = launched;
  for (const auto& experiment : snapshot.experiments) {
    (experiment.experimentID == 0 ? launched : activated).experiments.push_back(experiment);
  }
  if (!launched.experiments.empty() && !writeSnapshot(launched, kTLWELaunchedSnapshotTable, error)) return false;
  // Written even without experiments: it replaces the one in force, as it does in memory,
  // so that an ended experiment is not reloaded at the next start.
  if (!writeSnapshot(activated, kTLWEActivatedSnapshotTable, error)) return false;
  return store_
      ->deleteRecordsFromTableWithName(kTLWEPendingSnapshotTable, "sdk_name = ? AND timestamp <= ?",
                                       {platform::Value(snapshot.SDKName), platform::Value(timestamp)}, error)
      .has_value();
}

bool TLWEDatabase::upsertPendingExperimentSnapshots(const std::vector<TLWESnapshot>& snapshots, TLWError* error) {
  return performTransaction(error, [&] {
    for (const auto& snapshot : snapshots) {
      if (!writeSnapshot(snapshot, kTLWEPendingSnapshotTable, error)) return false;
    }
    return true;
  });
}

bool TLWEDatabase::activatePendingSnapshotsAutomatically(TLWError* error) {
  auto pending = fetchAllPendingSnapshots(error);
  if (!pending) return false;
  for (const auto& snapshot : *pending) {
    if (snapshot.manuallyActivated) continue;
    if (!activateSnapshot(snapshot, snapshot.timestamp, error)) return false;
    if (!deleteSDK(kTLWEPendingSnapshotTable, snapshot.SDKName, error)) return false;
  }
  return true;
}

bool TLWEDatabase::deleteStaleActivatedSnapshots(double now, TLWError* error) {
  return store_
      ->deleteRecordsFromTableWithName(kTLWEActivatedSnapshotTable, "timestamp <= ?",
                                       {platform::Value(now - kTLWEStaleSnapshotSeconds)}, error)
      .has_value();
}

bool TLWEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& sdkName, TLWError* error) {
  return deleteSDK(kTLWEActivatedSnapshotTable, sdkName, error);
}
bool TLWEDatabase::deletePendingExperimentsOfSDKName(const std::string& sdkName, TLWError* error) {
  return deleteSDK(kTLWEPendingSnapshotTable, sdkName, error);
}
bool TLWEDatabase::deleteLaunchedExperimentSDKName(const std::string& sdkName, TLWError* error) {
  return deleteSDK(kTLWELaunchedSnapshotTable, sdkName, error);
}

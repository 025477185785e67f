#pragma once
// TLWEDatabase: the SDK-experiment snapshots in a SQLite file of their own, in three
// tables of one row per SDK: pending (fetched), activated (in force) and launched
// (experiment ID 0). A stored snapshot is a serialized Snapshot message.
//
// Thread-safety: none; the task manager uses it on its worker queue only.
// Ownership: owned by the task manager.
// Failure: operations return false / nullopt and fill `error`; a transaction that fails
// leaves the tables as they were. A stored row that does not decode is skipped.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/TLWESnapshot.h"
#include "measurement/monitor/TLWError.h"
#include "platform/Environment.h"

class TLWSqliteStore;
class TLWMonitor;

inline constexpr const char* kTLWEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kTLWEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kTLWELaunchedSnapshotTable = "launched_snapshot_table";
// Activated snapshots older than this are stale (3 days).
inline constexpr double kTLWEStaleSnapshotSeconds = 259200;

class TLWEDatabase {
 public:
  // Opens (creating when needed) the file and ensures the tables; null (logged) on failure.
  static std::unique_ptr<TLWEDatabase> initWithPath(const std::string& path, std::shared_ptr<platform::Environment> env,
                                                    std::shared_ptr<TLWMonitor> monitor, TLWError* error = nullptr);
  ~TLWEDatabase();

  [[nodiscard]] bool ensureAllTables(TLWError* error);
  [[nodiscard]] bool reset(TLWError* error);
  [[nodiscard]] bool performTransaction(TLWError* error, const std::function<bool()>& block);

  std::optional<std::vector<TLWESnapshot>> fetchAllActivatedSnapshots(TLWError* error);
  std::optional<std::vector<TLWESnapshot>> fetchAllPendingSnapshots(TLWError* error);
  std::optional<std::vector<TLWESnapshot>> fetchAllLaunchedSnapshots(TLWError* error);

  // Experiments with ID 0 go to the launched table, the others to the activated table
  // (when there are any), both at `timestamp`; pending rows of the SDK up to `timestamp`
  // are deleted.
  [[nodiscard]] bool activateSnapshot(const TLWESnapshot& snapshot, double timestamp, TLWError* error);
  [[nodiscard]] bool upsertPendingExperimentSnapshots(const std::vector<TLWESnapshot>& snapshots, TLWError* error);
  // Activates every pending snapshot not activated by hand, with its stored timestamp.
  [[nodiscard]] bool activatePendingSnapshotsAutomatically(TLWError* error);
  [[nodiscard]] bool deleteStaleActivatedSnapshots(double now, TLWError* error);
  [[nodiscard]] bool deleteActivatedExperimentsOfSDKName(const std::string& sdkName, TLWError* error);
  [[nodiscard]] bool deletePendingExperimentsOfSDKName(const std::string& sdkName, TLWError* error);
  [[nodiscard]] bool deleteLaunchedExperimentSDKName(const std::string& sdkName, TLWError* error);

 private:
  explicit TLWEDatabase(std::unique_ptr<TLWSqliteStore> store);
  std::optional<std::vector<TLWESnapshot>> fetchAll(const char* table, TLWError* error);
  [[nodiscard]] bool writeSnapshot(const TLWESnapshot& snapshot, const char* table, TLWError* error);
  [[nodiscard]] bool deleteSDK(const char* table, const std::string& sdkName, TLWError* error);

  std::unique_ptr<TLWSqliteStore> store_;
};

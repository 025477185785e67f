#pragma once
// The bare-SQLite baseline of the write benchmarks: one connection on a database file the
// library created (so the schema is the same), in the library's journal mode (WAL,
// synchronous=NORMAL), running the statements the library's per-event write transaction
// runs, each prepared once. Each step below stands for one library call and runs the
// same statements in the same order; benchmarks compose the steps their transaction has.
//
// Not thread-safe; one benchmark thread owns it. Steps answer false / nullopt when SQLite
// fails and leave the transaction for commit() or rollback() to end.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class TLWEvent;

namespace tw_bench {

class BareWriteBaseline {
 public:
  struct DailyCounts {
    std::int64_t day = 0;
    std::int64_t conversions = 0;
    std::int64_t allEvents = 0;
    std::int64_t publicEvents = 0;
    std::int64_t errorEvents = 0;
    std::int64_t realtimeConversions = 0;
  };
  struct Aggregates {
    std::int64_t lifetimeCount = 0;
    std::int64_t currentBundleCount = 0;
    std::int64_t currentSessionCount = 0;
    double lastFireTimestamp = 0;
  };

  explicit BareWriteBaseline(const std::string& databasePath);
  ~BareWriteBaseline();
  BareWriteBaseline(const BareWriteBaseline&) = delete;
  BareWriteBaseline& operator=(const BareWriteBaseline&) = delete;

  // Open, configured and every statement prepared.
  bool isOpen() const { return ready_; }
  sqlite3* handle() const { return db_; }
  // A statement of the caller's own, finalized with the connection; null on failure.
  sqlite3_stmt* prepare(const char* sql);

  // BEGIN EXCLUSIVE TRANSACTION / END TRANSACTION / ROLLBACK, as the library issues them.
  bool begin();
  bool commit();
  bool rollback();
  // SAVEPOINT / RELEASE / ROLLBACK TO around one event inside a group, prepared once as
  // the library's statement cache holds them.
  bool savepoint();
  bool release();
  bool rollbackToSavepoint();

  // dailyCounts(): the counters row.
  std::optional<DailyCounts> readDailyCounts();
  // updateDailyCounts(): the row written back.
  bool writeDailyCounts(const DailyCounts& counts);
  // eventAggregatesWithName(): nullopt for a name without a row.
  std::optional<Aggregates> readAggregates(const std::string& name);
  // updateEventAggregates(): the existence check, the table-size check for a new name,
  // then the upsert.
  bool writeAggregates(const std::string& name, const Aggregates& aggregates);
  // publicEventCount().
  std::optional<std::int64_t> countPublicEventNames();
  // userAttributesIncludingInternal(): every stored property row read.
  bool readUserAttributes();
  // insertIfNotExistsRawEventMetadata() for metadata bytes with this fingerprint.
  bool insertMetadataIfMissing(std::int64_t fingerprint, const std::vector<std::uint8_t>& metadata);
  // deleteRawEventsOverAbsoluteLimit() keeping `keep` rows: the number deleted.
  std::optional<std::int64_t> trimRawEvents(std::int64_t keep);
  // insertRawEvent(); `payload` as rawEventPayload() makes it.
  bool insertRawEvent(const std::string& name, double timestamp, std::int64_t metadataFingerprint,
                      const std::vector<std::uint8_t>& payload, bool isRealtime);

  // count(1) of a table; -1 on failure.
  std::int64_t rowCount(const char* table);

 private:
  sqlite3* db_ = nullptr;
  bool ready_ = false;
  std::vector<sqlite3_stmt*> statements_;
  sqlite3_stmt* selectDailyCounts_ = nullptr;
  sqlite3_stmt* updateDailyCounts_ = nullptr;
  sqlite3_stmt* selectAggregates_ = nullptr;
  sqlite3_stmt* countName_ = nullptr;
  sqlite3_stmt* countEvents_ = nullptr;
  sqlite3_stmt* upsertAggregates_ = nullptr;
  sqlite3_stmt* countPublicNames_ = nullptr;
  sqlite3_stmt* selectUserAttributes_ = nullptr;
  sqlite3_stmt* countFingerprint_ = nullptr;
  sqlite3_stmt* countAllMetadata_ = nullptr;
  sqlite3_stmt* insertMetadata_ = nullptr;
  sqlite3_stmt* rawEventCutoff_ = nullptr;
  sqlite3_stmt* deleteRawEventsUpTo_ = nullptr;
  sqlite3_stmt* insertRawEvent_ = nullptr;
  sqlite3_stmt* savepoint_ = nullptr;
  sqlite3_stmt* release_ = nullptr;
  sqlite3_stmt* rollbackTo_ = nullptr;
};

// The bytes the library stores for a raw event: its message without the name.
std::vector<std::uint8_t> rawEventPayload(const TLWEvent& event);

}  // namespace tw_bench

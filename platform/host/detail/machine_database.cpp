#include "platform/host/detail/machine_database.h"

#include <filesystem>
#include <string>

#include "platform/host/control.h"
#include "platform/host/detail/sqlite_memory.h"

namespace kstv::host::detail {

MachineDatabase& MachineDatabase::instance() {
  // Never destroyed: a thread may still call the platform while the process ends (a card
  // monitor's handler probing a volume), as Windows keeps its own state until then.
  static MachineDatabase* const database = new MachineDatabase;
  return *database;
}

MachineDatabase::MachineDatabase() {
  const std::string& directory = machineDirectory();
  std::string path = directory.empty() ? std::string(":memory:")
                                       : (std::filesystem::path(directory) / "machine.db").string();
  useSqliteBlockPool();
  if (sqlite3_open_v2(path.c_str(), db_.put(),
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK)
    storeFailure(db_.get(), "open");
  sqlite3_busy_timeout(db_.get(), 30000);
  if (!directory.empty()) {
    // Write-ahead logging: readers never block the writer, and a process killed in the
    // middle of a write leaves the last committed state.
    execute(db_.get(), "PRAGMA journal_mode=WAL");
    execute(db_.get(), "PRAGMA synchronous=NORMAL");
  }
}

MachineDatabase::~MachineDatabase() { finalizeCachedStatements(db_.get()); }

sqlite3* MachineDatabase::db() {
  for (Transaction* transaction : open_)
    if (transaction->open_ && !transaction->begun_) transaction->begin();
  return db_.get();
}

// A transaction inside another is a savepoint of it, so that a call that fails undoes
// its own changes even within a longer transaction (a test's scratch scope). A reading
// call inside another needs none: it has nothing to undo.
MachineDatabase::Transaction::Transaction(MachineDatabase& database, bool write)
    : database_(database),
      write_(write),
      outermost_(database.open_.empty()),
      savepoint_(!outermost_ && write) {
  database_.open_.push_back(this);
  if (database_.participant_) mark_ = database_.participant_->journalMark();
}

void MachineDatabase::Transaction::begin() {
  begun_ = true;
  sqlite3* db = database_.db_.get();
  if (outermost_)
    SqliteStatement(db, write_ ? "BEGIN IMMEDIATE" : "BEGIN").step();
  else if (savepoint_)
    SqliteStatement(db, "SAVEPOINT nested").step();
}

MachineDatabase::Transaction::~Transaction() {
  database_.open_.pop_back();
  if (!open_ || !(outermost_ || savepoint_)) return;
  if (database_.participant_) database_.participant_->rollBackTo(mark_);
  sqlite3* db = database_.db_.get();
  // SQLite may have ended the transaction itself after a failed statement.
  if (!begun_ || sqlite3_get_autocommit(db)) return;
  if (outermost_) {
    SqliteStatement(db, "ROLLBACK").step();
    return;
  }
  SqliteStatement(db, "ROLLBACK TO nested").step();
  SqliteStatement(db, "RELEASE nested").step();
}

void MachineDatabase::Transaction::commit() {
  if (outermost_ && database_.participant_) database_.participant_->forgetJournal();
  open_ = false;
  if (!begun_) return;
  sqlite3* db = database_.db_.get();
  if (outermost_)
    SqliteStatement(db, "COMMIT").step();
  else if (savepoint_)
    SqliteStatement(db, "RELEASE nested").step();
}

}  // namespace kstv::host::detail

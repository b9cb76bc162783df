#include "platform/host/machine_database.h"

#include <filesystem>
#include <string>

#include "platform/host/control.h"
#include "platform/host/sqlite_memory.h"

namespace kstv::host::detail {

MachineDatabase& MachineDatabase::instance() {
  static MachineDatabase database;
  return database;
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

// A transaction inside another is a savepoint of it, so that a call that fails undoes
// its own changes even within a longer transaction (a test's scratch scope). A reading
// call inside another needs none: it has nothing to undo.
MachineDatabase::Transaction::Transaction(MachineDatabase& database, bool write)
    : database_(database), outermost_(database.depth_++ == 0), savepoint_(!outermost_ && write) {
  if (outermost_)
    SqliteStatement(database_.db(), write ? "BEGIN IMMEDIATE" : "BEGIN").step();
  else if (savepoint_)
    SqliteStatement(database_.db(), "SAVEPOINT nested").step();
}

MachineDatabase::Transaction::~Transaction() {
  --database_.depth_;
  if (!open_ || !(outermost_ || savepoint_)) return;
  // SQLite may have ended the transaction itself after a failed statement.
  if (sqlite3_get_autocommit(database_.db())) return;
  if (outermost_) {
    SqliteStatement(database_.db(), "ROLLBACK").step();
    return;
  }
  SqliteStatement(database_.db(), "ROLLBACK TO nested").step();
  SqliteStatement(database_.db(), "RELEASE nested").step();
}

void MachineDatabase::Transaction::commit() {
  if (outermost_)
    SqliteStatement(database_.db(), "COMMIT").step();
  else if (savepoint_)
    SqliteStatement(database_.db(), "RELEASE nested").step();
  open_ = false;
}

}  // namespace kstv::host::detail

#include "platform/host/machine_database.h"

#include <filesystem>
#include <string>

#include "platform/host/control.h"

namespace kstv::host::detail {

MachineDatabase& MachineDatabase::instance() {
  static MachineDatabase database;
  return database;
}

MachineDatabase::MachineDatabase() {
  const std::string& directory = machineDirectory();
  std::string path = directory.empty() ? std::string(":memory:")
                                       : (std::filesystem::path(directory) / "machine.db").string();
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

MachineDatabase::Transaction::Transaction(MachineDatabase& database, bool write)
    : database_(database), outermost_(database.depth_++ == 0) {
  if (outermost_) execute(database_.db(), write ? "BEGIN IMMEDIATE" : "BEGIN");
}

MachineDatabase::Transaction::~Transaction() {
  --database_.depth_;
  if (outermost_ && open_) sqlite3_exec(database_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void MachineDatabase::Transaction::commit() {
  if (outermost_) execute(database_.db(), "COMMIT");
  open_ = false;
}

}  // namespace kstv::host::detail

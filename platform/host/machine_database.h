// Host build, internal: the emulated machine's database. SQLite, in memory for a process
// of its own, or machine.db in the machine directory so that several processes share
// one machine. Every platform call that touches machine state runs inside one
// transaction of it, under the process's lock.
#pragma once

#include <mutex>

#include "platform/host/sqlite.h"

namespace kstv::host::detail {

class MachineDatabase {
 public:
  static MachineDatabase& instance();

  sqlite3* db() { return db_.get(); }
  // Serialises this process's use of the database; held for the whole of one call.
  std::recursive_mutex& lock() { return lock_; }

  // One transaction: a write transaction takes the database's write lock at once, so
  // that concurrent processes never interleave within one platform call. A transaction
  // opened inside another (on the thread that holds the lock) is a savepoint of it
  // when it writes: committed, its changes join the outer transaction; abandoned, they
  // are undone.
  class Transaction {
   public:
    Transaction(MachineDatabase& database, bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

   private:
    MachineDatabase& database_;
    bool outermost_;
    bool savepoint_;  // a writing transaction inside another
    bool open_ = true;
  };

 private:
  MachineDatabase();
  ~MachineDatabase();

  std::recursive_mutex lock_;
  SqliteConnection db_;
  int depth_ = 0;  // open transactions of the thread holding lock_
};

// The process lock and one transaction, for the duration of one platform call.
class MachineCall {
 public:
  explicit MachineCall(bool write)
      : guard_(MachineDatabase::instance().lock()),
        transaction_(MachineDatabase::instance(), write) {}
  void commit() { transaction_.commit(); }
  sqlite3* db() { return MachineDatabase::instance().db(); }

 private:
  std::lock_guard<std::recursive_mutex> guard_;
  MachineDatabase::Transaction transaction_;
};

}  // namespace kstv::host::detail

// Host build, internal: the emulated machine's database. SQLite, in memory for a process
// of its own, or machine.db in the machine directory so that several processes share
// one machine. Every platform call that touches machine state runs inside one
// transaction of it, under the process's lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/host/detail/sqlite.h"

namespace kstv::host::detail {

// State kept beside the database (a store in memory) that its transactions cover: a
// transaction notes where the participant's journal stands, and a transaction that is
// abandoned takes the participant back there.
class TransactionParticipant {
 public:
  virtual ~TransactionParticipant() = default;
  virtual std::size_t journalMark() const = 0;
  virtual void rollBackTo(std::size_t mark) = 0;
  // The outermost transaction committed: nothing before it can be rolled back.
  virtual void forgetJournal() = 0;
};

class MachineDatabase {
 public:
  static MachineDatabase& instance();
  // One participant at most: the registry store of a private machine.
  void join(TransactionParticipant& participant) { participant_ = &participant; }

  // The connection, with the transactions open so far begun on it: a call that never
  // reaches the database (the registry of a private machine) costs it nothing.
  sqlite3* db();
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
    friend class MachineDatabase;
    void begin();

    MachineDatabase& database_;
    bool write_;
    bool outermost_;
    bool savepoint_;      // a writing transaction inside another
    bool begun_ = false;  // begun on the connection, at its first use
    bool open_ = true;
    std::size_t mark_ = 0;  // the participant's journal when the transaction began
  };

 private:
  MachineDatabase();
  ~MachineDatabase();

  std::recursive_mutex lock_;
  SqliteConnection db_;
  std::vector<Transaction*> open_;  // the transactions of the thread holding lock_
  TransactionParticipant* participant_ = nullptr;
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

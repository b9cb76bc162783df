#include "platform/host/detail/sqlite.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kstv::host::detail {

struct CachedStatement {
  sqlite3_stmt* statement = nullptr;
  bool inUse = false;
};

namespace {

// Looked up by the statement's text without building a string for each lookup.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>()(text);
  }
};
using StatementCache = std::unordered_map<std::string, CachedStatement, TextHash, std::equal_to<>>;

struct StatementCaches {
  std::mutex lock;
  std::unordered_map<sqlite3*, StatementCache> byConnection;
};

// Entries are never moved (the map's nodes are stable), so a statement keeps a pointer
// to its own. Never destroyed: statements of a connection closed during static destruction are
// finalised by its owner through finalizeCachedStatements first.
StatementCaches& caches() {
  static auto* instance = new StatementCaches;
  return *instance;
}

sqlite3_stmt* prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK)
    storeFailure(db, "prepare");
  return statement;
}

}  // namespace

void storeFailure(sqlite3* db, const char* what) {
  std::fprintf(stderr, "emulated machine: %s: %s\n", what, db ? sqlite3_errmsg(db) : "no store");
  std::abort();
}

void execute(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "emulated machine: %s: %s\n", sql, message ? message : "?");
    sqlite3_free(message);
    std::abort();
  }
}

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
  {
    std::lock_guard<std::mutex> guard(caches().lock);
    StatementCache& cache = caches().byConnection[db];
    auto found = cache.find(sql);
    if (found == cache.end()) found = cache.emplace(std::string(sql), CachedStatement{}).first;
    if (!found->second.inUse) {
      if (!found->second.statement) found->second.statement = prepare(db, sql);
      found->second.inUse = true;
      statement_ = found->second.statement;
      cached_ = &found->second;
      return;
    }
  }
  statement_ = prepare(db, sql);
}

SqliteStatement::~SqliteStatement() {
  if (!cached_) {
    sqlite3_finalize(statement_);
    return;
  }
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  std::lock_guard<std::mutex> guard(caches().lock);
  cached_->inUse = false;
}

void finalizeCachedStatements(sqlite3* db) {
  std::lock_guard<std::mutex> guard(caches().lock);
  auto found = caches().byConnection.find(db);
  if (found == caches().byConnection.end()) return;
  for (auto& [text, entry] : found->second) sqlite3_finalize(entry.statement);
  caches().byConnection.erase(found);
}

SqliteStatement& SqliteStatement::bind(std::int64_t value) {
  sqlite3_bind_int64(statement_, nextIndex_++, value);
  return *this;
}

SqliteStatement& SqliteStatement::bind(std::string_view text) {
  sqlite3_bind_text(statement_, nextIndex_++, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::bindBlob(const void* data, std::size_t size) {
  // A zero-length blob must still be a blob, not NULL.
  static const unsigned char kEmpty = 0;
  sqlite3_bind_blob(statement_, nextIndex_++, size ? data : &kEmpty, static_cast<int>(size),
                    SQLITE_TRANSIENT);
  return *this;
}

bool SqliteStatement::step() {
  int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  storeFailure(db_, "step");
}

bool SqliteStatement::isNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t SqliteStatement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string SqliteStatement::text(int column) const {
  auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return data ? std::string(data, sqlite3_column_bytes(statement_, column)) : std::string();
}

std::vector<unsigned char> SqliteStatement::blob(int column) const {
  auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
  int size = sqlite3_column_bytes(statement_, column);
  return data ? std::vector<unsigned char>(data, data + size) : std::vector<unsigned char>();
}

}  // namespace kstv::host::detail

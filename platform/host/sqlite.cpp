#include "platform/host/sqlite.h"

#include <cstdio>
#include <cstdlib>

namespace kstv::host::detail {

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
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), statement_.put(), nullptr) !=
      SQLITE_OK)
    storeFailure(db, "prepare");
}

SqliteStatement& SqliteStatement::bind(std::int64_t value) {
  sqlite3_bind_int64(statement_.get(), nextIndex_++, value);
  return *this;
}

SqliteStatement& SqliteStatement::bind(std::string_view text) {
  sqlite3_bind_text(statement_.get(), nextIndex_++, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::bindBlob(const void* data, std::size_t size) {
  // A zero-length blob must still be a blob, not NULL.
  static const unsigned char kEmpty = 0;
  sqlite3_bind_blob(statement_.get(), nextIndex_++, size ? data : &kEmpty, static_cast<int>(size),
                    SQLITE_TRANSIENT);
  return *this;
}

bool SqliteStatement::step() {
  int result = sqlite3_step(statement_.get());
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  storeFailure(db_, "step");
}

bool SqliteStatement::isNull(int column) const {
  return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
}

std::int64_t SqliteStatement::integer(int column) const {
  return sqlite3_column_int64(statement_.get(), column);
}

std::string SqliteStatement::text(int column) const {
  auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_.get(), column));
  return data ? std::string(data, sqlite3_column_bytes(statement_.get(), column)) : std::string();
}

std::vector<unsigned char> SqliteStatement::blob(int column) const {
  auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement_.get(), column));
  int size = sqlite3_column_bytes(statement_.get(), column);
  return data ? std::vector<unsigned char>(data, data + size) : std::vector<unsigned char>();
}

}  // namespace kstv::host::detail

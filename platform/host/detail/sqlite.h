// Host build, internal: a thin owner over an SQLite connection and its statements.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique.h"

namespace kstv::host::detail {

using SqliteConnection = Unique<sqlite3*, sqlite3_close>;

struct CachedStatement;

// A prepared statement with positional binding; step() walks its rows.
// Statements are prepared once per connection and text and then reused, reset and
// unbound, by the next statement of the same text: preparing is most of the cost of a
// registry call. While one is in use, another of the same text gets a private statement.
class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  SqliteStatement& bind(std::int64_t value);
  SqliteStatement& bind(std::string_view text);
  SqliteStatement& bindBlob(const void* data, std::size_t size);
  // NULL for an absent value.
  template <typename Value>
  SqliteStatement& bindOptional(const std::optional<Value>& value) {
    if (value) return bind(*value);
    sqlite3_bind_null(statement_, nextIndex_++);
    return *this;
  }

  // True while a row is available.
  bool step();
  bool isNull(int column) const;
  std::int64_t integer(int column) const;
  std::string text(int column) const;
  std::vector<unsigned char> blob(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
  CachedStatement* cached_ = nullptr;  // the cache's entry, when the cache owns statement_
  int nextIndex_ = 1;
};

// Finalises the statements kept for `db`; called before the connection is closed.
void finalizeCachedStatements(sqlite3* db);

// Runs SQL text without results; aborts the process on failure, as a broken machine
// store leaves nothing sensible to emulate.
void execute(sqlite3* db, const char* sql);
[[noreturn]] void storeFailure(sqlite3* db, const char* what);

}  // namespace kstv::host::detail

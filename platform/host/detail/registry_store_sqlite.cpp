// The registry store of a machine shared between processes: tables of the machine file.
#include <algorithm>

#include "platform/host/detail/registry_store.h"
#include "platform/host/detail/text.h"

namespace kstv::host::detail {
namespace {

class SqliteRegistryStore final : public RegistryStore {
 public:
  SqliteRegistryStore();

  bool exists(KeyId key) override;
  std::optional<KeyId> findChild(KeyId parent, std::u16string_view name) override;
  KeyId addChild(KeyId parent, std::u16string_view name) override;
  std::optional<std::u16string> childNameAt(KeyId parent, DWORD index) override;
  bool hasChildren(KeyId key) override;
  void removeKey(KeyId key) override;
  std::optional<ValueRecord> findValue(KeyId key, std::u16string_view name) override;
  std::optional<ValueRecord> valueAt(KeyId key, DWORD index) override;
  void setValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                DWORD size) override;
  bool removeValue(KeyId key, std::u16string_view name) override;
  KeyInfo info(KeyId key, bool lengths) override;
  RegistryStore& withChangeLog() override;
  void startChangeLog() override;
  std::vector<KeyId> changedKeys() override;

 private:
  void removeEverything() override;
  sqlite3* db() { return MachineDatabase::instance().db(); }

  bool changeLogReady_ = false;
};

SqliteRegistryStore::SqliteRegistryStore() {
  MachineCall transaction(true);
  execute(db(),
          "CREATE TABLE IF NOT EXISTS reg_keys("
          " id INTEGER PRIMARY KEY AUTOINCREMENT,"
          " parent INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
          " write_time INTEGER NOT NULL, UNIQUE(parent, fold));"
          "CREATE TABLE IF NOT EXISTS reg_values("
          " key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
          " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold));");
  transaction.commit();
  createRoots();
}

bool SqliteRegistryStore::exists(KeyId key) {
  SqliteStatement query(db(), "SELECT 1 FROM reg_keys WHERE id = ?");
  return query.bind(key).step();
}

std::optional<KeyId> SqliteRegistryStore::findChild(KeyId parent, std::u16string_view name) {
  SqliteStatement query(db(), "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
  if (!query.bind(parent).bind(foldedName(name)).step()) return std::nullopt;
  return query.integer(0);
}

KeyId SqliteRegistryStore::addChild(KeyId parent, std::u16string_view name) {
  SqliteStatement insert(db(),
                         "INSERT INTO reg_keys(parent, name, fold, write_time) VALUES(?, ?, ?, ?)");
  insert.bind(parent).bind(wideToUtf8(name)).bind(foldedName(name)).bind(fileTimeNow()).step();
  return sqlite3_last_insert_rowid(db());
}

std::optional<std::u16string> SqliteRegistryStore::childNameAt(KeyId parent, DWORD index) {
  SqliteStatement query(
      db(), "SELECT name FROM reg_keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
  if (!query.bind(parent).bind(static_cast<std::int64_t>(index)).step()) return std::nullopt;
  return utf8ToWide(query.text(0));
}

bool SqliteRegistryStore::hasChildren(KeyId key) {
  SqliteStatement query(db(), "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
  return query.bind(key).step();
}

void SqliteRegistryStore::removeKey(KeyId key) {
  SqliteStatement(db(), "DELETE FROM reg_values WHERE key = ?").bind(key).step();
  SqliteStatement(db(), "DELETE FROM reg_keys WHERE id = ?").bind(key).step();
  forgetAccessLimit(key);
}

std::optional<ValueRecord> SqliteRegistryStore::findValue(KeyId key, std::u16string_view name) {
  SqliteStatement query(db(), "SELECT name, type, data FROM reg_values WHERE key = ? AND fold = ?");
  if (!query.bind(key).bind(foldedName(name)).step()) return std::nullopt;
  return ValueRecord{utf8ToWide(query.text(0)), static_cast<DWORD>(query.integer(1)),
                     query.blob(2)};
}

std::optional<ValueRecord> SqliteRegistryStore::valueAt(KeyId key, DWORD index) {
  SqliteStatement query(
      db(), "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY fold LIMIT 1 OFFSET ?");
  if (!query.bind(key).bind(static_cast<std::int64_t>(index)).step()) return std::nullopt;
  return ValueRecord{utf8ToWide(query.text(0)), static_cast<DWORD>(query.integer(1)),
                     query.blob(2)};
}

void SqliteRegistryStore::setValue(KeyId key, std::u16string_view name, DWORD type,
                                   const BYTE* data, DWORD size) {
  SqliteStatement upsert(db(),
                         "INSERT INTO reg_values(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                         " ON CONFLICT(key, fold) DO UPDATE"
                         " SET type = excluded.type, data = excluded.data");
  upsert.bind(key)
      .bind(wideToUtf8(name))
      .bind(foldedName(name))
      .bind(static_cast<std::int64_t>(type));
  upsert.bindBlob(data, size).step();
  SqliteStatement(db(), "UPDATE reg_keys SET write_time = ? WHERE id = ?")
      .bind(fileTimeNow())
      .bind(key)
      .step();
}

bool SqliteRegistryStore::removeValue(KeyId key, std::u16string_view name) {
  SqliteStatement(db(), "DELETE FROM reg_values WHERE key = ? AND fold = ?")
      .bind(key)
      .bind(foldedName(name))
      .step();
  return sqlite3_changes(db()) != 0;
}

KeyInfo SqliteRegistryStore::info(KeyId key, bool lengths) {
  KeyInfo info;
  if (!lengths) {
    SqliteStatement counts(db(),
                           "SELECT (SELECT COUNT(*) FROM reg_keys WHERE parent = ?1),"
                           " (SELECT COUNT(*) FROM reg_values WHERE key = ?1), write_time"
                           " FROM reg_keys WHERE id = ?1");
    if (counts.bind(key).step()) {
      info.subKeys = static_cast<DWORD>(counts.integer(0));
      info.values = static_cast<DWORD>(counts.integer(1));
      info.lastWriteTime = toFileTime(counts.integer(2));
    }
    return info;
  }
  SqliteStatement children(db(), "SELECT name FROM reg_keys WHERE parent = ?");
  for (children.bind(key); children.step(); ++info.subKeys) {
    auto length = static_cast<DWORD>(wideToAnsi(utf8ToWide(children.text(0))).size());
    info.maxSubKeyLength = std::max(info.maxSubKeyLength, length);
  }
  SqliteStatement values(db(), "SELECT name, type, data FROM reg_values WHERE key = ?");
  for (values.bind(key); values.step(); ++info.values) {
    auto length = static_cast<DWORD>(wideToAnsi(utf8ToWide(values.text(0))).size());
    info.maxValueNameLength = std::max(info.maxValueNameLength, length);
    // Windows keeps strings in UTF-16 and reports the size they take there.
    std::vector<unsigned char> data = values.blob(2);
    auto type = static_cast<DWORD>(values.integer(1));
    auto size = static_cast<DWORD>(data.size());
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
      size = static_cast<DWORD>(
          ansiToWide(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()))
              .size() *
          2);
    info.maxValueLength = std::max(info.maxValueLength, size);
  }
  SqliteStatement written(db(), "SELECT write_time FROM reg_keys WHERE id = ?");
  if (written.bind(key).step()) info.lastWriteTime = toFileTime(written.integer(0));
  return info;
}

RegistryStore& SqliteRegistryStore::withChangeLog() {
  MachineCall transaction(true);
  if (changeLogReady_) return *this;
  // Temporary tables and triggers: the connection's own, never in a shared machine file.
  // The log records only while change_log_active holds a row.
  execute(db(),
          "PRAGMA temp_store=MEMORY;"
          "CREATE TEMP TABLE change_log_active(on_ INTEGER);"
          "CREATE TEMP TABLE change_log(key INTEGER);"
          "CREATE TEMP TRIGGER log_key_added AFTER INSERT ON reg_keys"
          " WHEN EXISTS (SELECT 1 FROM change_log_active)"
          " BEGIN INSERT INTO change_log VALUES(NEW.parent); END;"
          "CREATE TEMP TRIGGER log_key_removed AFTER DELETE ON reg_keys"
          " WHEN EXISTS (SELECT 1 FROM change_log_active)"
          " BEGIN INSERT INTO change_log VALUES(OLD.id); INSERT INTO change_log VALUES(OLD.parent);"
          " END;"
          "CREATE TEMP TRIGGER log_key_changed AFTER UPDATE OF name, fold, parent ON reg_keys"
          " WHEN EXISTS (SELECT 1 FROM change_log_active)"
          " BEGIN INSERT INTO change_log VALUES(OLD.id); END;"
          "CREATE TEMP TRIGGER log_value_added AFTER INSERT ON reg_values"
          " WHEN EXISTS (SELECT 1 FROM change_log_active)"
          " BEGIN INSERT INTO change_log VALUES(NEW.key); END;"
          "CREATE TEMP TRIGGER log_value_changed AFTER UPDATE ON reg_values"
          " WHEN EXISTS (SELECT 1 FROM change_log_active)"
          " BEGIN INSERT INTO change_log VALUES(OLD.key); END;"
          "CREATE TEMP TRIGGER log_value_removed AFTER DELETE ON reg_values"
          " WHEN EXISTS (SELECT 1 FROM change_log_active)"
          " BEGIN INSERT INTO change_log VALUES(OLD.key); END;");
  transaction.commit();
  changeLogReady_ = true;
  return *this;
}

void SqliteRegistryStore::startChangeLog() {
  SqliteStatement(db(), "INSERT INTO change_log_active VALUES(1)").step();
}

std::vector<KeyId> SqliteRegistryStore::changedKeys() {
  std::vector<KeyId> keys;
  SqliteStatement rows(db(), "SELECT DISTINCT key FROM change_log");
  while (rows.step()) keys.push_back(rows.integer(0));
  return keys;
}

void SqliteRegistryStore::removeEverything() {
  execute(db(), "DELETE FROM reg_values; DELETE FROM reg_keys;");
}

}  // namespace

std::unique_ptr<RegistryStore> makeSqliteRegistryStore() {
  return std::make_unique<SqliteRegistryStore>();
}

}  // namespace kstv::host::detail

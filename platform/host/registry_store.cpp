#include "platform/host/registry_store.h"

#include <chrono>

#include "platform/host/control.h"
#include "platform/host/text.h"

namespace kstv::host::detail {
namespace {

// The predefined roots, in the order of their handle values 0x80000000 to 0x80000006.
// HKEY_CLASSES_ROOT is the machine's class registration, HKLM\SOFTWARE\Classes.
constexpr const char16_t* kRootNames[7] = {
    nullptr,         u"HKEY_CURRENT_USER",     u"HKEY_LOCAL_MACHINE",
    u"HKEY_USERS",   u"HKEY_PERFORMANCE_DATA", u"HKEY_CURRENT_CONFIG",
    u"HKEY_DYN_DATA"};

std::string folded(std::u16string_view name) { return wideToUtf8(foldCase(name)); }

// 100-nanosecond intervals since 1601, as in a FILETIME.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

FILETIME toFileTime(std::int64_t value) {
  return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
}

}  // namespace

RegistryStore& RegistryStore::instance() {
  static RegistryStore store;
  return store;
}

RegistryStore::RegistryStore() {
  createSchema();
  createRoots();
}

void RegistryStore::createSchema() {
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
}

void RegistryStore::createRoots() {
  MachineCall transaction(true);
  for (int i = 1; i < 7; ++i) {
    roots_[i] = findChild(0, kRootNames[i]).value_or(0);
    if (!roots_[i]) roots_[i] = addChild(0, kRootNames[i]);
  }
  KeyId software = findChild(roots_[2], u"SOFTWARE").value_or(0);
  if (!software) software = addChild(roots_[2], u"SOFTWARE");
  roots_[0] = findChild(software, u"Classes").value_or(0);
  if (!roots_[0]) roots_[0] = addChild(software, u"Classes");
  transaction.commit();
}

std::int64_t RegistryStore::now() const {
  auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime +
         std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100;
}

std::optional<KeyId> RegistryStore::predefinedKey(HKEY key) const {
  auto value = reinterpret_cast<ULONG_PTR>(key);
  if (value < 0x80000000UL || value > 0x80000006UL) return std::nullopt;
  return roots_[value - 0x80000000UL];
}

bool RegistryStore::exists(KeyId key) {
  SqliteStatement query(db(), "SELECT 1 FROM reg_keys WHERE id = ?");
  return query.bind(key).step();
}

std::optional<KeyId> RegistryStore::findChild(KeyId parent, std::u16string_view name) {
  SqliteStatement query(db(), "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
  if (!query.bind(parent).bind(folded(name)).step()) return std::nullopt;
  return query.integer(0);
}

KeyId RegistryStore::addChild(KeyId parent, std::u16string_view name) {
  SqliteStatement insert(db(),
                         "INSERT INTO reg_keys(parent, name, fold, write_time) VALUES(?, ?, ?, ?)");
  insert.bind(parent).bind(wideToUtf8(name)).bind(folded(name)).bind(now()).step();
  return sqlite3_last_insert_rowid(db());
}

std::optional<std::u16string> RegistryStore::childNameAt(KeyId parent, DWORD index) {
  SqliteStatement query(
      db(), "SELECT name FROM reg_keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
  if (!query.bind(parent).bind(static_cast<std::int64_t>(index)).step()) return std::nullopt;
  return utf8ToWide(query.text(0));
}

bool RegistryStore::hasChildren(KeyId key) {
  SqliteStatement query(db(), "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
  return query.bind(key).step();
}

void RegistryStore::removeKey(KeyId key) {
  SqliteStatement(db(), "DELETE FROM reg_values WHERE key = ?").bind(key).step();
  SqliteStatement(db(), "DELETE FROM reg_keys WHERE id = ?").bind(key).step();
  readOnly_.erase(key);
}

void RegistryStore::removeTree(KeyId key) {
  while (auto child = childNameAt(key, 0)) removeTree(*findChild(key, *child));
  removeKey(key);
}

std::optional<ValueRecord> RegistryStore::findValue(KeyId key, std::u16string_view name) {
  SqliteStatement query(db(), "SELECT name, type, data FROM reg_values WHERE key = ? AND fold = ?");
  if (!query.bind(key).bind(folded(name)).step()) return std::nullopt;
  return ValueRecord{utf8ToWide(query.text(0)), static_cast<DWORD>(query.integer(1)),
                     query.blob(2)};
}

std::optional<ValueRecord> RegistryStore::valueAt(KeyId key, DWORD index) {
  SqliteStatement query(
      db(), "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY fold LIMIT 1 OFFSET ?");
  if (!query.bind(key).bind(static_cast<std::int64_t>(index)).step()) return std::nullopt;
  return ValueRecord{utf8ToWide(query.text(0)), static_cast<DWORD>(query.integer(1)),
                     query.blob(2)};
}

void RegistryStore::setValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                             DWORD size) {
  SqliteStatement upsert(db(),
                         "INSERT INTO reg_values(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                         " ON CONFLICT(key, fold) DO UPDATE"
                         " SET type = excluded.type, data = excluded.data");
  upsert.bind(key).bind(wideToUtf8(name)).bind(folded(name)).bind(static_cast<std::int64_t>(type));
  upsert.bindBlob(data, size).step();
  SqliteStatement(db(), "UPDATE reg_keys SET write_time = ? WHERE id = ?")
      .bind(now())
      .bind(key)
      .step();
}

bool RegistryStore::removeValue(KeyId key, std::u16string_view name) {
  SqliteStatement(db(), "DELETE FROM reg_values WHERE key = ? AND fold = ?")
      .bind(key)
      .bind(folded(name))
      .step();
  return sqlite3_changes(db()) != 0;
}

KeyInfo RegistryStore::info(KeyId key, bool lengths) {
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

RegistryStore& RegistryStore::withChangeLog() {
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

void RegistryStore::startChangeLog() {
  SqliteStatement(db(), "INSERT INTO change_log_active VALUES(1)").step();
}

std::vector<KeyId> RegistryStore::changedKeys() {
  std::vector<KeyId> keys;
  SqliteStatement rows(db(), "SELECT DISTINCT key FROM change_log");
  while (rows.step()) keys.push_back(rows.integer(0));
  return keys;
}

void RegistryStore::clear() {
  MachineCall transaction(true);
  execute(db(), "DELETE FROM reg_values; DELETE FROM reg_keys;");
  readOnly_.clear();
  transaction.commit();
  createRoots();
}

}  // namespace kstv::host::detail

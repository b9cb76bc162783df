// The registry store of a private machine: keys and values in memory. Every change
// leaves an undo record in a journal, so that the machine database's transactions (a
// call that fails, a test's scratch scope) undo the registry with the rest of the machine.
#include <algorithm>
#include <map>
#include <unordered_map>
#include <variant>

#include "platform/host/detail/registry_store.h"
#include "platform/host/detail/text.h"

namespace kstv::host::detail {
namespace {

struct Key {
  KeyId parent = 0;
  std::u16string name;
  std::int64_t writeTime = 0;
  std::map<std::string, KeyId> children;      // by folded name: the order they enumerate in
  std::map<std::string, ValueRecord> values;  // by folded name
};

// What undoes one change.
struct UndoAddedKey {
  KeyId key;
};
struct UndoRemovedKey {
  KeyId key;
  Key record;
};
struct UndoValue {
  KeyId key;
  std::string fold;
  std::optional<ValueRecord> previous;  // nothing: the value was new
};
struct UndoWriteTime {
  KeyId key;
  std::int64_t previous;
};
struct UndoLogEntry {};
struct UndoLogStart {};
using Undo = std::variant<UndoAddedKey, UndoRemovedKey, UndoValue, UndoWriteTime, UndoLogEntry,
                          UndoLogStart>;

class MemoryRegistryStore final : public RegistryStore, public TransactionParticipant {
 public:
  MemoryRegistryStore() {
    MachineDatabase::instance().join(*this);
    createRoots();
  }

  bool exists(KeyId key) override { return keys_.count(key) != 0; }

  std::optional<KeyId> findChild(KeyId parent, std::u16string_view name) override {
    const Key* record = find(parent);
    if (!record) return std::nullopt;
    auto found = record->children.find(folded(name));
    if (found == record->children.end()) return std::nullopt;
    return found->second;
  }

  KeyId addChild(KeyId parent, std::u16string_view name) override {
    const KeyId key = nextKey_++;
    // Below a key that is gone it stays unreachable, as a row of a table would.
    if (Key* record = find(parent)) record->children.emplace(folded(name), key);
    keys_.emplace(key, Key{parent, std::u16string(name), fileTimeNow(), {}, {}});
    journal_.push_back(UndoAddedKey{key});
    logChange(parent);
    return key;
  }

  std::optional<std::u16string> childNameAt(KeyId parent, DWORD index) override {
    const Key* record = find(parent);
    if (!record || index >= record->children.size()) return std::nullopt;
    return keys_.at(std::next(record->children.begin(), index)->second).name;
  }

  bool hasChildren(KeyId key) override {
    const Key* record = find(key);
    return record && !record->children.empty();
  }

  // Its subkeys, if any are left, stay behind unreachable, as rows of a table would.
  void removeKey(KeyId key) override {
    auto found = keys_.find(key);
    if (found == keys_.end()) return;
    if (Key* parent = find(found->second.parent))
      parent->children.erase(folded(found->second.name));
    logChange(key);
    logChange(found->second.parent);
    journal_.push_back(UndoRemovedKey{key, std::move(found->second)});
    keys_.erase(found);
    forgetAccessLimit(key);
  }

  std::optional<ValueRecord> findValue(KeyId key, std::u16string_view name) override {
    const Key* record = find(key);
    if (!record) return std::nullopt;
    auto found = record->values.find(folded(name));
    if (found == record->values.end()) return std::nullopt;
    return found->second;
  }

  std::optional<ValueRecord> valueAt(KeyId key, DWORD index) override {
    const Key* record = find(key);
    if (!record || index >= record->values.size()) return std::nullopt;
    return std::next(record->values.begin(), index)->second;
  }

  void setValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                DWORD size) override {
    Key* record = find(key);
    if (!record) return;
    std::string fold = foldedName(name);
    std::vector<unsigned char> bytes(data, data + size);
    auto found = record->values.find(fold);
    if (found == record->values.end()) {
      record->values.emplace(fold, ValueRecord{std::u16string(name), type, std::move(bytes)});
      journal_.push_back(UndoValue{key, std::move(fold), std::nullopt});
    } else {
      journal_.push_back(UndoValue{key, std::move(fold), found->second});
      found->second.type = type;
      found->second.data = std::move(bytes);
    }
    logChange(key);
    journal_.push_back(UndoWriteTime{key, record->writeTime});
    record->writeTime = fileTimeNow();
  }

  bool removeValue(KeyId key, std::u16string_view name) override {
    Key* record = find(key);
    if (!record) return false;
    auto found = record->values.find(folded(name));
    if (found == record->values.end()) return false;
    journal_.push_back(UndoValue{key, found->first, std::move(found->second)});
    record->values.erase(found);
    logChange(key);
    return true;
  }

  KeyInfo info(KeyId key, bool lengths) override {
    KeyInfo info;
    const Key* record = find(key);
    if (!record) return info;
    info.subKeys = static_cast<DWORD>(record->children.size());
    info.values = static_cast<DWORD>(record->values.size());
    info.lastWriteTime = toFileTime(record->writeTime);
    if (!lengths) return info;
    for (const auto& [fold, child] : record->children) {
      auto length = static_cast<DWORD>(wideToAnsi(keys_.at(child).name).size());
      info.maxSubKeyLength = std::max(info.maxSubKeyLength, length);
    }
    for (const auto& [fold, value] : record->values) {
      auto length = static_cast<DWORD>(wideToAnsi(value.name).size());
      info.maxValueNameLength = std::max(info.maxValueNameLength, length);
      // Windows keeps strings in UTF-16 and reports the size they take there.
      auto size = static_cast<DWORD>(value.data.size());
      if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        size = static_cast<DWORD>(
            ansiToWide(std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                        value.data.size()))
                .size() *
            2);
      info.maxValueLength = std::max(info.maxValueLength, size);
    }
    return info;
  }

  void startChangeLog() override {
    logging_ = true;
    journal_.push_back(UndoLogStart{});
  }

  std::vector<KeyId> changedKeys() override {
    std::vector<KeyId> keys = changeLog_;
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
  }

  std::size_t journalMark() const override { return journal_.size(); }

  void rollBackTo(std::size_t mark) override {
    while (journal_.size() > mark) {
      std::visit([this](auto& undo) { this->undo(undo); }, journal_.back());
      journal_.pop_back();
    }
  }

  void forgetJournal() override { journal_.clear(); }

 private:
  // The keys of the predefined roots hang below a parent of their own, key 0, which
  // is no key.
  Key* find(KeyId key) {
    if (key == 0) return &top_;
    auto found = keys_.find(key);
    return found == keys_.end() ? nullptr : &found->second;
  }

  // A name's lookup form, in a buffer that keeps its capacity from call to call.
  const std::string& folded(std::u16string_view name) {
    assignFoldedUtf8(name, folded_);
    return folded_;
  }

  void logChange(KeyId key) {
    if (!logging_) return;
    changeLog_.push_back(key);
    journal_.push_back(UndoLogEntry{});
  }

  void undo(UndoAddedKey& undo) {
    auto found = keys_.find(undo.key);
    if (Key* parent = find(found->second.parent))
      parent->children.erase(folded(found->second.name));
    keys_.erase(found);
  }
  void undo(UndoRemovedKey& undo) {
    if (Key* parent = find(undo.record.parent))
      parent->children.emplace(folded(undo.record.name), undo.key);
    keys_.emplace(undo.key, std::move(undo.record));
  }
  void undo(UndoValue& undo) {
    Key& record = *find(undo.key);
    if (undo.previous)
      record.values.insert_or_assign(undo.fold, std::move(*undo.previous));
    else
      record.values.erase(undo.fold);
  }
  void undo(UndoWriteTime& undo) { find(undo.key)->writeTime = undo.previous; }
  void undo(UndoLogEntry&) { changeLog_.pop_back(); }
  void undo(UndoLogStart&) {
    logging_ = false;
    changeLog_.clear();
  }

  void removeEverything() override {
    keys_.clear();
    top_.children.clear();
    journal_.clear();
    changeLog_.clear();
    logging_ = false;
  }

  Key top_;
  std::unordered_map<KeyId, Key> keys_;
  KeyId nextKey_ = 1;  // never given twice, so that a handle to a removed key stays stale
  std::vector<Undo> journal_;
  bool logging_ = false;
  std::vector<KeyId> changeLog_;
  std::string folded_;
};

}  // namespace

std::unique_ptr<RegistryStore> makeMemoryRegistryStore() {
  return std::make_unique<MemoryRegistryStore>();
}

}  // namespace kstv::host::detail

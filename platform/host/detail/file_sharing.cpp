#include "platform/host/detail/file_sharing.h"

namespace kstv::host::detail {
namespace {

// The file access rights behind each kind, specific and generic.
constexpr DWORD kReadAccess = FILE_READ_DATA | FILE_EXECUTE | GENERIC_READ | GENERIC_EXECUTE;
constexpr DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;
constexpr DWORD kDeleteAccess = DELETE;

// Whether `existing` lets `added` in: each must share every kind the other asks for.
bool compatible(const FileUse& existing, const FileUse& added) {
  auto shares = [](const FileUse& holder, const FileUse& asker) {
    return (!asker.read || (holder.share & FILE_SHARE_READ)) &&
           (!asker.write || (holder.share & FILE_SHARE_WRITE)) &&
           (!asker.remove || (holder.share & FILE_SHARE_DELETE));
  };
  return shares(existing, added) && shares(added, existing);
}

}  // namespace

FileUse FileUse::of(DWORD access, DWORD share) {
  const bool all = (access & GENERIC_ALL) != 0;
  return FileUse{all || (access & kReadAccess) != 0, all || (access & kWriteAccess) != 0,
                 all || (access & kDeleteAccess) != 0, share};
}

FileSharing& FileSharing::instance() {
  // Never destroyed: a handle still open when the process ends is closed by the handle
  // table's destruction, which may come after this one's.
  static FileSharing* const sharing = new FileSharing;
  return *sharing;
}

bool FileSharing::allows(const FileId& file, const FileUse& use) const {
  if (!use.weighed()) return true;
  auto [first, last] = uses_.equal_range(file);
  for (auto it = first; it != last; ++it)
    if (!compatible(it->second, use)) return false;
  return true;
}

FileSharing::Entry FileSharing::add(const FileId& file, const FileUse& use) {
  return uses_.emplace(file, use);
}

void FileSharing::release(Entry entry) {
  std::lock_guard guard(lock_);
  uses_.erase(entry);
}

}  // namespace kstv::host::detail

// Host build, internal: the share modes of the process's open files, weighed as Windows
// weighs them when a file is opened or deleted. Only this process's handles are known:
// another process of a shared machine is not refused.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/win32.h"

namespace kstv::host::detail {

// What one open asks for and what it lets other opens do, by the three kinds of access
// that share modes weigh: reading, writing, deleting.
struct FileUse {
  bool read = false;
  bool write = false;
  bool remove = false;
  DWORD share = 0;

  // An open that asks for none of them (attributes only) is neither weighed nor in the way.
  bool weighed() const { return read || write || remove; }
  static FileUse of(DWORD access, DWORD share);
};

class FileSharing {
 public:
  using FileId = std::pair<dev_t, ino_t>;
  using Entry = std::multimap<FileId, FileUse>::iterator;

  static FileSharing& instance();

  // Held across a check and the open or deletion it allows, so that no other thread of
  // the process comes between them.
  std::mutex& lock() { return lock_; }
  // Whether `use` may join the open uses of the file (the lock held).
  bool allows(const FileId& file, const FileUse& use) const;
  // Whether any handle of the process holds the file open (the lock held).
  bool inUse(const FileId& file) const { return uses_.count(file) != 0; }
  // Records an allowed use (the lock held); `release` forgets it when its handle closes.
  Entry add(const FileId& file, const FileUse& use);
  void release(Entry entry);

 private:
  std::mutex lock_;
  std::multimap<FileId, FileUse> uses_;
};

}  // namespace kstv::host::detail

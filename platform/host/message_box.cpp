// Message boxes without a screen: what the box would show goes to standard error and to
// a record the control API reads; the user "presses" OK at once.
#include <cstdio>
#include <mutex>

#include "platform/host/control.h"

namespace kstv::host {
namespace {

std::mutex boxesLock;
std::vector<MessageBoxShown> boxes;

}  // namespace

std::vector<MessageBoxShown> messageBoxes() {
  std::lock_guard guard(boxesLock);
  return boxes;
}

void clearMessageBoxes() {
  std::lock_guard guard(boxesLock);
  boxes.clear();
}

}  // namespace kstv::host

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  using namespace kstv::host;
  MessageBoxShown box{caption ? caption : "Error", text ? text : "", type, owner != nullptr};
  std::fprintf(stderr, "[message box] %s: %s\n", box.caption.c_str(), box.text.c_str());
  std::lock_guard guard(boxesLock);
  boxes.push_back(box);
  return IDOK;
}

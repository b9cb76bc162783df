// libFuzzer target: arbitrary bytes as a registrar script, with a few replacements, run
// in registration and then unregistration mode on the in-memory registry. Any crash,
// leak, or read or write outside a buffer is a finding; so is a registry key, a heap
// block or a task-allocator block left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/control.h"
#include "registrar/RegistrarParser.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "registrar_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The script ends at its first NUL, as a resource copied with its terminator does.
  const std::string script(reinterpret_cast<const char*>(data), size);
  {
    kstv::ReplacementMap map;
    map.add(KSTV_W("Module"), KSTV_W("C:\\Program Files\\it''s\\x.exe"));
    map.add(KSTV_W("Quote"), KSTV_W("a'b"));
    map.add(KSTV_W("Nested"), KSTV_W("%Module%"));
    map.add(KSTV_W("Empty"), KSTV_W(""));
    kstv::RegistrarParser parser(map);
    parser.runScript(script.c_str(), TRUE);
    parser.runScript(script.c_str(), FALSE);
  }
  Require(kstv::host::openRegistryHandleCount() == 0, "a registry key was left open");
  Require(kstv::host::liveHeapAllocations() == 0, "a heap block was left");
  Require(kstv::host::liveTaskAllocations() == 0, "a task-allocator block was left");
  kstv::host::resetRegistry();
  return 0;
}

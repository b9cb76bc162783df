// libFuzzer target: arbitrary bytes as a registrar script, with a few replacements, run
// in registration and then unregistration mode on the in-memory registry.
//
// The first byte chooses the ANSI code page (odd: the double-byte code page 932, even:
// 1252); the rest, up to its first NUL, is the script. Findings:
//  - a crash, a leak, a read or write outside a buffer (the sanitizers);
//  - a registry key, heap block or task-allocator block left behind;
//  - a result that is neither S_OK nor a failure code the registrar may return;
//  - a sentinel key or value (planted under every root and one level down) missing or
//    changed when the script never named it.
// Each input runs in a scratch scope, so the registry is back to the sentinels after it;
// the scope's log of touched keys says which sentinels need comparing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/registry_sentinels.h"
#include "platform/host/control.h"
#include "registrar/RegistrarParser.h"

namespace {

// The results a script run may give: success, the script's own failures, and the
// registry's refusals passed on as HRESULTs of facility Win32.
bool IsExpectedResult(HRESULT result) {
  const auto code = static_cast<std::uint32_t>(result);
  return result == S_OK || result == DISP_E_EXCEPTION || result == E_FAIL ||
         result == E_OUTOFMEMORY || (code & 0xFFFF0000U) == 0x80070000U;
}

void Require(bool condition, const char* what, const std::string& detail = std::string()) {
  if (condition) return;
  std::fprintf(stderr, "registrar_fuzzer: %s %s\n", what, detail.c_str());
  std::abort();
}

void RequireExpected(HRESULT result, const char* what) {
  if (IsExpectedResult(result)) return;
  std::fprintf(stderr, "registrar_fuzzer: %s 0x%08X\n", what, static_cast<unsigned>(result));
  std::abort();
}

// The replacements every input runs with: made once, their blocks counted as the
// baseline that each input must come back to. Never destroyed: at exit the host's block
// tables may be gone before it.
const kstv::ReplacementMap& Replacements() {
  static const kstv::ReplacementMap* const map = [] {
    auto* made = new kstv::ReplacementMap;
    made->add(KSTV_W("Module"), KSTV_W("C:\\Program Files\\it''s\\x.exe"));
    made->add(KSTV_W("Quote"), KSTV_W("a'b"));
    made->add(KSTV_W("Nested"), KSTV_W("%Module%"));
    made->add(KSTV_W("Empty"), KSTV_W(""));
    return made;
  }();
  return *map;
}

}  // namespace

// Allocation and free stacks in a report keep their innermost 8 frames (the default is
// 30): enough to name the registrar's function and its callers, where unwinding 30 frames
// on every allocation took about a tenth of the fuzzer's time. Run a finding again with
// ASAN_OPTIONS=malloc_context_size=30 for the whole stacks.
extern "C" const char* __asan_default_options() { return "malloc_context_size=8"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const kstv::fuzz::RegistrySentinels sentinels;
  static const kstv::ReplacementMap& map = Replacements();
  static const std::size_t heapBlocks = kstv::host::liveHeapAllocations();
  static const std::size_t taskBlocks = kstv::host::liveTaskAllocations();
  if (size == 0) return 0;
  kstv::host::setAnsiCodePage((data[0] & 1) ? 932 : 1252);
  // The script ends at its first NUL, as a resource copied with its terminator does.
  const std::string script(reinterpret_cast<const char*>(data + 1), size - 1);
  {
    kstv::host::ScratchScope scratch;
    kstv::RegistrarParser parser(map);
    HRESULT registered = parser.runScript(script.c_str(), TRUE);
    RequireExpected(registered, "registration gave");
    HRESULT unregistered = parser.runScript(script.c_str(), FALSE);
    RequireExpected(unregistered, "unregistration gave");

    // The sentinels' names are looked for in the expanded text as well, where a
    // replacement may have joined the pieces of one.
    std::vector<std::int64_t> touched = scratch.touchedKeys();
    if (sentinels.anyTouched(touched)) {
      LPSTR expanded = nullptr;
      std::string expansion;
      if (SUCCEEDED(parser.expandReplacements(script.c_str(), &expanded))) expansion = expanded;
      CoTaskMemFree(expanded);
      std::string damaged = sentinels.firstDamaged(script, expansion, touched);
      Require(damaged.empty(), "a sentinel the script never named is", damaged);
    }
  }
  Require(kstv::host::openRegistryHandleCount() == 0, "a registry key was left open");
  Require(kstv::host::liveHeapAllocations() == heapBlocks, "a heap block was left");
  Require(kstv::host::liveTaskAllocations() == taskBlocks, "a task-allocator block was left");
  return 0;
}

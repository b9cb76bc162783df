// Measures the registrar on the emulated machine's in-memory registry (not part of the
// tests): the system's own script registered and unregistered, and generated scripts of
// many keys with values, at two sizes to show how the time grows with the script.
#include <benchmark/benchmark.h>

#include <string>

#include "registrar/RegistrarParser.h"

namespace {

const char kSystemScript[] =
    "HKCR\r\n{\r\n\tNoRemove AppID\r\n\t{\r\n"
    "\t\t{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1} = s 'KstvCardReader'\r\n"
    "\t\t'KstvCardReader.EXE'\r\n\t\t{\r\n"
    "\t\t\tval AppID = s {6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}\r\n"
    "\t\t}\r\n\t}\r\n}\r\n";

// `keys` keys below HKCU\Software\KstvBenchmark, each with a default and a named value.
std::string LargeScript(int keys) {
  std::string text = "HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tKstvBenchmark\r\n\t\t{\r\n";
  for (int i = 0; i < keys; ++i) {
    std::string n = std::to_string(i);
    text.append("\t\t\tKey").append(n).append(" = s 'value ").append(n).append("'\r\n\t\t\t{\r\n");
    text.append("\t\t\t\tval Number = d ").append(n).append("\r\n\t\t\t}\r\n");
  }
  text += "\t\t}\r\n\t}\r\n}\r\n";
  return text;
}

void SystemScript(benchmark::State& state) {
  kstv::ReplacementMap map;
  map.add(KSTV_W("Module"), KSTV_W("C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.exe"));
  for (auto _ : state) {
    kstv::RegistrarParser parser(map);
    if (parser.runScript(kSystemScript, TRUE) != S_OK ||
        parser.runScript(kSystemScript, FALSE) != S_OK)
      state.SkipWithError("the script failed");
  }
}
BENCHMARK(SystemScript)->Unit(benchmark::kMicrosecond);

void LargeScriptRegister(benchmark::State& state) {
  const std::string text = LargeScript(static_cast<int>(state.range(0)));
  kstv::ReplacementMap map;
  for (auto _ : state) {
    kstv::RegistrarParser parser(map);
    if (parser.runScript(text.c_str(), TRUE) != S_OK) state.SkipWithError("registration failed");
    state.PauseTiming();
    kstv::RegistrarParser(map).runScript(text.c_str(), FALSE);
    state.ResumeTiming();
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(LargeScriptRegister)
    ->Arg(10000)
    ->Arg(20000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void LargeScriptUnregister(benchmark::State& state) {
  const std::string text = LargeScript(static_cast<int>(state.range(0)));
  kstv::ReplacementMap map;
  for (auto _ : state) {
    state.PauseTiming();
    kstv::RegistrarParser(map).runScript(text.c_str(), TRUE);
    state.ResumeTiming();
    kstv::RegistrarParser parser(map);
    if (parser.runScript(text.c_str(), FALSE) != S_OK) state.SkipWithError("unregistration failed");
  }
}
BENCHMARK(LargeScriptUnregister)
    ->Arg(10000)
    ->Arg(20000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

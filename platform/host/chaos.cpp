// The machine's unkindness: KSTV_CHAOS=SEED in a program's environment, or setChaos in a
// test, turns on random delays drawn from one generator seeded with SEED.
#include "platform/host/detail/chaos.h"

#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/host/control.h"

namespace kstv::host {
namespace {

struct Chaos {
  std::mutex lock;
  std::optional<std::mt19937> random;  // none: chaos is off
};

// Never destroyed: delivery threads may still draw delays while the process ends.
Chaos& chaos() {
  static Chaos* const state = new Chaos;
  return *state;
}

// KSTV_CHAOS=SEED (decimal) turns chaos on for the whole process; anything else leaves
// it off.
void TakeChaosFromEnvironment() {
  static std::once_flag taken;
  std::call_once(taken, [] {
    const char* text = std::getenv("KSTV_CHAOS");
    if (!text || !*text) return;
    char* end = nullptr;
    const unsigned long seed = std::strtoul(text, &end, 10);
    if (*end != '\0') return;
    std::lock_guard guard(chaos().lock);
    chaos().random.emplace(static_cast<std::mt19937::result_type>(seed));
  });
}

}  // namespace

void setChaos(std::optional<unsigned> seed) {
  TakeChaosFromEnvironment();
  std::lock_guard guard(chaos().lock);
  if (seed)
    chaos().random.emplace(*seed);
  else
    chaos().random.reset();
}

namespace detail {

bool chaosOn() {
  TakeChaosFromEnvironment();
  std::lock_guard guard(chaos().lock);
  return chaos().random.has_value();
}

std::optional<std::chrono::milliseconds> chaosDelay(std::chrono::milliseconds longest) {
  TakeChaosFromEnvironment();
  std::lock_guard guard(chaos().lock);
  if (!chaos().random) return std::nullopt;
  std::uniform_int_distribution<long long> draw(0, longest.count());
  return std::chrono::milliseconds(draw(*chaos().random));
}

}  // namespace detail
}  // namespace kstv::host

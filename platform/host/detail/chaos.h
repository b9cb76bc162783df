// Host build, internal: the machine's unkindness (see setChaos in control.h), random
// delays drawn from one seeded generator.
#pragma once

#include <chrono>
#include <optional>

namespace kstv::host::detail {

bool chaosOn();
// A random delay from 0 to `longest` while chaos is on; nothing while it is off.
std::optional<std::chrono::milliseconds> chaosDelay(std::chrono::milliseconds longest);

}  // namespace kstv::host::detail

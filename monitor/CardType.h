// The kind of card in a drive of the reader.
#pragma once

#include <cstdint>

namespace kstv {

enum class CardType : std::uint32_t { None = 0, SD = 1, MMC = 2, XD = 3, MS = 4 };

}  // namespace kstv

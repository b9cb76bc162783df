// The registration script as the program must carry it, byte for byte: CR LF line ends,
// tab indentation, 191 bytes, no terminating zero.
#pragma once

#include <string_view>

namespace kstv::test {

inline constexpr std::string_view kRegistrationScript =
    "HKCR\r\n"
    "{\r\n"
    "\tNoRemove AppID\r\n"
    "\t{\r\n"
    "\t\t{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1} = s 'KstvCardReader'\r\n"
    "\t\t'KstvCardReader.EXE'\r\n"
    "\t\t{\r\n"
    "\t\t\tval AppID = s {6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}\r\n"
    "\t\t}\r\n"
    "\t}\r\n"
    "}\r\n";

static_assert(kRegistrationScript.size() == 191);

}  // namespace kstv::test

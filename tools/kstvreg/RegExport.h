// Writes a registry key and everything below it in the .reg text format.
#pragma once

#include <string>

#include "platform/win32.h"

namespace kstv {

// The root key and display name for "HKCR", "HKEY_CLASSES_ROOT" and the other names the
// registrar script language knows; null when `name` is none of them.
HKEY RootKeyByName(const std::string& name, std::string& fullName);

// Appends `[full path]` and the values of the key, then its subkeys depth first, names
// sorted without regard to case. False when the key cannot be opened.
bool ExportKey(HKEY root, const std::string& rootName, const std::string& path, std::string& out);

// "Windows Registry Editor Version 5.00" and the export of KEY ("HKCR\path"), or false
// when the root is unknown or the key is missing.
bool ExportRegFile(const std::string& key, std::string& out);

}  // namespace kstv

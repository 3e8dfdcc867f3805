// What the store tests need to know about the platform they run on.
#pragma once

#include <string>

namespace storetest {

// Fresh platform state: natively an empty stand-in registry and a stand-in
// service manager holding ExistingService(); on Windows nothing to do.
void ResetPlatform();

// Number of characters a REG_SZ value holds as the registry stores it,
// terminator included if one was stored; -1 when it cannot be read. (The
// ANSI read functions of the real registry add a NUL of their own.)
int StoredTextLength(const std::string& keyPath, const std::string& valueName);

// A service that exists on the platform under test.
const char* ExistingService();

} // namespace storetest

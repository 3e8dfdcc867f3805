// What the store tests need to know about the platform they run on.
#pragma once

#include <string>

namespace storetest {

// Fresh platform state: natively an empty stand-in registry and a stand-in
// service manager holding ExistingService(); on Windows nothing to do.
void ResetPlatform();

// A service that exists on the platform under test.
const char* ExistingService();

} // namespace storetest

#pragma once
// What the registry cases need beyond the calls they test: a clean place to
// work in. The host build clears the stand-in; the Windows build clears the
// scratch key of the real registry.

#include "platform/win32.h"

namespace cases {

// Every case works below this key, in HKEY_CURRENT_USER and in
// HKEY_LOCAL_MACHINE.
inline constexpr const char* kScratch = "Software\\InstTMModCases";

// Removes the scratch key and everything below it in both roots, so that
// the next case starts from nothing.
void ClearScratch();

}  // namespace cases

#pragma once
// What the registry cases need beyond the calls they test: a clean place to
// work in, and a way to plant a registry link. The host build does both on
// the stand-in; the Windows build does them in the real registry.

#include <string>

#include "platform/win32.h"

namespace cases {

// Every case works below this key, in HKEY_CURRENT_USER and in
// HKEY_LOCAL_MACHINE.
inline constexpr const char* kScratch = "Software\\InstTMModCases";

// Removes the scratch key and everything below it in both roots, links
// included without following them, so that the next case starts from
// nothing.
void ClearScratch();

// Makes `path` under `root` a link to `targetPath` under `targetRoot`, as a
// program does on Windows. Returns the platform's status code.
LONG MakeLink(RootKey root, const std::string& path, RootKey targetRoot,
              const std::string& targetPath);

}  // namespace cases

#pragma once
// The module's own tree deletion, reached from code that includes windows.h.
//
// The product's registry sources declare the Win32 functions they call in
// platform/win32.h, which clashes with MinGW's windows.h; they are compiled
// in translation units of their own, and the benchmarks reach them only
// through this header, which uses no Windows type.

#include <cstdint>

// DeleteTreeUnderRoot of registry/delete_tree.cpp: `root` is the 32-bit code
// of a predefined root (0x80000001 for the current user, and so on).
long OursDeleteTreeUnderRoot(std::uint32_t root, const char* path);

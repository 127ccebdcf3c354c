// memset for the MSVC-family build. cl.exe and clang-cl call memset to
// zero-fill a local array (the user-hive sweeps' buffers); without the C
// runtime the module must define it itself. The MinGW build keeps its fills
// inline and does not use this file.

#include <stddef.h>

#include "module/fill_bytes.h"

// cl.exe treats memset as an intrinsic that may not be defined unless told
// otherwise; clang-cl has no such rule and does not know the pragma.
#if !defined(__clang__)
#pragma function(memset)
#endif

extern "C" void* __cdecl memset(void* dest, int value, size_t count) {
  return FillBytes(dest, value, count);
}

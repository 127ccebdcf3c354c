// Calls one exported custom action the way Windows Installer does: load the
// module, look the entry up by the exact name that a CustomAction row gives,
// call it with an installation handle, report what it returned.
//
//   ca_runner DLL EXPORT [HANDLE]
//
// Prints "result=<UINT> elapsed_ms=<ms>" and exits 0 when the call was made.
// Exits 2 when the export is not found under that name (so a lookup of an
// undecorated name can be tested), 3 when the module does not load.

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cstdlib>

namespace {
using CustomAction = UINT(WINAPI*)(MSIHANDLE);
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: ca_runner DLL EXPORT [HANDLE]\n");
    return 64;
  }
  const char* dll = argv[1];
  const char* name = argv[2];
  const MSIHANDLE handle =
      argc == 4 ? static_cast<MSIHANDLE>(std::strtoul(argv[3], nullptr, 0)) : 0;

  HMODULE module = LoadLibraryA(dll);
  if (module == nullptr) {
    std::printf("load %s: failed, error %lu\n", dll, GetLastError());
    return 3;
  }
  FARPROC entry = GetProcAddress(module, name);
  if (entry == nullptr) {
    std::printf("export %s: not found, error %lu\n", name, GetLastError());
    FreeLibrary(module);
    return 2;
  }

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const UINT result = reinterpret_cast<CustomAction>(reinterpret_cast<void*>(entry))(handle);
  QueryPerformanceCounter(&end);
  const double elapsed_ms =
      1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
      static_cast<double>(frequency.QuadPart);

  std::printf("result=%u elapsed_ms=%.1f\n", result, elapsed_ms);
  std::fflush(stdout);
  FreeLibrary(module);
  return 0;
}

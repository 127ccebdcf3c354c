#pragma once
// The one door through which product code reaches Windows.
//
// Only the handful of types, constants and functions that the module really
// calls are declared here, in our own words. On the Windows targets they bind
// to the system libraries (ADVAPI32, USER32, KERNEL32 and msi.dll); on the
// Linux host build the same names are defined by the stand-in under sim/.
// Code under actions/ and registry/ includes nothing else of the platform.

// <stdint.h>, not <cstdint>: <cstdint> belongs to a C++ standard library,
// which a clang-cl build for the MSVC target does not have on a machine
// without Visual Studio; the compiler's own freestanding <stdint.h> is always
// there.
#include <stdint.h>

// __stdcall is spelt the same by MinGW-w64 GCC, clang-cl and cl.exe.
#if defined(_WIN32)
#define INST_WINAPI __stdcall
#define INST_IMPORT __declspec(dllimport)
#else
#define INST_WINAPI
#define INST_IMPORT
#endif

// Integer widths follow the Windows ABI (LONG and DWORD are 32 bits on both
// Windows targets), so the same declarations fit i686, x64 and the host.
using BOOL = int;
using UINT = unsigned int;
using DWORD = uint32_t;
using LONG = int32_t;
using REGSAM = DWORD;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using MSIHANDLE = uint32_t;
using INSTALLSTATE = int;

struct HKEY__;
using HKEY = HKEY__*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;

// Filled by the subkey enumeration; the module never reads it.
struct FILETIME {
  DWORD low;
  DWORD high;
};

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
// "Recursion too deep": what the tree deletion answers past its depth bound.
constexpr LONG ERROR_STACK_OVERFLOW = 1001;

constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

constexpr UINT WM_CLOSE = 0x0010;

constexpr INSTALLSTATE INSTALLSTATE_LOCAL = 3;

// The predefined roots are small negative numbers in disguise: Windows
// sign-extends them to pointer width, so on x64 HKEY_LOCAL_MACHINE is
// 0xFFFFFFFF80000002, not 0x80000002.
enum class RootKey : uint32_t {
  CurrentUser = 0x80000001u,
  LocalMachine = 0x80000002u,
  Users = 0x80000003u,
};

inline HKEY RootHandle(RootKey root) {
  return reinterpret_cast<HKEY>(
      static_cast<intptr_t>(static_cast<int32_t>(root)));
}

#define HKEY_CURRENT_USER (RootHandle(RootKey::CurrentUser))
#define HKEY_LOCAL_MACHINE (RootHandle(RootKey::LocalMachine))
#define HKEY_USERS (RootHandle(RootKey::Users))

extern "C" {

// advapi32: the registry.
INST_IMPORT LONG INST_WINAPI RegOpenKeyExA(HKEY parent, const char* path,
                                           DWORD options, REGSAM access,
                                           HKEY* opened);
INST_IMPORT LONG INST_WINAPI RegCreateKeyExA(HKEY parent, const char* path,
                                             DWORD reserved, char* keyClass,
                                             DWORD options, REGSAM access,
                                             void* security, HKEY* opened,
                                             DWORD* disposition);
INST_IMPORT LONG INST_WINAPI RegSetValueExA(HKEY key, const char* valueName,
                                            DWORD reserved, DWORD type,
                                            const unsigned char* data,
                                            DWORD byteCount);
INST_IMPORT LONG INST_WINAPI RegDeleteValueA(HKEY key, const char* valueName);
INST_IMPORT LONG INST_WINAPI RegEnumKeyExA(HKEY key, DWORD index, char* name,
                                           DWORD* nameSize, DWORD* reserved,
                                           char* keyClass, DWORD* classSize,
                                           FILETIME* lastWrite);
INST_IMPORT LONG INST_WINAPI RegEnumKeyA(HKEY key, DWORD index, char* name,
                                         DWORD nameSize);
INST_IMPORT LONG INST_WINAPI RegDeleteKeyA(HKEY parent, const char* path);
INST_IMPORT LONG INST_WINAPI RegCloseKey(HKEY key);

// kernel32: string length, the tick counter and sleeping.
INST_IMPORT int INST_WINAPI lstrlenA(const char* text);
INST_IMPORT DWORD INST_WINAPI GetTickCount();
INST_IMPORT void INST_WINAPI Sleep(DWORD milliseconds);

// user32: finding and closing a window of another process.
INST_IMPORT HWND INST_WINAPI FindWindowA(const char* className,
                                         const char* windowName);
INST_IMPORT BOOL INST_WINAPI PostMessageA(HWND window, UINT message,
                                          WPARAM wParam, LPARAM lParam);
INST_IMPORT BOOL INST_WINAPI IsWindow(HWND window);

// msi.dll: the component query. Imported by ordinal, see module/msi_ordinal.
INST_IMPORT INSTALLSTATE INST_WINAPI MsiLocateComponentA(const char* component,
                                                         char* pathBuffer,
                                                         DWORD* pathSize);

}  // extern "C"

#include "bench/call_counter.h"

#include <windows.h>

#include "bench/bench_common.h"

// The import address table slots of this executable, as the linker names
// them: the product's objects call through these (their declarations are
// dllimport), and so does everything else in the executable.
extern "C" {
extern void* __imp_RegOpenKeyExA;
extern void* __imp_RegCreateKeyExA;
extern void* __imp_RegSetValueExA;
extern void* __imp_RegDeleteValueA;
extern void* __imp_RegEnumKeyExA;
extern void* __imp_RegEnumKeyA;
extern void* __imp_RegDeleteKeyA;
extern void* __imp_RegCloseKey;
extern void* __imp_lstrlenA;
}

namespace {

PlatformCallCounts g_counts;

// What each slot held before counting began: the wrappers call through these.
decltype(&RegOpenKeyExA) g_open;
decltype(&RegCreateKeyExA) g_create;
decltype(&RegSetValueExA) g_set_value;
decltype(&RegDeleteValueA) g_delete_value;
decltype(&RegEnumKeyExA) g_enum_key;
decltype(&RegEnumKeyA) g_enum_hive;
decltype(&RegDeleteKeyA) g_delete_key;
decltype(&RegCloseKey) g_close;
decltype(&lstrlenA) g_string_length;

LSTATUS WINAPI CountedOpen(HKEY a, LPCSTR b, DWORD c, REGSAM d, PHKEY e) {
  ++g_counts.open;
  return g_open(a, b, c, d, e);
}
LSTATUS WINAPI CountedCreate(HKEY a, LPCSTR b, DWORD c, LPSTR d, DWORD e, REGSAM f,
                             const LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) {
  ++g_counts.create;
  return g_create(a, b, c, d, e, f, g, h, i);
}
LSTATUS WINAPI CountedSetValue(HKEY a, LPCSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f) {
  ++g_counts.set_value;
  return g_set_value(a, b, c, d, e, f);
}
LSTATUS WINAPI CountedDeleteValue(HKEY a, LPCSTR b) {
  ++g_counts.delete_value;
  return g_delete_value(a, b);
}
LSTATUS WINAPI CountedEnumKey(HKEY a, DWORD b, LPSTR c, LPDWORD d, LPDWORD e, LPSTR f,
                              LPDWORD g, PFILETIME h) {
  ++g_counts.enum_key;
  return g_enum_key(a, b, c, d, e, f, g, h);
}
LSTATUS WINAPI CountedEnumHive(HKEY a, DWORD b, LPSTR c, DWORD d) {
  ++g_counts.enum_hive;
  return g_enum_hive(a, b, c, d);
}
LSTATUS WINAPI CountedDeleteKey(HKEY a, LPCSTR b) {
  ++g_counts.delete_key;
  return g_delete_key(a, b);
}
LSTATUS WINAPI CountedClose(HKEY a) {
  ++g_counts.close;
  return g_close(a);
}
int WINAPI CountedStringLength(LPCSTR a) {
  ++g_counts.string_length;
  return g_string_length(a);
}

// Writes a slot, whatever protection the loader left on the table.
template <typename Fn>
void Point(void** slot, Fn target) {
  DWORD old = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) {
    bench::Fail("VirtualProtect of an import slot failed: %lu", GetLastError());
  }
  *slot = reinterpret_cast<void*>(target);
  VirtualProtect(slot, sizeof *slot, old, &old);
}

template <typename Fn>
void Swap(void** slot, Fn* original, Fn counted) {
  *original = reinterpret_cast<Fn>(*slot);
  Point(slot, counted);
}

}  // namespace

void StartCountingPlatformCalls() {
  g_counts = PlatformCallCounts{};
  Swap(&__imp_RegOpenKeyExA, &g_open, &CountedOpen);
  Swap(&__imp_RegCreateKeyExA, &g_create, &CountedCreate);
  Swap(&__imp_RegSetValueExA, &g_set_value, &CountedSetValue);
  Swap(&__imp_RegDeleteValueA, &g_delete_value, &CountedDeleteValue);
  Swap(&__imp_RegEnumKeyExA, &g_enum_key, &CountedEnumKey);
  Swap(&__imp_RegEnumKeyA, &g_enum_hive, &CountedEnumHive);
  Swap(&__imp_RegDeleteKeyA, &g_delete_key, &CountedDeleteKey);
  Swap(&__imp_RegCloseKey, &g_close, &CountedClose);
  Swap(&__imp_lstrlenA, &g_string_length, &CountedStringLength);
}

PlatformCallCounts StopCountingPlatformCalls() {
  Point(&__imp_RegOpenKeyExA, g_open);
  Point(&__imp_RegCreateKeyExA, g_create);
  Point(&__imp_RegSetValueExA, g_set_value);
  Point(&__imp_RegDeleteValueA, g_delete_value);
  Point(&__imp_RegEnumKeyExA, g_enum_key);
  Point(&__imp_RegEnumKeyA, g_enum_hive);
  Point(&__imp_RegDeleteKeyA, g_delete_key);
  Point(&__imp_RegCloseKey, g_close);
  Point(&__imp_lstrlenA, g_string_length);
  return g_counts;
}

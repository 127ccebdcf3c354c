#pragma once
// Counts the registry calls that the product's code makes, without touching
// that code: the benchmark executable links the product's registry sources,
// whose calls go through the executable's import address table, so pointing
// those slots at counting wrappers for one run counts every call the product
// makes to them. Only calls through this executable's slots are counted,
// never those that Windows' own DLLs make inside a call.

#include <cstdint>

struct PlatformCallCounts {
  std::int64_t open = 0;          // RegOpenKeyExA
  std::int64_t create = 0;        // RegCreateKeyExA
  std::int64_t set_value = 0;     // RegSetValueExA
  std::int64_t delete_value = 0;  // RegDeleteValueA
  std::int64_t enum_key = 0;      // RegEnumKeyExA
  std::int64_t enum_hive = 0;     // RegEnumKeyA
  std::int64_t delete_key = 0;    // RegDeleteKeyA
  std::int64_t close = 0;         // RegCloseKey
  std::int64_t string_length = 0; // lstrlenA

  std::int64_t Total() const {
    return open + create + set_value + delete_value + enum_key + enum_hive + delete_key +
           close + string_length;
  }
};

// Between these two calls, every call of the functions above made through
// this executable's import slots (the product's and the caller's alike) is
// counted. Not reentrant; one thread.
void StartCountingPlatformCalls();
PlatformCallCounts StopCountingPlatformCalls();

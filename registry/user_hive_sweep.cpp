#include "registry/user_hive_sweep.h"

#include "registry/reg_key_handle.h"

namespace {

// Copies `text` and its NUL into `dest`, which has room for `room`
// characters. Returns the length of the text, or `room` when the text and its
// NUL do not fit; nothing is written then. Never reads more than `room`
// characters of `text`.
DWORD CopyBounded(char* dest, DWORD room, const char* text) {
  DWORD length = 0;
  while (length < room && text[length] != '\0') ++length;
  if (length == room) return room;
  for (DWORD i = 0; i <= length; ++i) dest[i] = text[i];
  return length;
}

}  // namespace

bool ComposeHivePath(char* path, const char* hiveName, const char* suffix) {
  const DWORD nameLength = CopyBounded(path, kHivePathChars, hiveName);
  if (nameLength == kHivePathChars) return false;
  const DWORD room = kHivePathChars - nameLength;
  return CopyBounded(path + nameLength, room, suffix) != room;
}

namespace {

// The loop both sweeps share: list HKEY_USERS by index until the listing
// says no, and hand each hive's composed path to `actOnHive`. The index
// moves on by one per hive whatever happened there; the sweeps only delete
// below a hive, never a hive itself, so they do not shift the list
// themselves.
//
// Windows may still change the list between two indexes: a user logs on or
// off, a service loads its profile. The list is not copied first, so the
// sweep then sees it shifted. A hive loaded at a place already passed pushes
// the one just visited to the next index, and that hive is visited twice
// (the second visit finds nothing to delete) while the new one is missed; a
// hive unloaded at a place already passed pulls the next one into the index
// just used, and that one is missed. A hive unloaded while its tree is being
// deleted leaves the open keys answering as deleted keys, which ends that
// tree. Each visit acts only below the name just read, with the step's own
// suffix, so nothing outside the planned paths is touched either way; a
// missed hive simply keeps its traces.
//
// A hive whose name and suffix do not fit the path buffer is skipped and the
// sweep goes on with the next one. Ending the sweep there would be as
// defensible; skipping keeps one odd hive from sparing every hive listed
// after it. (A hive name that does not fit the name buffer is different:
// RegEnumKeyA itself refuses it, and that refusal ends the sweep.)
//
// A template rather than a function pointer or an interface: each sweep
// gets its own copy of the loop with its action inlined, on the stack only.
// Forced inline because the two buffers would otherwise keep the compiler
// from folding the loop into the small sweep functions, leaving a call more
// in each.
template <class ActOnHive>
[[gnu::always_inline]] inline
int ForEachUserHive(const char* suffix, ActOnHive actOnHive) {
  char hiveName[kHivePathChars] = {};
  char path[kHivePathChars] = {};
  for (DWORD index = 0;; ++index) {
    if (RegEnumKeyA(HKEY_USERS, index, hiveName, kHivePathChars) !=
        ERROR_SUCCESS) {
      return 1;  // the end of the list, or the listing failed
    }
    if (!ComposeHivePath(path, hiveName, suffix)) continue;
    actOnHive(path);
  }
}

}  // namespace

int DeleteTreeInAllUserHives(const char* suffix) {
  return ForEachUserHive(suffix, [](const char* path) {
    // Closes HKEY_USERS at its end; Windows keeps a predefined root usable
    // after RegCloseKey, so the next RegEnumKeyA still works.
    DeleteTreeUnderRoot(HKEY_USERS, path);
  });
}

int DeleteValueInAllUserHives(const char* suffix, const char* valueName) {
  return ForEachUserHive(suffix, [valueName](const char* path) {
    // One key per hive, closed when `key` goes out of scope at the end of
    // this turn. When the open fails the object stays empty and the value
    // deletion changes nothing.
    RegKeyHandle key;
    key.Open(HKEY_USERS, path);
    key.DeleteValue(valueName);
  });
}

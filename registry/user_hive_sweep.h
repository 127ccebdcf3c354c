#pragma once
// The sweeps over every user hive loaded under HKEY_USERS.
//
// Per-user traces live in every profile, not only in the one of the user who
// runs the uninstall, so these walk the hives HKEY_USERS lists (".DEFAULT",
// each logged-on user's SID, its "_Classes" hive and whatever else is loaded)
// and apply one deletion below each. Failures stay in their hive: whatever
// happens in one, the next is visited. Both return 1, whatever happened.

#include "platform/win32.h"

// Room for a hive name, and for a hive name with a suffix appended, NUL
// included (MAX_PATH).
constexpr DWORD kHivePathChars = 260;

// Deletes, in every user hive, the key at the hive's name followed by
// `suffix` ("\Software\..."), together with everything below it.
int DeleteTreeInAllUserHives(const char* suffix);
// Deletes, in every user hive, the value `valueName` of the key at the hive's
// name followed by `suffix`; the key, its other values and subkeys stay.
int DeleteValueInAllUserHives(const char* suffix, const char* valueName);

// Writes `hiveName` directly followed by `suffix` and a NUL into `path`, a
// buffer of kHivePathChars characters. The suffix brings its own leading
// backslash, so no separator is added. Returns false when the two and the
// NUL need more room; then nothing is written beyond the buffer.
bool ComposeHivePath(char* path, const char* hiveName, const char* suffix);

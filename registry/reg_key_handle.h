#pragma once
// RegKeyHandle: the owner of one open registry key.
//
// Every key the module opens lives in one of these, as a local of the
// function that needs it, so every way out of that function closes it.
// Results are the registry's own status codes, passed on unchanged.

#include "platform/win32.h"

// Every key the module opens or creates is asked for read and write access.
constexpr REGSAM kKeyAccess = KEY_READ | KEY_WRITE;

// The deepest a registry tree can be on Windows. A tree that seems deeper is
// a loop of registry links (a link back to one of its own ancestors, which
// any user may plant in their own hive): followed without a bound, the
// deletion would open keys until the stack overflows and takes the hosting
// process down with it.
constexpr DWORD kMaxTreeDepth = 512;
// The answer past that depth. ERROR_STACK_OVERFLOW ("Recursion too deep")
// says what happened, and no registry call returns it, so the stop cannot be
// mistaken for a refusal or a missing key.
constexpr LONG kTreeTooDeep = ERROR_STACK_OVERFLOW;

class RegKeyHandle {
 public:
  RegKeyHandle() = default;
  // Takes ownership of `key`, a predefined root included: destroying the
  // object then closes the root, which Windows allows and ignores.
  explicit RegKeyHandle(HKEY key) : key_(key) {}
  ~RegKeyHandle() { Close(); }

  RegKeyHandle(const RegKeyHandle&) = delete;
  RegKeyHandle& operator=(const RegKeyHandle&) = delete;

  // Opens the existing key at `path` below `parent`. The key held before is
  // released only once the new one is obtained; on failure it stays held.
  LONG Open(HKEY parent, const char* path);
  // As Open, but creates the key and any missing keys above it first.
  LONG Create(HKEY parent, const char* path);
  // Releases the held key, if any. Closing an empty object is a no-op.
  LONG Close();

  // Writes `text` and its NUL as a REG_SZ value of the held key.
  LONG SetStringValue(const char* valueName, const char* text) const;
  LONG DeleteValue(const char* valueName) const;
  // Deletes the key at `path` below the held key with everything beneath it,
  // depth first, stopping at the first failure. A key more than
  // kMaxTreeDepth levels below `path` is never opened: reaching one stops
  // the deletion with kTreeTooDeep.
  LONG DeleteTree(const char* path) const;

  bool IsHolding() const { return key_ != nullptr; }

 private:
  LONG Hold(HKEY key);
  // DeleteTree for the key at `path`, which lies `depth` levels below the
  // key the caller of DeleteTree named.
  LONG DeleteTreeAt(const char* path, DWORD depth) const;

  HKEY key_ = nullptr;
};

// Deletes the tree at `path` below a predefined root, then closes the root.
LONG DeleteTreeUnderRoot(HKEY root, const char* path);

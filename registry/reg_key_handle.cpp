#include "registry/reg_key_handle.h"

LONG RegKeyHandle::Open(HKEY parent, const char* path) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExA(parent, path, 0, kKeyAccess, &opened);
  if (result != ERROR_SUCCESS) return result;
  return Hold(opened);
}

LONG RegKeyHandle::Create(HKEY parent, const char* path) {
  HKEY created = nullptr;
  DWORD disposition = 0;  // created or opened: nobody asks
  const LONG result =
      RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      kKeyAccess, nullptr, &created, &disposition);
  if (result != ERROR_SUCCESS) return result;
  return Hold(created);
}

LONG RegKeyHandle::Hold(HKEY key) {
  // The new key is kept even when releasing the old one fails: it is open
  // now, and dropping it would leak it.
  const LONG closed = Close();
  key_ = key;
  return closed;
}

LONG RegKeyHandle::Close() {
  if (key_ == nullptr) return ERROR_SUCCESS;
  HKEY const key = key_;
  key_ = nullptr;
  return RegCloseKey(key);
}

// An empty object never hands a null key to the registry: the write and the
// deletion below refuse at once with the code Windows itself would give.
LONG RegKeyHandle::SetStringValue(const char* valueName,
                                  const char* text) const {
  if (key_ == nullptr) return ERROR_INVALID_HANDLE;
  const DWORD byteCount = static_cast<DWORD>(lstrlenA(text)) + 1;
  return RegSetValueExA(key_, valueName, 0, REG_SZ,
                        reinterpret_cast<const unsigned char*>(text),
                        byteCount);
}

LONG RegKeyHandle::DeleteValue(const char* valueName) const {
  if (key_ == nullptr) return ERROR_INVALID_HANDLE;
  return RegDeleteValueA(key_, valueName);
}

// The registry cases on a real registry: the scratch key is removed before
// each case and at the end, links included, and links are planted the way
// a program plants them on Windows.

#include <initializer_list>
#include <string>

#include "tests/wine/tools/case_scratch.h"

// The few calls beyond the module's that this needs, in our own words.
extern "C" {
INST_IMPORT LONG INST_WINAPI RegSetValueExW(HKEY key, const wchar_t* valueName,
                                            DWORD reserved, DWORD type,
                                            const unsigned char* data, DWORD byteCount);
// ntdll: deletes the key the handle names; on a handle opened with the
// open-link option that is the link itself, not its target.
INST_IMPORT LONG INST_WINAPI NtDeleteKey(HKEY key);
}

namespace cases {
namespace {

constexpr DWORD kCreateLink = 0x2;  // REG_OPTION_CREATE_LINK
constexpr DWORD kOpenLink = 0x8;    // REG_OPTION_OPEN_LINK
constexpr DWORD kRegLink = 6;       // REG_LINK
constexpr REGSAM kAllAccess = 0xF003F;

// Deletes `name` below `parent` and everything below it, without following
// links: a link is opened as itself and deleted as itself.
void Remove(HKEY parent, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, name, kOpenLink, kAllAccess, &key) != ERROR_SUCCESS) return;
  DWORD index = 0;
  for (;;) {
    char child[260];
    DWORD size = sizeof child;
    FILETIME written{};
    if (RegEnumKeyExA(key, index, child, &size, nullptr, nullptr, nullptr, &written) !=
        ERROR_SUCCESS) {
      break;
    }
    Remove(key, child);
    // A child that would not go is stepped over, so the loop ends.
    char again[260];
    DWORD againSize = sizeof again;
    if (RegEnumKeyExA(key, index, again, &againSize, nullptr, nullptr, nullptr, &written) ==
            ERROR_SUCCESS &&
        std::string(again) == child) {
      ++index;
    }
  }
  NtDeleteKey(key);
  RegCloseKey(key);
}

// The name of the current user's hive under HKEY_USERS: the one in which a
// key just made under HKEY_CURRENT_USER shows up.
std::string CurrentUserHive() {
  const std::string marker = std::string(kScratch) + "\\CurrentUserMarker";
  HKEY made = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, marker.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                      nullptr, &made, nullptr) != ERROR_SUCCESS) {
    return "";
  }
  RegCloseKey(made);
  std::string found;
  char hive[260];
  for (DWORD i = 0; found.empty() && RegEnumKeyA(HKEY_USERS, i, hive, sizeof hive) == 0; ++i) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, (std::string(hive) + "\\" + marker).c_str(), 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      found = hive;
    }
  }
  RegDeleteKeyA(HKEY_CURRENT_USER, marker.c_str());
  return found;
}

std::wstring NtPath(RootKey root, const std::string& path) {
  std::string nt;
  switch (root) {
    case RootKey::LocalMachine:
      nt = "\\Registry\\Machine";
      break;
    case RootKey::CurrentUser:
      nt = "\\Registry\\User\\" + CurrentUserHive();
      break;
    case RootKey::Users:
      nt = "\\Registry\\User";
      break;
  }
  if (!path.empty()) nt += "\\" + path;
  return std::wstring(nt.begin(), nt.end());
}

}  // namespace

void ClearScratch() {
  for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
    Remove(RootHandle(root), kScratch);
  }
}

LONG MakeLink(RootKey root, const std::string& path, RootKey targetRoot,
              const std::string& targetPath) {
  HKEY link = nullptr;
  LONG status = RegCreateKeyExA(RootHandle(root), path.c_str(), 0, nullptr, kCreateLink,
                                kAllAccess, nullptr, &link, nullptr);
  if (status != ERROR_SUCCESS) return status;
  const std::wstring target = NtPath(targetRoot, targetPath);
  status = RegSetValueExW(link, L"SymbolicLinkValue", 0, kRegLink,
                          reinterpret_cast<const unsigned char*>(target.data()),
                          static_cast<DWORD>(target.size() * sizeof(wchar_t)));
  RegCloseKey(link);
  return status;
}

}  // namespace cases

// Plants, reads and removes registry links, as any user can in their own
// hive, so that the tests can show what a hostile link does to the module:
//
//   reglink create KEY TARGET   creates KEY as a link to TARGET, an NT registry
//                               path such as \Registry\User\<SID>\Software\...
//                               or \Registry\Machine\Software\...; prints
//                               "created"
//   reglink read KEY            prints "target=<TARGET>" as stored in the link
//                               itself, and "opens=<status>": what opening KEY
//                               the ordinary way (options 0) returns, 0 when
//                               the link leads somewhere
//   reglink remove KEY          deletes the link itself, never its target;
//                               prints "removed", or "absent" when KEY is gone
//
// KEY is written as HKLM\..., HKCU\... or HKU\.... Exit status 0 on success,
// 1 when Windows refused, 64 on a usage error.
//
// A link is a key made with REG_OPTION_CREATE_LINK that holds one REG_LINK
// value, "SymbolicLinkValue": the target's NT path in UTF-16, without a
// terminating NUL. Opening it with options 0 opens the target; only
// REG_OPTION_OPEN_LINK opens the link key itself. RegDeleteKey acts on the
// target, so the link itself is removed with NtDeleteKey on a handle opened
// with REG_OPTION_OPEN_LINK.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" LONG NTAPI NtDeleteKey(HANDLE key);

namespace {

const wchar_t kLinkValue[] = L"SymbolicLinkValue";

struct Root {
  const char* name;
  HKEY key;
};
const Root kRoots[] = {
    {"HKLM", HKEY_LOCAL_MACHINE}, {"HKCU", HKEY_CURRENT_USER}, {"HKU", HKEY_USERS}};

bool SplitRoot(const std::string& full, HKEY* root, std::string* rest) {
  const size_t slash = full.find('\\');
  if (slash == std::string::npos) return false;
  for (const Root& r : kRoots) {
    if (_stricmp(full.substr(0, slash).c_str(), r.name) == 0) {
      *root = r.key;
      *rest = full.substr(slash + 1);
      return true;
    }
  }
  return false;
}

int Refused(const char* what, const char* key, LONG status) {
  std::fprintf(stderr, "%s %s: error %ld\n", what, key, status);
  return 1;
}

int Create(HKEY root, const std::string& path, const char* key, const char* target) {
  HKEY link = nullptr;
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                KEY_ALL_ACCESS, nullptr, &link, &disposition);
  if (status != ERROR_SUCCESS) return Refused("RegCreateKeyExA", key, status);
  if (disposition != REG_CREATED_NEW_KEY) {
    // An existing key is opened, not turned into a link.
    RegCloseKey(link);
    std::fprintf(stderr, "%s exists already\n", key);
    return 1;
  }
  std::wstring wide;
  for (const char* c = target; *c != '\0'; ++c) wide += static_cast<wchar_t>(*c);
  status = RegSetValueExW(link, kLinkValue, 0, REG_LINK,
                          reinterpret_cast<const BYTE*>(wide.data()),
                          static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
  RegCloseKey(link);
  if (status != ERROR_SUCCESS) return Refused("RegSetValueExW", key, status);
  std::printf("created\n");
  return 0;
}

int Read(HKEY root, const std::string& path, const char* key) {
  HKEY link = nullptr;
  LONG status = RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &link);
  if (status != ERROR_SUCCESS) return Refused("RegOpenKeyExA (the link)", key, status);
  wchar_t target[1024] = {};
  DWORD type = 0;
  DWORD size = sizeof target - sizeof(wchar_t);
  status = RegQueryValueExW(link, kLinkValue, nullptr, &type,
                            reinterpret_cast<BYTE*>(target), &size);
  RegCloseKey(link);
  if (status != ERROR_SUCCESS) return Refused("RegQueryValueExW", key, status);
  if (type != REG_LINK) {
    std::fprintf(stderr, "%s holds a value of type %lu, not a link\n", key, type);
    return 1;
  }
  std::string narrow;
  for (DWORD i = 0; i < size / sizeof(wchar_t); ++i) {
    narrow += target[i] < 0x80 ? static_cast<char>(target[i]) : '?';
  }

  HKEY followed = nullptr;
  const LONG opens = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &followed);
  if (opens == ERROR_SUCCESS) RegCloseKey(followed);
  std::printf("target=%s\nopens=%ld\n", narrow.c_str(), opens);
  return 0;
}

int Remove(HKEY root, const std::string& path, const char* key) {
  HKEY link = nullptr;
  LONG status = RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK,
                              KEY_READ | DELETE, &link);
  if (status == ERROR_FILE_NOT_FOUND) {
    std::printf("absent\n");
    return 0;
  }
  if (status != ERROR_SUCCESS) return Refused("RegOpenKeyExA (the link)", key, status);
  const LONG nt_status = NtDeleteKey(link);
  RegCloseKey(link);
  if (nt_status != 0) {
    std::fprintf(stderr, "NtDeleteKey %s: status %08lx\n", key,
                 static_cast<unsigned long>(nt_status));
    return 1;
  }
  std::printf("removed\n");
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: reglink create KEY TARGET | read KEY | remove KEY\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const char* command = argv[1];
  const char* key = argv[2];
  HKEY root;
  std::string path;
  if (!SplitRoot(key, &root, &path)) return Usage();
  int result;
  if (std::strcmp(command, "create") == 0 && argc == 4) {
    result = Create(root, path, key, argv[3]);
  } else if (std::strcmp(command, "read") == 0 && argc == 3) {
    result = Read(root, path, key);
  } else if (std::strcmp(command, "remove") == 0 && argc == 3) {
    result = Remove(root, path, key);
  } else {
    return Usage();
  }
  std::fflush(stdout);
  return result;
}

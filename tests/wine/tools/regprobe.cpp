// Reads what the tests check, with Windows' own calls, and prints it in a
// form a script can parse exactly (tab-separated, one item a line):
//
//   regprobe dump [--view32] KEY...   every key below KEY, every value with its
//                                     type number and data bytes in hex:
//                                       K <tab> path
//                                       V <tab> path <tab> name <tab> type <tab> hex
//                                       M <tab> path            (KEY is missing)
//   regprobe hives                    the subkeys of HKEY_USERS, one a line
//   regprobe window CLASS             "present <hwnd>" or "absent"
//   regprobe component GUID           MsiLocateComponentA's state for the
//                                     component code, asked with a length
//                                     pointer and with a null one:
//                                       with_length=<n> null_length=<n>
//   regprobe product GUID             MsiQueryProductStateA: state=<n>
//
// KEY is written as HKLM\..., HKCU\... or HKU\... (or the long root names).

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hex_text.h"

namespace {

constexpr REGSAM kRead = KEY_READ;

struct Root {
  const char* name;
  HKEY key;
};
const Root kRoots[] = {
    {"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", HKEY_CURRENT_USER},  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKU", HKEY_USERS},          {"HKEY_USERS", HKEY_USERS},
};

bool SplitRoot(const std::string& full, HKEY* root, std::string* rest) {
  const size_t slash = full.find('\\');
  const std::string head = full.substr(0, slash);
  for (const Root& r : kRoots) {
    if (_stricmp(head.c_str(), r.name) == 0) {
      *root = r.key;
      *rest = slash == std::string::npos ? std::string() : full.substr(slash + 1);
      return true;
    }
  }
  return false;
}

// Prints the key (opened as `key`, named `path`) and everything below it.
// Returns false if some part could not be read.
bool DumpOpen(HKEY key, const std::string& path, REGSAM view) {
  bool ok = true;
  std::printf("K\t%s\n", path.c_str());

  DWORD subkeys = 0, max_subkey = 0, values = 0, max_name = 0, max_data = 0;
  LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &max_subkey,
                                 nullptr, &values, &max_name, &max_data, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "RegQueryInfoKeyA %s: %ld\n", path.c_str(), status);
    return false;
  }

  std::vector<char> name(max_name + 2);
  std::vector<unsigned char> data(max_data + 2);
  for (DWORD i = 0;; ++i) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    status = RegEnumValueA(key, i, name.data(), &name_size, nullptr, &type, data.data(),
                           &data_size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "RegEnumValueA %s #%lu: %ld\n", path.c_str(), i, status);
      ok = false;
      break;
    }
    std::printf("V\t%s\t%s\t%lu\t%s\n", path.c_str(), name.data(), type,
                HexText(data.data(), data_size).c_str());
  }

  std::vector<char> child(max_subkey + 2);
  for (DWORD i = 0;; ++i) {
    DWORD child_size = static_cast<DWORD>(child.size());
    status = RegEnumKeyExA(key, i, child.data(), &child_size, nullptr, nullptr, nullptr,
                           nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "RegEnumKeyExA %s #%lu: %ld\n", path.c_str(), i, status);
      ok = false;
      break;
    }
    HKEY sub = nullptr;
    status = RegOpenKeyExA(key, child.data(), 0, kRead | view, &sub);
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "RegOpenKeyExA %s\\%s: %ld\n", path.c_str(), child.data(), status);
      ok = false;
      continue;
    }
    ok = DumpOpen(sub, path + "\\" + child.data(), view) && ok;
    RegCloseKey(sub);
  }
  return ok;
}

int Dump(int argc, char** argv) {
  REGSAM view = 0;
  int i = 0;
  if (i < argc && std::strcmp(argv[i], "--view32") == 0) {
    view = KEY_WOW64_32KEY;
    ++i;
  }
  bool ok = true;
  for (; i < argc; ++i) {
    HKEY root;
    std::string rest;
    if (!SplitRoot(argv[i], &root, &rest)) {
      std::fprintf(stderr, "unknown root in %s\n", argv[i]);
      return 64;
    }
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExA(root, rest.c_str(), 0, kRead | view, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
      std::printf("M\t%s\n", argv[i]);
      continue;
    }
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "RegOpenKeyExA %s: %ld\n", argv[i], status);
      ok = false;
      continue;
    }
    ok = DumpOpen(key, argv[i], view) && ok;
    RegCloseKey(key);
  }
  return ok ? 0 : 1;
}

int Hives() {
  char name[MAX_PATH];
  for (DWORD i = 0;; ++i) {
    const LONG status = RegEnumKeyA(HKEY_USERS, i, name, sizeof name);
    if (status == ERROR_NO_MORE_ITEMS) return 0;
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "RegEnumKeyA HKU #%lu: %ld\n", i, status);
      return 1;
    }
    std::printf("%s\n", name);
  }
}

int Window(const char* window_class) {
  HWND window = FindWindowA(window_class, nullptr);
  if (window == nullptr) {
    std::printf("absent\n");
  } else {
    std::printf("present %llx\n",
                static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
  }
  return 0;
}

int Component(const char* code) {
  char path[MAX_PATH];
  DWORD size = sizeof path;
  const INSTALLSTATE with_length = MsiLocateComponentA(code, path, &size);
  const INSTALLSTATE null_length = MsiLocateComponentA(code, nullptr, nullptr);
  std::printf("with_length=%d null_length=%d\n", static_cast<int>(with_length),
              static_cast<int>(null_length));
  return 0;
}

int Product(const char* code) {
  std::printf("state=%d\n", static_cast<int>(MsiQueryProductStateA(code)));
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: regprobe dump [--view32] KEY... | hives | window CLASS |"
               " component GUID | product GUID\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const char* command = argv[1];
  int result;
  if (std::strcmp(command, "dump") == 0) {
    result = Dump(argc - 2, argv + 2);
  } else if (std::strcmp(command, "hives") == 0 && argc == 2) {
    result = Hives();
  } else if (std::strcmp(command, "window") == 0 && argc == 3) {
    result = Window(argv[2]);
  } else if (std::strcmp(command, "component") == 0 && argc == 3) {
    result = Component(argv[2]);
  } else if (std::strcmp(command, "product") == 0 && argc == 3) {
    result = Product(argv[2]);
  } else {
    return Usage();
  }
  std::fflush(stdout);
  return result;
}

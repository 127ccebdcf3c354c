// Replays scenarios on the real registry: seeds the registry a scenario
// starts from, calls the module's export in this process, and prints the
// state before and after, restricted to the keys the test names.
//
//   state_replay FILE MODULE
//
// FILE, tab-separated, one item a line:
//   U  path                        a key whose state is printed (every scenario)
//   R  name  export  handle        starts a scenario
//   K  path                        a key the scenario starts with
//   V  path  name  type  hex       a value the scenario starts with
// Paths are written HKLM\... or HKU\<hive>\....
//
// Output, per scenario and phase (B before the call, A after it):
//   PHASE  scenario  K  path                        the key exists
//   PHASE  scenario  V  path  name  type  hex       one of its values
//   PHASE  scenario  C  path  child                 one of its subkeys
//   F  scenario  what  status                       seeding failed
//   R  scenario  result                             what the export returned
//
// Before the first scenario the tool notes which of the U keys and values
// exist; before each scenario, and at the end, it removes every U key and
// value that was not there then, so the scenarios start alike and the
// registry is left as found.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hex_text.h"

namespace {

using Action = UINT(WINAPI*)(ULONG);

struct Place {
  HKEY root;
  std::string path;  // below the root
};

bool Split(const std::string& full, Place* place) {
  const size_t slash = full.find('\\');
  const std::string head = full.substr(0, slash);
  place->path = slash == std::string::npos ? "" : full.substr(slash + 1);
  if (head == "HKLM") place->root = HKEY_LOCAL_MACHINE;
  else if (head == "HKU") place->root = HKEY_USERS;
  else return false;
  return true;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

std::vector<BYTE> Bytes(const std::string& hex) {
  std::vector<BYTE> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

// Opens a key one name at a time: Wine's ANSI registry calls take a path of
// at most 260 characters, and the scenarios hold longer ones.
HKEY OpenPath(const std::string& full, REGSAM access) {
  Place place;
  if (!Split(full, &place)) return nullptr;
  HKEY current = place.root;
  std::istringstream names(place.path);
  for (std::string name; std::getline(names, name, '\\');) {
    HKEY next = nullptr;
    const LONG status = RegOpenKeyExA(current, name.c_str(), 0, access, &next);
    if (current != place.root) RegCloseKey(current);
    if (status != ERROR_SUCCESS) return nullptr;
    current = next;
  }
  return current == place.root ? nullptr : current;
}

// An open key, closed when it goes.
class Key {
 public:
  explicit Key(const std::string& full, REGSAM access = KEY_READ)
      : key_(OpenPath(full, access)) {}
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

struct KeyState {
  std::map<std::string, std::string> values;  // name -> "type\thex"
  std::vector<std::string> children;
};

bool Read(const std::string& full, KeyState* state) {
  Key key(full);
  if (!key.get()) return false;
  std::vector<char> name(32768);
  std::vector<BYTE> data(1 << 20);
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueA(key.get(), i, name.data(), &nameSize, nullptr, &type, data.data(),
                      &dataSize) != ERROR_SUCCESS) {
      break;
    }
    state->values[name.data()] = std::to_string(type) + "\t" + HexText(data.data(), dataSize);
  }
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    if (RegEnumKeyExA(key.get(), i, name.data(), &nameSize, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      break;
    }
    state->children.push_back(name.data());
  }
  return true;
}

void Print(const char* phase, const std::string& scenario, const std::vector<std::string>& keys) {
  for (const std::string& full : keys) {
    KeyState state;
    if (!Read(full, &state)) continue;
    std::printf("%s\t%s\tK\t%s\n", phase, scenario.c_str(), full.c_str());
    for (const auto& [name, value] : state.values) {
      std::printf("%s\t%s\tV\t%s\t%s\t%s\n", phase, scenario.c_str(), full.c_str(),
                  name.c_str(), value.c_str());
    }
    for (const std::string& child : state.children) {
      std::printf("%s\t%s\tC\t%s\t%s\n", phase, scenario.c_str(), full.c_str(), child.c_str());
    }
  }
}

// Removes the U keys and values that were not there at the start; the
// shallowest first, each with everything below it.
void Restore(const std::vector<std::string>& keys, const std::map<std::string, KeyState>& found) {
  std::vector<std::string> order = keys;
  std::stable_sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') < std::count(b.begin(), b.end(), '\\');
  });
  for (const std::string& full : order) {
    auto pristine = found.find(full);
    if (pristine == found.end()) {
      const size_t slash = full.rfind('\\');
      const std::string name = full.substr(slash + 1);
      Place place;
      if (Split(full, &place) && place.path == name) {
        RegDeleteTreeA(place.root, name.c_str());
        RegDeleteKeyA(place.root, name.c_str());
      } else {
        Key parent(full.substr(0, slash), KEY_READ | KEY_WRITE);
        if (parent.get()) {
          RegDeleteTreeA(parent.get(), name.c_str());
          RegDeleteKeyA(parent.get(), name.c_str());
        }
      }
      continue;
    }
    KeyState now;
    if (!Read(full, &now)) continue;
    Key key(full, KEY_READ | KEY_WRITE);
    for (const auto& entry : now.values) {
      if (!pristine->second.values.count(entry.first)) {
        RegDeleteValueA(key.get(), entry.first.c_str());
      }
    }
  }
}

// Creates a key one level at a time, so that depth is never a matter of
// how many levels one call may create.
LONG CreatePath(const std::string& full) {
  Place place;
  if (!Split(full, &place)) return ERROR_BAD_PATHNAME;
  HKEY current = place.root;
  std::istringstream names(place.path);
  LONG status = ERROR_SUCCESS;
  for (std::string name; std::getline(names, name, '\\');) {
    HKEY next = nullptr;
    status = RegCreateKeyExA(current, name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                             nullptr, &next, nullptr);
    if (current != place.root) RegCloseKey(current);
    if (status != ERROR_SUCCESS) return status;
    current = next;
  }
  if (current != place.root) RegCloseKey(current);
  return status;
}

struct Scenario {
  std::string name, exportName;
  ULONG handle = 0;
  std::vector<std::string> keys;
  std::vector<std::vector<std::string>> values;  // path, name, type, hex
};

bool Seed(const Scenario& s) {
  bool ok = true;
  for (const std::string& full : s.keys) {
    const LONG status = CreatePath(full);
    if (status != ERROR_SUCCESS) {
      std::printf("F\t%s\tkey %s\t%ld\n", s.name.c_str(), full.c_str(), status);
      ok = false;
    }
  }
  for (const auto& v : s.values) {
    Key key(v[0], KEY_READ | KEY_WRITE);
    const std::vector<BYTE> data = Bytes(v[3]);
    const LONG status =
        key.get() ? RegSetValueExA(key.get(), v[1].c_str(), 0, std::strtoul(v[2].c_str(), nullptr, 10),
                                   data.data(), static_cast<DWORD>(data.size()))
                  : ERROR_FILE_NOT_FOUND;
    if (status != ERROR_SUCCESS) {
      std::printf("F\t%s\tvalue %s [%s]\t%ld\n", s.name.c_str(), v[0].c_str(), v[1].c_str(),
                  status);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: state_replay FILE MODULE\n");
    return 64;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  std::vector<std::string> keys;
  std::vector<Scenario> scenarios;
  for (std::string line; std::getline(in, line);) {
    const auto f = Fields(line);
    if (f.size() == 2 && f[0] == "U") {
      keys.push_back(f[1]);
    } else if (f.size() == 4 && f[0] == "R") {
      scenarios.push_back({f[1], f[2], std::strtoul(f[3].c_str(), nullptr, 10), {}, {}});
    } else if (f.size() == 2 && f[0] == "K" && !scenarios.empty()) {
      scenarios.back().keys.push_back(f[1]);
    } else if (f.size() == 5 && f[0] == "V" && !scenarios.empty()) {
      scenarios.back().values.push_back({f[1], f[2], f[3], f[4]});
    } else if (!line.empty()) {
      std::fprintf(stderr, "not understood: %s\n", line.c_str());
      return 2;
    }
  }

  HMODULE module = LoadLibraryA(argv[2]);
  if (!module) {
    std::fprintf(stderr, "cannot load %s: error %lu\n", argv[2], GetLastError());
    return 3;
  }

  std::map<std::string, KeyState> found;
  for (const std::string& full : keys) {
    KeyState state;
    if (Read(full, &state)) found[full] = state;
  }

  for (const Scenario& s : scenarios) {
    Restore(keys, found);
    if (!Seed(s)) continue;
    auto action = reinterpret_cast<Action>(
        reinterpret_cast<void*>(GetProcAddress(module, s.exportName.c_str())));
    if (!action) {
      std::printf("F\t%s\texport %s\t%lu\n", s.name.c_str(), s.exportName.c_str(),
                  GetLastError());
      continue;
    }
    Print("B", s.name, keys);
    std::printf("R\t%s\t%u\n", s.name.c_str(), action(s.handle));
    Print("A", s.name, keys);
  }
  Restore(keys, found);
  std::fflush(stdout);
  return 0;
}

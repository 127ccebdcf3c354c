#include "tests/random/reference_model.h"

#include <algorithm>
#include <cstdio>

#include "tests/expected_cleanup.h"

namespace refmodel {
namespace {

// Registry results, as Windows numbers them.
constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kNotFound = 2;
constexpr std::int32_t kDenied = 5;
constexpr std::int32_t kInvalidParameter = 87;
// Windows refuses a path with a name longer than this before it looks
// anything up.
constexpr std::size_t kLongestKeyName = 256;

// The name buffer of one level of the tree deletion, and the hive name and
// composed path buffers of the sweeps, in characters with the NUL.
constexpr std::size_t kSubkeyNameRoom = 256;
constexpr std::size_t kHivePathRoom = 260;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Two paths name the same key when they have as many names and each pair of
// names is the same.
bool SamePath(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!SameName(a[i], b[i])) return false;
  }
  return true;
}

// `path` lies strictly below `top`.
bool IsBelow(const std::vector<std::string>& path, const std::vector<std::string>& top) {
  if (path.size() <= top.size()) return false;
  return SamePath(top, std::vector<std::string>(path.begin(), path.begin() + top.size()));
}

bool IsRefused(const Registry& registry, Root root, const std::vector<std::string>& path,
               Refusal refusal) {
  for (const Refused& r : registry.refusals) {
    if (r.root != root || r.refusal != refusal) continue;
    if (SamePath(r.path, path) || (r.subtree && IsBelow(path, r.path))) return true;
  }
  return false;
}

std::size_t Find(const Key& parent, const std::string& name) {
  for (std::size_t i = 0; i < parent.subkeys.size(); ++i) {
    if (SameName(parent.subkeys[i].name, name)) return i;
  }
  return parent.subkeys.size();
}

std::size_t FirstListed(const Key& key) {
  std::size_t first = 0;
  for (std::size_t i = 1; i < key.subkeys.size(); ++i) {
    if (ListsBefore(key.subkeys[i].name, key.subkeys[first].name)) first = i;
  }
  return first;
}

// Deletes subkey `index` of `parent`, found at `path` below `root`, with
// everything below it.
std::int32_t DeleteKey(Registry& registry, Root root, const std::vector<std::string>& path,
                       Key& parent, std::size_t index) {
  if (IsRefused(registry, root, path, Refusal::Open)) return kDenied;
  Key& key = parent.subkeys[index];
  while (!key.subkeys.empty()) {
    const std::size_t first = FirstListed(key);
    // Does not fit the name buffer: the listing fails and the key stays
    // unemptied.
    if (key.subkeys[first].name.size() + 1 > kSubkeyNameRoom) break;
    std::vector<std::string> below = path;
    below.push_back(key.subkeys[first].name);
    const std::int32_t result = DeleteKey(registry, root, below, key, first);
    if (result != kSuccess) return result;
  }
  const bool isHive = path.size() == 1;
  if (!key.subkeys.empty() || isHive || IsRefused(registry, root, path, Refusal::Delete)) {
    return kDenied;
  }
  parent.subkeys.erase(parent.subkeys.begin() + static_cast<std::ptrdiff_t>(index));
  return kSuccess;
}

std::int32_t DeleteTreeBelow(Registry& registry, Root root, std::vector<std::string> path) {
  if (path.empty()) return kDenied;  // a root itself is never deleted
  Key* parent = root == Root::Machine ? &registry.machine : &registry.users;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    const std::size_t at = Find(*parent, path[i]);
    if (at == parent->subkeys.size()) return kNotFound;
    parent = &parent->subkeys[at];
  }
  const std::size_t at = Find(*parent, path.back());
  if (at == parent->subkeys.size()) return kNotFound;
  return DeleteKey(registry, root, path, *parent, at);
}

// The hives in listing order, as the sweeps see them; empty when the listing
// of HKEY_USERS is refused. A name that does not fit ends the list.
std::vector<std::string> VisitedHives(const Registry& registry) {
  std::vector<std::string> hives;
  if (IsRefused(registry, Root::Users, {}, Refusal::Open)) return hives;
  for (const Key& hive : registry.users.subkeys) hives.push_back(hive.name);
  std::sort(hives.begin(), hives.end(), ListsBefore);
  for (std::size_t i = 0; i < hives.size(); ++i) {
    if (hives[i].size() + 1 > kHivePathRoom) {
      hives.resize(i);
      break;
    }
  }
  return hives;
}

bool ComposedPathFits(const std::string& hive, const std::string& suffix) {
  return hive.size() + suffix.size() + 1 <= kHivePathRoom;
}

void DumpKey(const Key& key, const std::string& path, std::vector<std::string>& lines) {
  lines.push_back(path);
  std::vector<const Value*> values;
  for (const Value& v : key.values) values.push_back(&v);
  std::sort(values.begin(), values.end(),
            [](const Value* a, const Value* b) { return ListsBefore(a->name, b->name); });
  for (const Value* v : values) {
    std::string line = path + " [" + v->name + "] type " + std::to_string(v->type) + ":";
    for (std::uint8_t byte : v->bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", byte);
      line += hex;
    }
    lines.push_back(line);
  }
  std::vector<const Key*> subkeys;
  for (const Key& k : key.subkeys) subkeys.push_back(&k);
  std::sort(subkeys.begin(), subkeys.end(),
            [](const Key* a, const Key* b) { return ListsBefore(a->name, b->name); });
  for (const Key* k : subkeys) DumpKey(*k, path + "\\" + k->name, lines);
}


}  // namespace

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

bool ListsBefore(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(Upper(a[i]));
    const auto y = static_cast<unsigned char>(Upper(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> names;
  std::string name;
  for (char c : path) {
    if (c != '\\') {
      name += c;
      continue;
    }
    if (!name.empty()) names.push_back(name);
    name.clear();
  }
  if (!name.empty()) names.push_back(name);
  return names;
}

Key& MakeKey(Key& root, const std::vector<std::string>& path) {
  Key* key = &root;
  for (const std::string& name : path) {
    std::size_t at = Find(*key, name);
    if (at == key->subkeys.size()) key->subkeys.push_back(Key{name, {}, {}});
    key = &key->subkeys[at];
  }
  return *key;
}

Key* FindKey(Key& root, const std::vector<std::string>& path) {
  Key* key = &root;
  for (const std::string& name : path) {
    const std::size_t at = Find(*key, name);
    if (at == key->subkeys.size()) return nullptr;
    key = &key->subkeys[at];
  }
  return key;
}

std::int32_t DeleteTree(Registry& registry, Start start, const std::string& path) {
  std::vector<std::string> names = SplitPath(path);
  for (const std::string& name : names) {
    if (name.size() > kLongestKeyName) return kInvalidParameter;
  }
  if (start == Start::Machine) return DeleteTreeBelow(registry, Root::Machine, names);
  if (start == Start::CurrentUser) names.insert(names.begin(), registry.currentUser);
  return DeleteTreeBelow(registry, Root::Users, names);
}

void SweepTree(Registry& registry, const std::string& suffix) {
  for (const std::string& hive : VisitedHives(registry)) {
    if (ComposedPathFits(hive, suffix)) DeleteTree(registry, Start::Users, hive + suffix);
  }
}

void SweepValue(Registry& registry, const std::string& suffix, const std::string& valueName) {
  for (const std::string& hive : VisitedHives(registry)) {
    if (!ComposedPathFits(hive, suffix)) continue;
    const std::vector<std::string> path = SplitPath(hive + suffix);
    Key* key = FindKey(registry.users, path);
    if (key == nullptr || IsRefused(registry, Root::Users, path, Refusal::Open)) continue;
    for (std::size_t i = 0; i < key->values.size(); ++i) {
      if (SameName(key->values[i].name, valueName)) {
        key->values.erase(key->values.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
}

void Uninstall(Registry& registry, int firstGuardState, int secondGuardState) {
  namespace plan = expected_cleanup;
  if (firstGuardState == plan::kInstalledLocally ||
      secondGuardState == plan::kInstalledLocally) {
    return;
  }
  for (const plan::Step& step : plan::kSteps) {
    switch (step.kind) {
      case plan::Kind::TreeInEachHive:
        SweepTree(registry, step.path);
        break;
      case plan::Kind::ValueInEachHive:
        SweepValue(registry, step.path, step.valueName);
        break;
      case plan::Kind::TreeUnderCurrentUser:
        DeleteTree(registry, Start::CurrentUser, step.path);
        break;
      case plan::Kind::TreeUnderMachine:
        DeleteTree(registry, Start::Machine, step.path);
        break;
    }
  }
}

std::vector<std::string> Dump(const Key& root) {
  std::vector<std::string> lines;
  DumpKey(root, "", lines);
  return lines;
}

}  // namespace refmodel

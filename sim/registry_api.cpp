// The registry functions of advapi32, over the stand-in's key tree.

#include <cstring>

#include "sim/state.h"

namespace sim {
namespace {

// Windows answers this for any use of a handle whose key has been deleted.
constexpr LONG kKeyDeleted = 1018;
constexpr LONG kInvalidParameter = 87;
constexpr LONG kBadPathname = 161;

// A path is relative to the key it is given with: Windows refuses one that
// starts with a backslash (ERROR_BAD_PATHNAME), and a key name longer than
// 256 characters, one more than its documented limit of 255, that it does
// still accept (ERROR_INVALID_PARAMETER).
LONG PathSyntax(const char* path) {
  if (path == nullptr) return ERROR_SUCCESS;
  if (path[0] == '\\') return kBadPathname;
  for (const std::string& name : SplitPath(path)) {
    if (name.size() > 256) return kInvalidParameter;
  }
  return ERROR_SUCCESS;
}

std::string Num(std::uint64_t value) { return std::to_string(value); }

HKEY IssueHandle(const std::shared_ptr<Key>& key) {
  State& s = TheState();
  ++s.handlesIssued;
  const std::uintptr_t value = kFirstKeyHandle + kKeyHandleStep * s.handlesIssued;
  s.handles[value] = key;
  s.handleNames[value] = "h" + Num(s.handlesIssued);
  return reinterpret_cast<HKEY>(value);
}

// The keys straight under a root are hives (HKLM\SOFTWARE, HKU\<SID>), and
// Windows refuses to delete them.
bool IsHiveOrRoot(const Key& key) {
  return key.parent == nullptr || key.parent->parent == nullptr;
}

// Finishes a call that returns a status code, and returns it.
LONG Done(LONG result, const std::string& out = "") {
  EndCall(std::to_string(result), out);
  return result;
}

// A key a platform call may work on, or the code Windows gives instead.
struct Usable {
  std::shared_ptr<Key> key;  // null when `error` says why not
  LONG error = ERROR_SUCCESS;
};

// The opening every registry function shares: the handle must name a root
// or a key open in the handle table, and that key must not be deleted.
Usable UseHandle(HKEY handle) {
  auto key = Resolve(handle);
  if (!key) return {nullptr, ERROR_INVALID_HANDLE};
  if (key->deleted) return {nullptr, kKeyDeleted};
  return {key, ERROR_SUCCESS};
}

// ---- registry links ---------------------------------------------------------

// How many links one lookup follows before it gives up, so that a link that
// leads to itself cannot hold a call forever. The answer then is the one of
// a link that leads nowhere; no product test depends on which code it is.
constexpr int kMaxLinkHops = 16;

// The hive a key lives in: the key straight under HKEY_USERS or
// HKEY_LOCAL_MACHINE on its way up. Null for a root.
const Key* HiveOf(const Key& key) {
  const Key* hive = &key;
  if (hive->parent == nullptr) return nullptr;
  while (hive->parent->parent != nullptr) hive = hive->parent;
  return hive;
}

bool InUserHive(const Key& key) {
  const Key* hive = HiveOf(key);
  return hive != nullptr && hive->parent == TheState().users.get();
}

// Whether Windows follows `link`. Since MS10-021 the kernel does not follow a
// link from a user's hive into the machine hive, and Windows 10 no longer
// follows one into another user's hive either. Microsoft documents the rule
// but not the status; what a caller sees is "access denied" (reg.exe prints
// "Access is denied." when it queries such a link), so the refusal here is
// ERROR_ACCESS_DENIED. A user's "_Classes" hive counts as another hive.
LONG LinkRefusal(const Key& link) {
  if (TheState().linkPolicy == LinkPolicy::FollowAll) return ERROR_SUCCESS;
  if (!InUserHive(link)) return ERROR_SUCCESS;
  std::string targetHive;
  switch (link.link->root) {
    case RootKey::LocalMachine:
      return ERROR_ACCESS_DENIED;
    case RootKey::CurrentUser:
      targetHive = TheState().currentUser;
      break;
    case RootKey::Users: {
      const auto names = SplitPath(link.link->path);
      if (!names.empty()) targetHive = names.front();
      break;
    }
  }
  return SameName(targetHive, HiveOf(link)->name) ? ERROR_SUCCESS
                                                  : ERROR_ACCESS_DENIED;
}

// Where `path` below `from` leads for a platform call: each link met on the
// way, the last name included, is replaced by its target.
struct PathLookup {
  std::shared_ptr<Key> reached;  // the deepest key found
  std::vector<std::string> missing;  // the names below it not found
  LONG error = ERROR_SUCCESS;  // a link that could not be followed
};

PathLookup Lookup(const std::shared_ptr<Key>& from, const std::string& path,
                  int hops = 0);

// The key a link leads to, or why it leads nowhere.
Usable FollowLink(const Key& link, int hops) {
  if (hops >= kMaxLinkHops) return {nullptr, ERROR_FILE_NOT_FOUND};
  if (const LONG refused = LinkRefusal(link)) return {nullptr, refused};
  auto root = RootNode(link.link->root);
  if (!root) return {nullptr, ERROR_FILE_NOT_FOUND};
  const PathLookup target = Lookup(root, link.link->path, hops + 1);
  if (target.error != ERROR_SUCCESS) return {nullptr, target.error};
  if (!target.missing.empty()) return {nullptr, ERROR_FILE_NOT_FOUND};
  return {target.reached, ERROR_SUCCESS};
}

PathLookup Lookup(const std::shared_ptr<Key>& from, const std::string& path,
                  int hops) {
  PathLookup result{from, {}, ERROR_SUCCESS};
  const std::vector<std::string> names = SplitPath(path);
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto it = result.reached->subkeys.find(names[i]);
    if (it == result.reached->subkeys.end()) {
      result.missing.assign(names.begin() + static_cast<std::ptrdiff_t>(i),
                            names.end());
      return result;
    }
    std::shared_ptr<Key> next = it->second;
    if (next->link) {
      const Usable target = FollowLink(*next, hops);
      if (!target.key) {
        result.error = target.error;
        return result;
      }
      next = target.key;
    }
    result.reached = next;
  }
  return result;
}

LONG OpenOrCreate(HKEY parent, const char* path, HKEY* opened, bool create,
                  DWORD* disposition) {
  const Usable from = UseHandle(parent);
  if (!from.key) return Done(from.error);
  if (LONG refused = PathSyntax(path)) return Done(refused);
  const PathLookup found = Lookup(from.key, path ? path : "");
  if (found.error != ERROR_SUCCESS) return Done(found.error);
  std::shared_ptr<Key> key = found.reached;
  if (found.missing.empty()) {
    if (IsRefused(*key, Refusal::Open) ||
        (create && IsRefused(*key, Refusal::Create))) {
      return Done(ERROR_ACCESS_DENIED);
    }
    if (disposition) *disposition = 2;  // opened an existing key
  } else {
    if (!create) return Done(ERROR_FILE_NOT_FOUND);
    // Every key the call would make must be allowed before any is made.
    std::string full = key->FullPath();
    for (const std::string& name : found.missing) {
      full += "\\" + name;
      if (IsRefused(full, Refusal::Create)) return Done(ERROR_ACCESS_DENIED);
    }
    for (const std::string& name : found.missing) {
      auto& slot = key->subkeys[name];
      slot = std::make_shared<Key>();
      slot->name = name;
      slot->parent = key.get();
      key = slot;
    }
    if (disposition) *disposition = 1;  // created
  }
  *opened = IssueHandle(key);
  return Done(ERROR_SUCCESS, HandleName(*opened));
}

LONG EnumKey(HKEY key, DWORD index, char* name, DWORD capacity,
             DWORD* written) {
  const Usable usable = UseHandle(key);
  if (!usable.key) return Done(usable.error);
  const Key* node = usable.key.get();
  if (IsRefused(*node, Refusal::Open)) return Done(ERROR_ACCESS_DENIED);
  if (index >= node->subkeys.size()) return Done(ERROR_NO_MORE_ITEMS);
  auto it = node->subkeys.begin();
  std::advance(it, index);
  const std::string& found = it->second->name;
  if (found.size() + 1 > capacity) return Done(ERROR_MORE_DATA);
  std::memcpy(name, found.c_str(), found.size() + 1);
  if (written) *written = static_cast<DWORD>(found.size());
  return Done(ERROR_SUCCESS, Quote(found.c_str()));
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

LONG RegOpenKeyExA(HKEY parent, const char* path, DWORD options, REGSAM access,
                   HKEY* opened) {
  if (auto injected = BeginCall("RegOpenKeyExA",
                                {HandleName(parent), Quote(path), Num(options),
                                 Hex(access)})) {
    return Done(*injected);
  }
  return OpenOrCreate(parent, path, opened, false, nullptr);
}

LONG RegCreateKeyExA(HKEY parent, const char* path, DWORD reserved,
                     char* keyClass, DWORD options, REGSAM access,
                     void* security, HKEY* opened, DWORD* disposition) {
  if (auto injected = BeginCall(
          "RegCreateKeyExA",
          {HandleName(parent), Quote(path), Num(reserved), Quote(keyClass),
           Num(options), Hex(access), security ? "ptr" : "null"})) {
    return Done(*injected);
  }
  return OpenOrCreate(parent, path, opened, true, disposition);
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved,
                    DWORD type, const unsigned char* data, DWORD byteCount) {
  std::string bytes;
  for (DWORD i = 0; data && i < byteCount; ++i) {
    static const char kDigits[] = "0123456789abcdef";
    if (i) bytes += ' ';
    bytes += kDigits[data[i] >> 4];
    bytes += kDigits[data[i] & 15];
  }
  if (auto injected = BeginCall(
          "RegSetValueExA", {HandleName(key), Quote(valueName), Num(reserved),
                             Num(type), "[" + bytes + "]", Num(byteCount)})) {
    return Done(*injected);
  }
  const Usable node = UseHandle(key);
  if (!node.key) return Done(node.error);
  Value value{type, {}};
  if (data) value.bytes.assign(data, data + byteCount);
  node.key->values[valueName ? valueName : ""] = value;
  return Done(ERROR_SUCCESS);
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
  if (auto injected =
          BeginCall("RegDeleteValueA", {HandleName(key), Quote(valueName)})) {
    return Done(*injected);
  }
  const Usable node = UseHandle(key);
  if (!node.key) return Done(node.error);
  if (node.key->values.erase(valueName ? valueName : "") == 0) {
    return Done(ERROR_FILE_NOT_FOUND);
  }
  return Done(ERROR_SUCCESS);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize,
                   DWORD* reserved, char* keyClass, DWORD* classSize,
                   FILETIME* lastWrite) {
  const DWORD capacity = nameSize ? *nameSize : 0;
  if (auto injected = BeginCall(
          "RegEnumKeyExA",
          {HandleName(key), Num(index), Num(capacity), reserved ? "ptr" : "null",
           keyClass ? "ptr" : "null", classSize ? "ptr" : "null",
           lastWrite ? "ptr" : "null"})) {
    return Done(*injected);
  }
  if (lastWrite) *lastWrite = FILETIME{0, 0};
  return EnumKey(key, index, name, capacity, nameSize);
}

LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameSize) {
  if (auto injected = BeginCall("RegEnumKeyA",
                                {HandleName(key), Num(index), Num(nameSize)})) {
    return Done(*injected);
  }
  return EnumKey(key, index, name, nameSize, nullptr);
}

LONG RegDeleteKeyA(HKEY parent, const char* path) {
  if (auto injected =
          BeginCall("RegDeleteKeyA", {HandleName(parent), Quote(path)})) {
    return Done(*injected);
  }
  const Usable from = UseHandle(parent);
  if (!from.key) return Done(from.error);
  if (LONG refused = PathSyntax(path)) return Done(refused);
  // A link named last is followed too: the target goes, the link stays.
  const PathLookup found = Lookup(from.key, path ? path : "");
  if (found.error != ERROR_SUCCESS) return Done(found.error);
  if (!found.missing.empty()) return Done(ERROR_FILE_NOT_FOUND);
  const std::shared_ptr<Key> target = found.reached;
  // A hive or a root is never deleted, nor a key that still has subkeys.
  if (IsHiveOrRoot(*target) || !target->subkeys.empty() ||
      IsRefused(*target, Refusal::Delete)) {
    return Done(ERROR_ACCESS_DENIED);
  }
  MarkDeleted(*target);
  target->parent->subkeys.erase(target->name);
  return Done(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  if (auto injected = BeginCall("RegCloseKey", {HandleName(key)})) {
    return Done(*injected);
  }
  State& s = TheState();
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  // Closing a predefined root is accepted and changes nothing: the root
  // stays usable for the next call.
  if (IsPredefinedRoot(key)) return Done(ERROR_SUCCESS);
  if (s.handles.erase(value) == 0) {
    ++s.badCloses;
    return Done(ERROR_INVALID_HANDLE);
  }
  return Done(ERROR_SUCCESS);
}

}  // extern "C"

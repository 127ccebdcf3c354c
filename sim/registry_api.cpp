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

LONG OpenOrCreate(HKEY parent, const char* path, HKEY* opened, bool create,
                  DWORD* disposition) {
  auto from = Resolve(parent);
  if (!from) return Done(ERROR_INVALID_HANDLE);
  if (from->deleted) return Done(kKeyDeleted);
  if (LONG refused = PathSyntax(path)) return Done(refused);
  const std::string subPath = path ? path : "";
  auto existing = Walk(from, subPath);
  if (existing) {
    if (IsRefused(*existing, Refusal::Open) ||
        (create && IsRefused(*existing, Refusal::Create))) {
      return Done(ERROR_ACCESS_DENIED);
    }
    if (disposition) *disposition = 2;  // opened an existing key
  } else {
    if (!create) return Done(ERROR_FILE_NOT_FOUND);
    // Every key the call would make must be allowed before any is made.
    std::string full = from->FullPath();
    for (const std::string& name : SplitPath(subPath)) {
      full += "\\" + name;
      if (IsRefused(full, Refusal::Create)) return Done(ERROR_ACCESS_DENIED);
    }
    existing = from;
    for (const std::string& name : SplitPath(subPath)) {
      auto& slot = existing->subkeys[name];
      if (!slot) {
        slot = std::make_shared<Key>();
        slot->name = name;
        slot->parent = existing.get();
      }
      existing = slot;
    }
    if (disposition) *disposition = 1;  // created
  }
  *opened = IssueHandle(existing);
  return Done(ERROR_SUCCESS, HandleName(*opened));
}

// Marks a key and everything below it deleted, so handles on them go stale.
void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& entry : key.subkeys) MarkDeleted(*entry.second);
}

LONG EnumKey(HKEY key, DWORD index, char* name, DWORD capacity,
             DWORD* written) {
  auto node = Resolve(key);
  if (!node) return Done(ERROR_INVALID_HANDLE);
  if (node->deleted) return Done(kKeyDeleted);
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
  auto node = Resolve(key);
  if (!node) return Done(ERROR_INVALID_HANDLE);
  if (node->deleted) return Done(kKeyDeleted);
  Value value{type, {}};
  if (data) value.bytes.assign(data, data + byteCount);
  node->values[valueName ? valueName : ""] = value;
  return Done(ERROR_SUCCESS);
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
  if (auto injected =
          BeginCall("RegDeleteValueA", {HandleName(key), Quote(valueName)})) {
    return Done(*injected);
  }
  auto node = Resolve(key);
  if (!node) return Done(ERROR_INVALID_HANDLE);
  if (node->deleted) return Done(kKeyDeleted);
  if (node->values.erase(valueName ? valueName : "") == 0) {
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
  auto from = Resolve(parent);
  if (!from) return Done(ERROR_INVALID_HANDLE);
  if (from->deleted) return Done(kKeyDeleted);
  if (LONG refused = PathSyntax(path)) return Done(refused);
  auto target = Walk(from, path ? path : "");
  if (!target) return Done(ERROR_FILE_NOT_FOUND);
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

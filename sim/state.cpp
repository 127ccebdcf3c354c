#include "sim/state.h"

#include <cctype>
#include <cstdio>

namespace sim {

namespace {
int Fold(char c) { return std::toupper(static_cast<unsigned char>(c)); }
}  // namespace

bool NoCase::operator()(const std::string& a, const std::string& b) const {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return Fold(a[i]) < Fold(b[i]);
  }
  return a.size() < b.size();
}

bool SameName(const std::string& a, const std::string& b) {
  return !NoCase{}(a, b) && !NoCase{}(b, a);
}

std::string Key::FullPath() const {
  if (parent == nullptr) return name;
  return parent->FullPath() + "\\" + name;
}

State& TheState() {
  static State state;
  return state;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> names;
  std::string current;
  for (char c : path) {
    if (c == '\\') {
      if (!current.empty()) names.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) names.push_back(current);
  return names;
}

std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from,
                          const std::string& path) {
  std::shared_ptr<Key> key = from;
  for (const std::string& name : SplitPath(path)) {
    if (!key) return nullptr;
    auto it = key->subkeys.find(name);
    if (it == key->subkeys.end()) return nullptr;
    key = it->second;
  }
  return key;
}

std::shared_ptr<Key> RootNode(RootKey root) {
  State& s = TheState();
  switch (root) {
    case RootKey::LocalMachine:
      return s.machine;
    case RootKey::Users:
      return s.users;
    case RootKey::CurrentUser:
      return Walk(s.users, s.currentUser);
  }
  return nullptr;
}

namespace {
// A predefined root arrives sign-extended from a 64-bit caller and as is
// from a 32-bit one; both name the same root.
std::optional<RootKey> AsRoot(HKEY key) {
  const auto raw = reinterpret_cast<std::uintptr_t>(key);
  const auto high = static_cast<std::uint64_t>(raw) >> 32;
  if (high != 0 && high != 0xFFFFFFFFu) return std::nullopt;
  switch (static_cast<std::uint32_t>(raw)) {
    case 0x80000001u:
      return RootKey::CurrentUser;
    case 0x80000002u:
      return RootKey::LocalMachine;
    case 0x80000003u:
      return RootKey::Users;
  }
  return std::nullopt;
}

// How the journal and the dumps name a root.
const char* RootName(RootKey root) {
  switch (root) {
    case RootKey::CurrentUser:
      return "HKCU";
    case RootKey::LocalMachine:
      return "HKLM";
    case RootKey::Users:
      return "HKU";
  }
  return "?";
}

}  // namespace

bool IsPredefinedRoot(HKEY key) { return AsRoot(key).has_value(); }

std::shared_ptr<Key> Resolve(HKEY key) {
  if (auto root = AsRoot(key)) return RootNode(*root);
  State& s = TheState();
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(key));
  return it == s.handles.end() ? nullptr : it->second;
}

std::string HandleName(HKEY key) {
  if (key == nullptr) return "null";
  if (auto root = AsRoot(key)) return RootName(*root);
  State& s = TheState();
  auto it = s.handleNames.find(reinterpret_cast<std::uintptr_t>(key));
  if (it != s.handleNames.end()) return it->second;
  return Hex(reinterpret_cast<std::uintptr_t>(key));
}

bool IsRefused(const std::string& fullPath, Refusal refusal) {
  for (const Fault& fault : TheState().faults) {
    if (fault.refusal != refusal) continue;
    if (SameName(fault.fullPath, fullPath)) return true;
    if (fault.subtree && fullPath.size() > fault.fullPath.size() &&
        fullPath[fault.fullPath.size()] == '\\' &&
        SameName(fault.fullPath, fullPath.substr(0, fault.fullPath.size()))) {
      return true;
    }
  }
  return false;
}

bool IsRefused(const Key& key, Refusal refusal) {
  return IsRefused(key.FullPath(), refusal);
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& entry : key.subkeys) MarkDeleted(*entry.second);
}

std::string Quote(const char* text) {
  if (text == nullptr) return "null";
  return "\"" + std::string(text) + "\"";
}

std::string Hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx",
                static_cast<unsigned long long>(value));
  return buffer;
}

std::optional<LONG> BeginCall(const std::string& function,
                              std::vector<std::string> args) {
  State& s = TheState();
  if (s.callBudget != 0 && s.callsSeen >= s.callBudget && !s.budgetSpent &&
      function != "RegCloseKey") {
    s.budgetSpent = true;
    throw CallBudgetExceeded(function + ": more than " + std::to_string(s.callBudget) +
                             " platform calls since Reset(), an endless loop?");
  }
  s.journal.push_back(Call{function, std::move(args), "", ""});
  ++s.callsSeen;
  if (s.hookedCall && *s.hookedCall == s.callsSeen) {
    s.hookedCall.reset();
    auto hook = std::move(s.hook);
    s.hook = nullptr;
    hook();
  }
  if (s.failingCall && *s.failingCall == s.callsSeen) {
    s.failingCall.reset();
    return s.failingCode;
  }
  return std::nullopt;
}

void EndCall(const std::string& result, const std::string& out) {
  Call& call = TheState().journal.back();
  call.result = result;
  call.out = out;
}

// ---- what tests call ----------------------------------------------------------

namespace {
std::shared_ptr<Key> NewKey(const std::string& name, Key* parent) {
  auto key = std::make_shared<Key>();
  key->name = name;
  key->parent = parent;
  return key;
}

std::shared_ptr<Key> MakePath(RootKey root, const std::string& path) {
  std::shared_ptr<Key> key = RootNode(root);
  for (const std::string& name : SplitPath(path)) {
    auto& slot = key->subkeys[name];
    if (!slot) slot = NewKey(name, key.get());
    key = slot;
  }
  return key;
}

void DumpKey(const Key& key, const std::string& path,
             std::vector<std::string>& lines) {
  if (key.link) {
    lines.push_back(path + " -> " + RootName(key.link->root) + "\\" +
                    key.link->path);
    return;
  }
  lines.push_back(path);
  for (const auto& [name, value] : key.values) {
    std::string line = path + " [" + name + "] type " +
                       std::to_string(value.type) + ":";
    for (std::uint8_t byte : value.bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", byte);
      line += hex;
    }
    lines.push_back(line);
  }
  for (const auto& [name, subkey] : key.subkeys) {
    DumpKey(*subkey, path + "\\" + name, lines);
  }
}
}  // namespace

void Reset() {
  State& s = TheState();
  s = State{};
  s.machine = NewKey("HKLM", nullptr);
  s.users = NewKey("HKU", nullptr);
  SetCurrentUser(kDefaultCurrentUser);
}

void SetCurrentUser(const std::string& hiveName) {
  TheState().currentUser = hiveName;
  MakePath(RootKey::Users, hiveName);
}

void CreateKey(RootKey root, const std::string& path) { MakePath(root, path); }

void PutValue(RootKey root, const std::string& path, const std::string& name,
              DWORD type, std::vector<std::uint8_t> bytes) {
  MakePath(root, path)->values[name] = Value{type, std::move(bytes)};
}

void PutString(RootKey root, const std::string& path, const std::string& name,
               const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  PutValue(root, path, name, REG_SZ, std::move(bytes));
}

bool KeyExists(RootKey root, const std::string& path) {
  return Walk(RootNode(root), path) != nullptr;
}

std::optional<Value> GetValue(RootKey root, const std::string& path,
                              const std::string& name) {
  auto key = Walk(RootNode(root), path);
  if (!key) return std::nullopt;
  auto it = key->values.find(name);
  if (it == key->values.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> SubkeyNames(RootKey root, const std::string& path) {
  std::vector<std::string> names;
  if (auto key = Walk(RootNode(root), path)) {
    for (const auto& entry : key->subkeys) names.push_back(entry.first);
  }
  return names;
}

std::vector<std::string> ValueNames(RootKey root, const std::string& path) {
  std::vector<std::string> names;
  if (auto key = Walk(RootNode(root), path)) {
    for (const auto& entry : key->values) names.push_back(entry.first);
  }
  return names;
}

std::vector<std::string> Dump(RootKey root) {
  std::vector<std::string> lines;
  if (auto key = RootNode(root)) DumpKey(*key, "", lines);
  return lines;
}

void CreateLink(RootKey root, const std::string& path, RootKey targetRoot,
                const std::string& targetPath) {
  std::vector<std::string> names = SplitPath(path);
  if (names.empty()) return;  // a root cannot be a link
  const std::string name = names.back();
  names.pop_back();
  std::string parentPath;
  for (const std::string& part : names) parentPath += part + "\\";
  std::shared_ptr<Key> parent = MakePath(root, parentPath);
  auto link = NewKey(name, parent.get());
  link->link = LinkTarget{targetRoot, targetPath};
  parent->subkeys.erase(name);
  parent->subkeys[name] = link;
}

void SetLinkPolicy(LinkPolicy policy) { TheState().linkPolicy = policy; }

void LoadHive(const std::string& hiveName) {
  MakePath(RootKey::Users, hiveName);
}

void UnloadHive(const std::string& hiveName) {
  State& s = TheState();
  auto it = s.users->subkeys.find(hiveName);
  if (it == s.users->subkeys.end()) return;
  MarkDeleted(*it->second);
  s.users->subkeys.erase(it);
}

void BeforeCall(std::size_t n, std::function<void()> action) {
  State& s = TheState();
  s.hookedCall = s.callsSeen + n;
  s.hook = std::move(action);
}

void Refuse(RootKey root, const std::string& path, Refusal refusal,
            bool subtree) {
  std::string full = RootNode(root)->FullPath();
  for (const std::string& name : SplitPath(path)) full += "\\" + name;
  TheState().faults.push_back(Fault{full, refusal, subtree});
}

void FailCall(std::size_t n, LONG code) {
  State& s = TheState();
  s.failingCall = s.callsSeen + n;
  s.failingCode = code;
}

std::vector<std::string> OpenHandles() {
  State& s = TheState();
  std::vector<std::string> names;
  for (const auto& entry : s.handles) names.push_back(s.handleNames[entry.first]);
  return names;
}

std::size_t BadCloses() { return TheState().badCloses; }

std::string Call::Text() const {
  std::string text = function + "(";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) text += ", ";
    text += args[i];
  }
  text += ")";
  if (!result.empty()) text += " = " + result;
  if (!out.empty()) text += " -> " + out;
  return text;
}

const std::vector<Call>& Journal() { return TheState().journal; }

std::vector<std::string> JournalText() {
  std::vector<std::string> lines;
  for (const Call& call : Journal()) lines.push_back(call.Text());
  return lines;
}

std::vector<std::string> JournalText(const std::string& function) {
  std::vector<std::string> lines;
  for (const Call& call : Journal()) {
    if (call.function == function) lines.push_back(call.Text());
  }
  return lines;
}

std::size_t CallCount() { return TheState().callsSeen; }

const std::string& Call::Arg(std::size_t i) const {
  static const std::string kMissing = "(missing)";
  return i < args.size() ? args[i] : kMissing;
}

void SetCallBudget(std::size_t calls) { TheState().callBudget = calls; }
std::size_t CallBudget() { return TheState().callBudget; }

void ClearJournal() { TheState().journal.clear(); }

}  // namespace sim

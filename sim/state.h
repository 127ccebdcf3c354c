#pragma once
// The stand-in's inner state, shared by the files that implement the
// platform functions. Tests use sim/sim.h instead.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

// Windows compares key and value names without regard to case, and lists
// subkeys in that order.
struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const;
};
bool SameName(const std::string& a, const std::string& b);

// Key handle values fit in 32 bits, so the same stand-in can serve a 32-bit
// module run under emulation.
inline constexpr std::uintptr_t kFirstKeyHandle = 0x10000;
inline constexpr std::uintptr_t kKeyHandleStep = 4;

// Where a registry link leads: a path below a root, resolved anew each time
// the link is followed.
struct LinkTarget {
  RootKey root;
  std::string path;
};

struct Key {
  std::string name;
  Key* parent = nullptr;
  bool deleted = false;
  std::optional<LinkTarget> link;  // set: this key is a registry link
  std::map<std::string, std::shared_ptr<Key>, NoCase> subkeys;
  std::map<std::string, Value, NoCase> values;
  // "HKLM\Software\..." with the names as stored; the match for faults.
  std::string FullPath() const;
};

struct Fault {
  std::string fullPath;
  Refusal refusal;
  bool subtree;
};

struct Window {
  std::string className;
  bool destroyed = false;
  AgentReply reply = AgentReply::Never;
  DWORD replyDelay = 0;
  std::function<void(HWND)> onClose;
  std::optional<std::uint64_t> destroyAt;  // virtual ms since Reset()
  std::vector<UINT> messages;              // every message posted to it
};

struct State {
  std::shared_ptr<Key> machine;  // HKEY_LOCAL_MACHINE
  std::shared_ptr<Key> users;    // HKEY_USERS
  std::string currentUser;       // the hive HKEY_CURRENT_USER stands for

  std::map<std::uintptr_t, std::shared_ptr<Key>> handles;  // open ones
  std::map<std::uintptr_t, std::string> handleNames;  // every one issued
  std::size_t handlesIssued = 0;
  std::size_t badCloses = 0;

  std::vector<Fault> faults;
  std::size_t callsSeen = 0;
  std::optional<std::size_t> failingCall;  // the callsSeen value that fails
  std::size_t callBudget = kDefaultCallBudget;  // 0: none
  bool budgetSpent = false;                     // thrown once already
  LONG failingCode = 0;
  LinkPolicy linkPolicy = LinkPolicy::RefuseCrossHive;
  // What to run before the call with this callsSeen value.
  std::optional<std::size_t> hookedCall;
  std::function<void()> hook;

  std::vector<Call> journal;

  // Install states by component code, for MsiLocateComponentA.
  std::map<std::string, INSTALLSTATE> componentStates;

  // The window manager and the tick counter. Virtual time only moves in
  // Sleep(); the counter is the low 32 bits of start plus elapsed.
  std::map<std::uintptr_t, Window> windows;  // by handle, in creation order
  std::uint64_t elapsedMs = 0;
  DWORD tickAtStart = 0;
  DWORD schedulerDelayMs = 0;
};

State& TheState();

// Splits "a\b\c" into its names; empty pieces are dropped.
std::vector<std::string> SplitPath(const std::string& path);
// The key `path` below `from`, or null. Links are not followed: this is the
// stored tree, as seeding and inspection see it.
std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from,
                          const std::string& path);
// The key a root or an open handle stands for, or null for anything else.
std::shared_ptr<Key> Resolve(HKEY key);
std::shared_ptr<Key> RootNode(RootKey root);
bool IsPredefinedRoot(HKEY key);
bool IsRefused(const Key& key, Refusal refusal);
// Marks a key and everything below it deleted, so handles on them go stale.
void MarkDeleted(Key& key);
bool IsRefused(const std::string& fullPath, Refusal refusal);

std::string HandleName(HKEY key);
std::string WindowName(HWND window);
std::string Quote(const char* text);
std::string Hex(std::uint64_t value);

// Starts the journal entry of one platform call. Returns the injected
// failure code when this is the call that FailCall() picked.
std::optional<LONG> BeginCall(const std::string& function,
                              std::vector<std::string> args);
// Finishes the entry begun last.
void EndCall(const std::string& result, const std::string& out = "");

}  // namespace sim

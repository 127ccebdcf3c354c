#pragma once
// The host stand-in for the few parts of Windows the module uses, and the
// controls a test needs to set it up, break it on purpose and inspect it.
//
// The platform functions themselves (RegOpenKeyExA and the rest) are defined
// by this library with the declarations of platform/win32.h, and behave as
// Windows does where the module relies on it: names are case-insensitive,
// subkeys are listed in sorted order, a key with subkeys refuses deletion,
// the predefined roots survive RegCloseKey, HKEY_CURRENT_USER is one of the
// hives under HKEY_USERS.
//
// There is one stand-in per process; every test starts with Reset().

#include <cstddef>
#include <functional>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// ---- the registry ---------------------------------------------------------

struct Value {
  DWORD type = 0;
  std::vector<std::uint8_t> bytes;
  bool operator==(const Value& other) const {
    return type == other.type && bytes == other.bytes;
  }
};

// The hive that HKEY_CURRENT_USER stands for after Reset().
inline constexpr const char* kDefaultCurrentUser = "S-1-5-21-1-2-3-1001";

// Empties the registry, the handle table, the journal and every fault. The
// registry then holds HKEY_USERS with the one hive of the current user.
void Reset();
// Makes HKEY_CURRENT_USER the hive `hiveName` under HKEY_USERS (created if
// missing).
void SetCurrentUser(const std::string& hiveName);

// Seeding and inspection bypass the journal, the faults and the handle table.
// Paths are backslash-separated below the root; "" is the root itself.
void CreateKey(RootKey root, const std::string& path);
void PutValue(RootKey root, const std::string& path, const std::string& name,
              DWORD type, std::vector<std::uint8_t> bytes);
void PutString(RootKey root, const std::string& path, const std::string& name,
               const std::string& text);  // REG_SZ, text and NUL
bool KeyExists(RootKey root, const std::string& path);
std::optional<Value> GetValue(RootKey root, const std::string& path,
                              const std::string& name);
std::vector<std::string> SubkeyNames(RootKey root, const std::string& path);
std::vector<std::string> ValueNames(RootKey root, const std::string& path);
// One line per key and per value, depth first in listing order: the whole
// state below a root, for comparing two registries. A link is one line,
// "<path> -> <root>\<target path>".
std::vector<std::string> Dump(RootKey root);

// ---- registry links -------------------------------------------------------------

// Makes the key at `path` (its parent created if missing, whatever was there
// replaced) a link to `targetPath` below `targetRoot`, as a caller of
// RegCreateKeyExA with the create-link option and a "SymbolicLinkValue"
// would. The platform calls then treat it as Windows does: opening it opens
// the target, RegDeleteKeyA on its name deletes the target, listing its
// parent shows it under its own name, and a link whose target is missing
// fails to open with ERROR_FILE_NOT_FOUND. Seeding and inspection (the
// functions above) see the link itself and never follow it.
void CreateLink(RootKey root, const std::string& path, RootKey targetRoot,
                const std::string& targetPath);

// Which links a platform call follows.
enum class LinkPolicy {
  // As Windows: a link in a user hive that leads into the machine hive
  // (refused since 2010) or into another hive under HKEY_USERS (refused
  // since Windows 10) fails with ERROR_ACCESS_DENIED. A link in the machine
  // hive, or one that stays in its own hive, is followed.
  RefuseCrossHive,
  // As Wine 8: every link is followed.
  FollowAll,
};
// Reset() sets RefuseCrossHive.
void SetLinkPolicy(LinkPolicy policy);

// ---- hives coming and going ---------------------------------------------------------

// Loads an empty hive `hiveName` under HKEY_USERS, as a user's logon does.
void LoadHive(const std::string& hiveName);
// Unloads the hive `hiveName` under HKEY_USERS with everything in it, as a
// logoff does; handles still open on its keys then answer as for a deleted
// key.
void UnloadHive(const std::string& hiveName);
// Runs `action` just before the `n`th platform call from now on (1-based,
// counted as FailCall counts), before that call looks at anything: a change
// of the registry at a chosen moment of a run.
void BeforeCall(std::size_t n, std::function<void()> action);

// ---- Windows Installer --------------------------------------------------------

// What MsiLocateComponentA reports for the component `code` (compared
// exactly, as written): any INSTALLSTATE, 3 meaning installed locally. A code
// never set reports INSTALLSTATE_UNKNOWN (-1). Reset() forgets every state.
void SetComponentState(const std::string& code, INSTALLSTATE state);

// ---- faults -----------------------------------------------------------------

enum class Refusal { Open, Create, Delete };
// Makes every `refusal` of the key at `path` (and, with `subtree`, of every
// key below it, existing or not) fail with ERROR_ACCESS_DENIED.
void Refuse(RootKey root, const std::string& path, Refusal refusal,
            bool subtree = false);
// Makes the `n`th platform call from now on (1-based, counting every
// function) fail with `code` and have no effect. What "fail" means depends on
// the function: a status code is returned as `code`; a BOOL or handle result
// comes back as zero.
void FailCall(std::size_t n, LONG code);

// ---- handles ----------------------------------------------------------------

// Handles opened through the platform calls and not closed yet, by name.
std::vector<std::string> OpenHandles();
// RegCloseKey calls on a handle that was never open or is closed already.
std::size_t BadCloses();

// ---- windows and the tick counter --------------------------------------------

// How the program that owns a window answers WM_CLOSE.
enum class AgentReply {
  Never,       // ignores it, the window stays
  AtOnce,      // destroys the window before the poster looks again
  AfterDelay,  // destroys it once the given virtual time has passed
  Callback,    // hands the window to a function of the test's
};

// A top-level window of `className`, owned by another program. The newest
// window of a class is the one FindWindowA finds, as the top of the z-order.
HWND AddWindow(const std::string& className);
void SetAgent(HWND window, AgentReply reply, DWORD delayMs = 0);
void SetAgent(HWND window, std::function<void(HWND)> onClose);
void DestroyWindow(HWND window);
bool WindowExists(HWND window);
std::vector<UINT> MessagesTo(HWND window);

// The tick counter starts at `tick` (anywhere, also just below 2^32); each
// Sleep(n) moves it by n plus the scheduler's delay.
void SetTickCount(DWORD tick);
void SetSchedulerDelay(DWORD ms);
std::uint64_t ElapsedMs();

// ---- the journal --------------------------------------------------------------

// One platform call as the module made it. Handles are named by what they
// are: HKCU, HKLM, HKU for the roots, h1, h2, ... for opened keys in the
// order they were handed out, null for a null handle.
struct Call {
  std::string function;
  std::vector<std::string> args;  // each argument, formatted
  std::string result;             // the return value, formatted
  std::string out;                // what was written back, if anything
  std::string Text() const;       // "RegOpenKeyExA(HKLM, \"Software\", ...) = 0 -> h1"
  // Argument `i`, or "(missing)" when the call has fewer: a test reading a
  // call's arguments fails an assertion rather than reading past them.
  const std::string& Arg(std::size_t i) const;
};

const std::vector<Call>& Journal();
std::vector<std::string> JournalText();
// Only the calls of one function, as text.
std::vector<std::string> JournalText(const std::string& function);
std::size_t CallCount();
void ClearJournal();

// ---- the call budget ------------------------------------------------------------

// A run that makes more platform calls than this since Reset() is taken for
// an endless loop: the next call other than RegCloseKey throws
// CallBudgetExceeded, once, so the test fails at once instead of filling
// memory with journal entries until its time runs out. RegCloseKey is left
// alone because the key owners' destructors make it while the exception
// unwinds. No test comes near the default.
inline constexpr std::size_t kDefaultCallBudget = 1000000;
struct CallBudgetExceeded : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// 0: no budget. Reset() restores the default.
void SetCallBudget(std::size_t calls);
std::size_t CallBudget();

}  // namespace sim

// The scenario table: each entry seeds the stand-in and names the action
// to run. The harness under tests/binary/ runs every entry against the host
// build of the product and against the 32-bit module, and compares what the
// two did call by call.

#include "tests/scenarios/scenarios.h"

#include <string>

#include "actions/actions.h"
#include "sim/sim.h"
#include "tests/expected_cleanup.h"
#include "tests/uninstall_fixture.h"

namespace {

enum class Action { Install, PreUninstall, Uninstall };

struct Scenario {
  const char* name;
  Action action;
  MSIHANDLE install;
  void (*setup)();
  LONG sweepCode;  // 0: no replay with failing calls
};

constexpr const char* kPlugins = "Software\\Helvarin\\TideMark\\Plugins";

void Nothing() {}

// ---- install ------------------------------------------------------------------

// Other users' hives and the product's per-user keys, which the install
// action must leave alone.
void OtherHives() {
  sim::CreateKey(RootKey::Users, ".DEFAULT\\Software\\Helvarin\\VLD");
  sim::PutString(RootKey::Users, "S-1-5-21-1-2-3-1002\\Software\\Helvarin\\TideMark",
                 "Path", "C:\\Tide");
  sim::PutString(RootKey::CurrentUser, "Software\\Helvarin\\TideMark\\Plugins",
                 "IEPlugin.dll", "user");
}

void OldEntryWithNeighbours() {
  OtherHives();
  sim::PutValue(RootKey::LocalMachine, kPlugins, "iePlugin.DLL", 4, {7, 0, 0, 0});
  sim::PutString(RootKey::LocalMachine, kPlugins, "Other.dll", "keep");
  sim::CreateKey(RootKey::LocalMachine, std::string(kPlugins) + "\\Sub");
}

void EntryAlreadyWritten() {
  sim::PutString(RootKey::LocalMachine, kPlugins, "IEPlugin.dll", " ");
}

void MachineHiveCreateRefused() {
  OtherHives();
  sim::Refuse(RootKey::LocalMachine, "", sim::Refusal::Create, true);
}

void PluginKeyOpenRefused() {
  sim::PutString(RootKey::LocalMachine, kPlugins, "Other.dll", "x");
  sim::Refuse(RootKey::LocalMachine, "Software\\Helvarin", sim::Refusal::Open, true);
}

// ---- uninstall ----------------------------------------------------------------

namespace fx = uninstall_fixture;

constexpr const char* kFirstGuard = expected_cleanup::kGuardComponents[0];
constexpr const char* kSecondGuard = expected_cleanup::kGuardComponents[1];
// A component Windows Installer has never heard of: the query answers -1.
constexpr INSTALLSTATE kNotRegistered = 1000;
const std::string kOtherUser = "S-1-5-21-1-2-3-1002";

// Every key and value the cleanup names, in every hive, beside neighbours
// that must stay, with the two guard components in the given states.
template <INSTALLSTATE First, INSTALLSTATE Second>
void Seeded() {
  fx::SeedAll();
  if (First != kNotRegistered) sim::SetComponentState(kFirstGuard, First);
  if (Second != kNotRegistered) sim::SetComponentState(kSecondGuard, Second);
}
void FullRegistry() { Seeded<kNotRegistered, kNotRegistered>(); }

// What a complete cleanup leaves: a second uninstall finds nothing to do.
void AlreadyCleaned() {
  fx::Seed([](const fx::Entry& entry, const std::string& hive) {
    return !fx::Planned(entry, hive);
  });
}

void DeepSubkeyRefused() {
  FullRegistry();
  sim::Refuse(RootKey::Users, ".DEFAULT\\Software\\Helvarin\\TideMark\\Settings\\Window",
              sim::Refusal::Open);
}

void UsersNotListable() {
  FullRegistry();
  sim::Refuse(RootKey::Users, "", sim::Refusal::Open);
}

void MachineHiveClosed() {
  FullRegistry();
  sim::Refuse(RootKey::LocalMachine, "", sim::Refusal::Open, true);
}

void OtherUsersHiveClosed() {
  FullRegistry();
  sim::Refuse(RootKey::Users, kOtherUser, sim::Refusal::Open, true);
}

void IntroDialogKeyUndeletable() {
  FullRegistry();
  sim::Refuse(RootKey::Users,
              kOtherUser + "\\Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
              sim::Refusal::Delete);
}

// Keys of the product in hives whose names fill the module's buffers: one
// whose path with the agent's suffix just fits, one a character too long for
// it, and a subkey name of 255 characters (fits) and of 256 (does not).
void NamesAtTheBufferLimits() {
  const std::string vld = "\\Software\\Helvarin\\VLD";
  const std::string run = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  for (const std::string& hive : {std::string(".DEFAULT"), std::string(259 - vld.size(), 'M'),
                                  std::string(260 - vld.size(), 'N'), kOtherUser}) {
    sim::PutString(RootKey::Users, hive + vld + "\\State", "Pid", hive.substr(0, 8));
    sim::PutString(RootKey::Users, hive + run, "HelKeepAlive", "vld.exe");
  }
  const std::string product = "Software\\Helvarin\\TideMark\\";
  sim::PutString(RootKey::LocalMachine, product + std::string(255, 'a') + "\\x", "V", "1");
  sim::PutString(RootKey::LocalMachine, "Software\\Helvarin\\Harbor Kit\\" +
                     std::string(256, 'b'), "V", "2");
  sim::CreateKey(RootKey::LocalMachine, "Software\\Helvarin\\Harbor Kit\\c");
}

// A hive name of 260 characters does not fit the listing buffer with its
// NUL: the listing fails there and the hives after it are not visited.
void HiveNameTooLongToList() {
  FullRegistry();
  sim::CreateKey(RootKey::Users, std::string(260, 'M') + "\\Software\\Helvarin\\VLD");
}

// The product's machine key with a chain of 512 keys below it.
void TreeOf513Levels() {
  std::string path = "Software\\Helvarin\\TideMark";
  for (int level = 0; level < 512; ++level) path += "\\k";
  sim::PutString(RootKey::LocalMachine, path, "Bottom", "512");
}

// Registry links that users planted in their hives, beside every key the
// cleanup names: a key that links back to its own ancestor in another user's
// hive, in the current user's and below the machine's product key, two keys
// that link to each other, a link into the machine hive and one that leads
// nowhere. Each loop stops its tree at the depth bound.
void PlantedLinks() {
  FullRegistry();
  const std::string product = "Software\\Helvarin\\TideMark";
  const std::string agent = "Software\\Helvarin\\VLD";
  const std::string other = kOtherUser + "\\";
  sim::CreateLink(RootKey::Users, other + product + "\\Settings\\Window\\zloop",
                  RootKey::Users, other + product + "\\Settings");
  sim::CreateLink(RootKey::CurrentUser, agent + "\\State\\zloop", RootKey::CurrentUser,
                  agent);
  sim::CreateLink(RootKey::LocalMachine, product + "\\Plugins\\zloop",
                  RootKey::LocalMachine, product);
  sim::CreateLink(RootKey::Users, ".DEFAULT\\" + product + "\\Cache\\zc", RootKey::Users,
                  ".DEFAULT\\" + product + "\\Toolbar");
  sim::CreateLink(RootKey::Users, ".DEFAULT\\" + product + "\\Toolbar\\zt",
                  RootKey::Users, ".DEFAULT\\" + product + "\\Cache");
  sim::CreateLink(RootKey::Users, other + agent + "\\State\\zm", RootKey::LocalMachine,
                  "Software\\Helvarin\\Other");
  sim::CreateLink(RootKey::Users, ".DEFAULT\\Software\\Helvarin\\Tide Mark Viewer\\zgone",
                  RootKey::Users, ".DEFAULT\\Software\\Helvarin\\Gone");
}

// The same links where every link is followed, as under Wine.
void PlantedLinksFollowed() {
  PlantedLinks();
  sim::SetLinkPolicy(sim::LinkPolicy::FollowAll);
}

// ---- pre-uninstall --------------------------------------------------------------

constexpr const char* kAgentClass = "VLD_CLASS";

template <sim::AgentReply Reply, DWORD DelayMs, DWORD StartTick, DWORD SchedulerDelay = 0>
void Agent() {
  sim::SetTickCount(StartTick);
  sim::SetSchedulerDelay(SchedulerDelay);
  sim::SetAgent(sim::AddWindow(kAgentClass), Reply, DelayMs);
}

void NoAgent() {
  sim::SetTickCount(5000);
  sim::AddWindow("VLD_CLASS_OTHER");
}

// Two agent windows and another program's: the newest agent window is the
// one found, closes after 60 ms; the older one never does.
void SeveralWindows() {
  sim::SetTickCount(77);
  sim::AddWindow(kAgentClass);
  sim::SetAgent(sim::AddWindow("vld_class"), sim::AgentReply::AfterDelay, 60);
  sim::AddWindow("Other");
}

// The agent closes its window from its handler and a new instance comes up
// at once: only the window found first is watched, so the wait ends.
void AgentRespawns() {
  sim::SetTickCount(1);
  sim::SetAgent(sim::AddWindow(kAgentClass), [](HWND window) {
    sim::DestroyWindow(window);
    sim::AddWindow(kAgentClass);
  });
}

constexpr DWORD kWrapMinus(DWORD before) { return 0xFFFFFFFFu - before; }

constexpr Scenario kScenarios[] = {
    {"install/fresh machine", Action::Install, 0, Nothing, ERROR_ACCESS_DENIED},
    {"install/old entry and neighbours", Action::Install, 42, OldEntryWithNeighbours,
     ERROR_ACCESS_DENIED},
    {"install/entry already written", Action::Install, 0xFFFFFFFFu, EntryAlreadyWritten,
     0},
    {"install/machine hive create refused", Action::Install, 1, MachineHiveCreateRefused,
     0},
    {"install/plug-in key open refused", Action::Install, 0, PluginKeyOpenRefused, 0},

    {"uninstall/full cleanup", Action::Uninstall, 0, FullRegistry, ERROR_ACCESS_DENIED},
    {"uninstall/empty registry", Action::Uninstall, 7, Nothing, 0},
    {"uninstall/nothing left to remove", Action::Uninstall, 0, AlreadyCleaned, 0},
    {"uninstall/guard: first local", Action::Uninstall, 0, Seeded<3, kNotRegistered>, 0},
    {"uninstall/guard: first local, second local", Action::Uninstall, 0, Seeded<3, 3>, 0},
    {"uninstall/guard: first from source, second local", Action::Uninstall, 0xFFFFFFFFu,
     Seeded<4, 3>, 0},
    {"uninstall/guard: first absent, second local", Action::Uninstall, 0, Seeded<2, 3>, 0},
    {"uninstall/guard: first unknown, second local", Action::Uninstall, 0,
     Seeded<kNotRegistered, 3>, 0},
    {"uninstall/guard: both from source", Action::Uninstall, 0, Seeded<4, 4>, 0},
    {"uninstall/guard: both absent", Action::Uninstall, 0, Seeded<2, 2>, 0},
    {"uninstall/guard: invalid argument, unknown", Action::Uninstall, 0, Seeded<-2, -1>, 0},
    {"uninstall/guard: states outside the known ones", Action::Uninstall, 0, Seeded<5, -4>,
     0},
    {"uninstall/deep subkey refused in one hive", Action::Uninstall, 0, DeepSubkeyRefused, 0},
    {"uninstall/HKEY_USERS not listable", Action::Uninstall, 0, UsersNotListable, 0},
    {"uninstall/machine hive closed", Action::Uninstall, 0, MachineHiveClosed, 0},
    {"uninstall/another user's hive closed", Action::Uninstall, 0, OtherUsersHiveClosed, 0},
    {"uninstall/intro dialog key undeletable", Action::Uninstall, 0,
     IntroDialogKeyUndeletable, 0},
    {"uninstall/names at the buffer limits", Action::Uninstall, 0, NamesAtTheBufferLimits,
     0},
    {"uninstall/hive name too long to list", Action::Uninstall, 0, HiveNameTooLongToList, 0},
    {"uninstall/tree 512 levels deep", Action::Uninstall, 0, TreeOf513Levels, 0},
    {"uninstall/registry links, refused across hives", Action::Uninstall, 0, PlantedLinks, 0},
    {"uninstall/registry links, all followed", Action::Uninstall, 0, PlantedLinksFollowed,
     0},

    {"pre-uninstall/no agent window", Action::PreUninstall, 0, NoAgent, 0},
    {"pre-uninstall/window gone at the first check", Action::PreUninstall, 0,
     Agent<sim::AgentReply::AtOnce, 0, 5000>, 0},
    {"pre-uninstall/closes during the first sleep", Action::PreUninstall, 0,
     Agent<sim::AgentReply::AfterDelay, 30, 5000>, 0},
    {"pre-uninstall/closes during the third sleep", Action::PreUninstall, 3,
     Agent<sim::AgentReply::AfterDelay, 120, 5000>, ERROR_ACCESS_DENIED},
    {"pre-uninstall/closes just before the limit", Action::PreUninstall, 0,
     Agent<sim::AgentReply::AfterDelay, 1990, 0>, 0},
    {"pre-uninstall/agent never closes", Action::PreUninstall, 0,
     Agent<sim::AgentReply::Never, 0, 123456>, ERROR_ACCESS_DENIED},
    {"pre-uninstall/never closes, counter wraps", Action::PreUninstall, 0,
     Agent<sim::AgentReply::Never, 0, kWrapMinus(999)>, 0},
    {"pre-uninstall/never closes, starts at the last tick", Action::PreUninstall, 0,
     Agent<sim::AgentReply::Never, 0, 0xFFFFFFFFu>, 0},
    {"pre-uninstall/never closes, slow scheduler across the wrap", Action::PreUninstall, 0,
     Agent<sim::AgentReply::Never, 0, kWrapMinus(30), 13>, 0},
    {"pre-uninstall/several windows of the class", Action::PreUninstall, 0, SeveralWindows,
     0},
    {"pre-uninstall/agent closes and respawns", Action::PreUninstall, 0, AgentRespawns, 0},
};

constexpr int kCount = static_cast<int>(sizeof kScenarios / sizeof kScenarios[0]);

const Scenario* At(int index) {
  return index >= 0 && index < kCount ? &kScenarios[index] : nullptr;
}

uint32_t RunNative(const Scenario& s) {
  switch (s.action) {
    case Action::Install:
      return CustomInstTMK(s.install);
    case Action::PreUninstall:
      return PreUninsTMK(s.install);
    case Action::Uninstall:
      return UninstallTMK(s.install);
  }
  return 0xFFFFFFFFu;
}

}  // namespace

extern "C" {

int scenario_count(void) { return kCount; }

const char* scenario_name(int index) {
  const Scenario* s = At(index);
  return s ? s->name : nullptr;
}

const char* scenario_export(int index) {
  const Scenario* s = At(index);
  if (!s) return nullptr;
  switch (s->action) {
    case Action::Install:
      return "_CustomInstTMK@4";
    case Action::PreUninstall:
      return "_PreUninsTMK@4";
    case Action::Uninstall:
      return "_UninstallTMK@4";
  }
  return nullptr;
}

uint32_t scenario_install_handle(int index) {
  const Scenario* s = At(index);
  return s ? s->install : 0;
}

int32_t scenario_sweep_code(int index) {
  const Scenario* s = At(index);
  return s ? s->sweepCode : 0;
}

void scenario_setup(int index) {
  sim::Reset();
  if (const Scenario* s = At(index)) s->setup();
}

uint32_t scenario_run_native(int index) {
  const Scenario* s = At(index);
  if (!s) return 0xFFFFFFFFu;
  // The exception must not cross into the caller, which is not C++.
  try {
    return RunNative(*s);
  } catch (const sim::CallBudgetExceeded&) {
    return SCENARIO_ENDLESS;
  }
}

}  // extern "C"

// The entry point and the calling contract every action shares with the
// installer: TRUE for every notification, 0 from every action, and the
// installation handle never makes a difference.

#include "actions/actions.h"
#include "sim_fixture.h"

extern "C" BOOL INST_WINAPI DllMain(HINSTANCE, DWORD, void*);

namespace {

using ModuleContract = SimTest;

TEST_F(ModuleContract, DllMainAcceptsEveryReasonWithoutAnyPlatformCall) {
  for (DWORD reason : {0u, 1u, 2u, 3u, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(DllMain(reinterpret_cast<HINSTANCE>(0x10000000), reason, nullptr), TRUE)
        << "reason " << reason;
    EXPECT_EQ(DllMain(nullptr, reason, reinterpret_cast<void*>(1)), TRUE);
  }
  EXPECT_EQ(sim::CallCount(), 0u);
}

struct Action {
  const char* name;
  UINT(INST_WINAPI* run)(MSIHANDLE);
};

constexpr Action kActions[] = {
    {"CustomInstTMK", CustomInstTMK},
    {"PreUninsTMK", PreUninsTMK},
    {"UninstallTMK", UninstallTMK},
};

// A registry with something of everything the actions look at.
void Seed() {
  sim::CreateKey(RootKey::Users, ".DEFAULT\\Software\\Helvarin\\VLD\\Sub");
  sim::PutString(RootKey::CurrentUser, "Software\\Helvarin\\TideMark", "Path", "C:\\");
  sim::PutString(RootKey::LocalMachine, "Software\\Helvarin\\TideMark\\Plugins", "Other",
                 "x");
}

struct Outcome {
  UINT result;
  std::vector<std::string> journal;
  std::vector<std::string> machine;
  std::vector<std::string> users;
};

Outcome RunOnSeededRegistry(const Action& action, MSIHANDLE install) {
  sim::Reset();
  Seed();
  const UINT result = action.run(install);
  return {result, sim::JournalText(), sim::Dump(RootKey::LocalMachine),
          sim::Dump(RootKey::Users)};
}

TEST_F(ModuleContract, EveryActionReturnsZeroAndIgnoresTheHandle) {
  for (const Action& action : kActions) {
    const Outcome withZero = RunOnSeededRegistry(action, 0);
    EXPECT_EQ(withZero.result, 0u) << action.name;
    for (MSIHANDLE install : {1u, 0x1234u, 0xFFFFFFFFu}) {
      const Outcome other = RunOnSeededRegistry(action, install);
      EXPECT_EQ(other.result, 0u) << action.name;
      EXPECT_EQ(other.journal, withZero.journal) << action.name << " handle " << install;
      EXPECT_EQ(other.machine, withZero.machine) << action.name;
      EXPECT_EQ(other.users, withZero.users) << action.name;
    }
  }
}

TEST_F(ModuleContract, TwoCallsInARowBehaveLikeTwoFreshOnes) {
  for (const Action& action : kActions) {
    const Outcome fresh = RunOnSeededRegistry(action, 7);
    sim::ClearJournal();
    // Run again on the registry the first call left: each call starts from
    // scratch, so a second run of an action that converged changes nothing.
    EXPECT_EQ(action.run(7), 0u);
    EXPECT_EQ(sim::Dump(RootKey::LocalMachine), fresh.machine) << action.name;
    EXPECT_EQ(sim::Dump(RootKey::Users), fresh.users) << action.name;
  }
}

}  // namespace

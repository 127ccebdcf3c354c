// The install action: one plug-in entry in the machine hive, nothing else.

#include "actions/actions.h"
#include "sim_fixture.h"

namespace {

using InstallAction = SimTest;
using Lines = std::vector<std::string>;

constexpr const char* kPlugins = "Software\\Helvarin\\TideMark\\Plugins";
const sim::Value kEntry{REG_SZ, {0x20, 0x00}};

TEST_F(InstallAction, OnAFreshMachineCreatesThePathAndWritesOneSpace) {
  const auto usersBefore = sim::Dump(RootKey::Users);
  EXPECT_EQ(CustomInstTMK(0), 0u);
  EXPECT_EQ(sim::JournalText(),
            (Lines{"RegCreateKeyExA(HKLM, \"Software\\Helvarin\\TideMark\\Plugins\", 0, "
                   "null, 0, 0x2001f, null) = 0 -> h1",
                   "lstrlenA(\" \") = 1",
                   "RegSetValueExA(h1, \"IEPlugin.dll\", 0, 1, [20 00], 2) = 0",
                   "RegCloseKey(h1) = 0"}));
  EXPECT_EQ(sim::Dump(RootKey::LocalMachine),
            (Lines{"", "\\Software", "\\Software\\Helvarin",
                   "\\Software\\Helvarin\\TideMark",
                   "\\Software\\Helvarin\\TideMark\\Plugins",
                   "\\Software\\Helvarin\\TideMark\\Plugins [IEPlugin.dll] type 1: 20 00"}));
  EXPECT_EQ(sim::Dump(RootKey::Users), usersBefore);
}

TEST_F(InstallAction, ReplacesAnOldEntryAndLeavesItsNeighbours) {
  sim::PutValue(RootKey::LocalMachine, kPlugins, "iePlugin.DLL", 4, Bytes({7, 0, 0, 0}));
  sim::PutString(RootKey::LocalMachine, kPlugins, "Other.dll", "keep");
  sim::CreateKey(RootKey::LocalMachine, std::string(kPlugins) + "\\Sub");
  EXPECT_EQ(CustomInstTMK(42), 0u);
  EXPECT_EQ(sim::GetValue(RootKey::LocalMachine, kPlugins, "IEPlugin.dll"), kEntry);
  EXPECT_EQ(sim::ValueNames(RootKey::LocalMachine, kPlugins),
            (Lines{"iePlugin.DLL", "Other.dll"}))
      << "one entry, under the name it already had";
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, std::string(kPlugins) + "\\Sub"));

  const auto once = sim::Dump(RootKey::LocalMachine);
  EXPECT_EQ(CustomInstTMK(42), 0u);
  EXPECT_EQ(sim::Dump(RootKey::LocalMachine), once);
}

TEST_F(InstallAction, MachineHiveClosedToUsWritesNothingAnywhere) {
  struct Case {
    const char* what;
    sim::Refusal refusal;
    bool seedKey;
  };
  for (const Case& c : {Case{"create refused", sim::Refusal::Create, false},
                        Case{"existing key refused", sim::Refusal::Open, true}}) {
    sim::Reset();
    if (c.seedKey) sim::PutString(RootKey::LocalMachine, kPlugins, "Other.dll", "x");
    sim::Refuse(RootKey::LocalMachine, "", c.refusal, true);
    const auto machine = sim::Dump(RootKey::LocalMachine);
    const auto users = sim::Dump(RootKey::Users);
    EXPECT_EQ(CustomInstTMK(0), 0u) << c.what;
    EXPECT_EQ(sim::Dump(RootKey::LocalMachine), machine) << c.what;
    EXPECT_EQ(sim::Dump(RootKey::Users), users) << c.what;
    EXPECT_TRUE(sim::JournalText("RegSetValueExA").empty()) << c.what;
    EXPECT_TRUE(sim::OpenHandles().empty()) << c.what;
  }
}

TEST_F(InstallAction, FailedWriteStillClosesTheKey) {
  sim::FailCall(3, ERROR_ACCESS_DENIED);  // create, lstrlenA, then the write
  EXPECT_EQ(CustomInstTMK(0), 0u);
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, kPlugins));
  EXPECT_FALSE(sim::GetValue(RootKey::LocalMachine, kPlugins, "IEPlugin.dll"));
  EXPECT_EQ(sim::JournalText("RegCloseKey"), Lines{"RegCloseKey(h1) = 0"});
}

}  // namespace

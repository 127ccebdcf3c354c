// HKEY_USERS' list changing while a sweep walks it by index: a user logs on
// (a hive is loaded) or off (a hive is unloaded) between two RegEnumKeyA
// calls, or in the middle of a tree deletion. The sweep cannot see this
// coming: a hive may be missed or visited twice. What must hold is that
// nothing crashes, no key stays open and nothing outside the planned paths
// is deleted.

#include <algorithm>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "registry/user_hive_sweep.h"
#include "sim_fixture.h"
#include "uninstall_fixture.h"

namespace {

namespace fx = uninstall_fixture;
using HiveListChange = SimTest;
using Lines = std::vector<std::string>;

const std::string kVldSuffix = "\\Software\\Helvarin\\VLD";
const std::string kVld = "Software\\Helvarin\\VLD";
const std::string kUser = sim::kDefaultCurrentUser;  // listed second
const std::string kOther = "S-1-5-21-1-2-3-1002";   // listed third
const std::string kEarlier = "S-1-5-21-1-2-3-1000";  // lists before kUser
const std::string kLater = "S-1-5-21-1-2-3-1003";    // lists last

// Every per-user entry of the fixture in `hive`, where `keep` says so.
template <class Keep>
void SeedHive(const std::string& hive, Keep keep) {
  for (const fx::Entry& entry : fx::Entries()) {
    if (entry.scope != fx::Scope::EachUserHive || !keep(entry)) continue;
    const std::string path = hive + "\\" + entry.path;
    if (entry.valueName.empty()) {
      sim::CreateKey(RootKey::Users, path);
    } else {
      sim::PutString(RootKey::Users, path, entry.valueName, hive + "|" + entry.path);
    }
  }
}

void SeedHive(const std::string& hive) {
  SeedHive(hive, [](const fx::Entry&) { return true; });
}

// The position (1-based, as sim::BeforeCall counts) of the first call whose
// text starts with `prefix` in a run of `run` on the registry `seed` makes;
// 0 when there is none.
template <class Seed, class Run>
std::size_t PositionOf(const std::string& prefix, Seed seed, Run run) {
  sim::Reset();
  seed();
  run();
  const Lines calls = sim::JournalText();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].compare(0, prefix.size(), prefix) == 0) return i + 1;
  }
  return 0;
}

// The hives the sweep read, in order.
Lines HivesListed() {
  Lines hives;
  for (const sim::Call& call : sim::Journal()) {
    if (call.function == "RegEnumKeyA" && call.result == "0" && call.out.size() >= 2) {
      hives.push_back(call.out.substr(1, call.out.size() - 2));
    }
  }
  return hives;
}

// The tree sweep over .DEFAULT, the current user and another user, with the
// list changed just before the call that `at` names.
TEST_F(HiveListChange, TreeSweepMissesOrRepeatsAHiveAndDeletesOnlyPlannedKeys) {
  struct Case {
    const char* what;
    std::string at;                // the list changes this many calls after
    std::size_t after;             // the first call that begins so
    void (*change)();
    Lines listed;                  // the hives the sweep reads, in order
    Lines keptVld;                 // hives whose agent key is still there after
  };
  const Case cases[] = {
      {"a hive loaded before the one visited: that one comes twice, the new one is missed",
       "RegEnumKeyA(HKU, 2,", 0,
       [] { SeedHive(kEarlier); },
       {".DEFAULT", kUser, kUser, kOther},
       {kEarlier}},
      {"a hive loaded after the one visited: it is visited",
       "RegEnumKeyA(HKU, 1,", 0,
       [] { SeedHive(kLater); },
       {".DEFAULT", kUser, kOther, kLater},
       {}},
      {"a hive visited already unloaded: the next one is missed",
       "RegEnumKeyA(HKU, 1,", 0,
       [] { sim::UnloadHive(".DEFAULT"); },
       {".DEFAULT", kOther},
       {kUser}},
      // Just after the sweep opened the current user's agent key.
      {"the hive being emptied unloaded: its keys go stale, the next one is missed",
       "RegOpenKeyExA(HKU, \"" + kUser + kVldSuffix + "\"", 1,
       [] { sim::UnloadHive(kUser); },
       {".DEFAULT", kUser},
       {kOther}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto seed = [] {
      for (const std::string& hive : {std::string(".DEFAULT"), kUser, kOther}) SeedHive(hive);
    };
    const auto sweep = [] { DeleteTreeInAllUserHives(kVldSuffix.c_str()); };
    const std::size_t found = PositionOf(c.at, seed, sweep);
    ASSERT_GT(found, 0u);
    const std::size_t at = found + c.after;

    // What must be left: every hive there at the end, with its agent key
    // gone unless the case says it stays.
    sim::Reset();
    seed();
    c.change();
    for (const std::string& hive : sim::SubkeyNames(RootKey::Users, "")) {
      if (!std::count(c.keptVld.begin(), c.keptVld.end(), hive)) {
        sim::UnloadHive(hive);
        SeedHive(hive, [](const fx::Entry& entry) { return !fx::Under(entry.path, kVld); });
      }
    }
    const Lines expected = sim::Dump(RootKey::Users);

    sim::Reset();
    seed();
    sim::BeforeCall(at, c.change);
    EXPECT_EQ(DeleteTreeInAllUserHives(kVldSuffix.c_str()), 1);

    EXPECT_EQ(HivesListed(), c.listed);
    EXPECT_EQ(sim::Dump(RootKey::Users), expected);
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_EQ(sim::BadCloses(), 0u);
  }
}

// Every neighbour of the fixture is still there, in every hive loaded now and
// in the machine hive; returns the first one missing, or "".
std::string MissingNeighbour() {
  for (const fx::Entry& entry : fx::Entries()) {
    Lines places;
    if (entry.scope == fx::Scope::Machine) {
      places.push_back("");
    } else {
      places = sim::SubkeyNames(RootKey::Users, "");
    }
    for (const std::string& hive : places) {
      if (fx::Planned(entry, hive)) continue;
      const RootKey root = hive.empty() ? RootKey::LocalMachine : RootKey::Users;
      const std::string path = hive.empty() ? entry.path : hive + "\\" + entry.path;
      const bool there = entry.valueName.empty()
                             ? sim::KeyExists(root, path)
                             : sim::GetValue(root, path, entry.valueName).has_value();
      if (!there) return hive + "\\" + entry.path + " [" + entry.valueName + "]";
    }
  }
  return "";
}

// The whole uninstall with a user logging on, or another logging off, just
// before each of its platform calls in turn.
TEST_F(HiveListChange, UninstallKeepsEveryNeighbourWhenHivesComeAndGoAtAnyCall) {
  sim::Reset();
  fx::SeedAll();
  UninstallTMK(0);
  const std::size_t total = sim::CallCount();
  ASSERT_GT(total, 100u);

  struct Change {
    const char* what;
    void (*change)();
  };
  const Change changes[] = {
      {"a hive loaded", [] { SeedHive(kEarlier); }},
      {"a hive unloaded", [] { sim::UnloadHive(kOther); }},
  };
  for (const Change& change : changes) {
    for (std::size_t n = 1; n <= total; ++n) {
      SCOPED_TRACE(std::string(change.what) + " before call " + std::to_string(n));
      sim::Reset();
      fx::SeedAll();
      sim::BeforeCall(n, change.change);
      ASSERT_EQ(UninstallTMK(0), 0u);
      ASSERT_EQ(MissingNeighbour(), "");
      ASSERT_TRUE(sim::OpenHandles().empty());
      ASSERT_EQ(sim::BadCloses(), 0u);
      // The machine's planned keys do not depend on the list.
      ASSERT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Helvarin\\TideMark"));
      ASSERT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Helvarin\\Harbor Kit"));
    }
  }
}

}  // namespace

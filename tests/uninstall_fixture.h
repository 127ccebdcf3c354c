#pragma once
// A registry with everything the uninstall removes and, around it, what it
// must leave: several user hives, each holding every per-user key the cleanup
// names (three levels deep, with values) beside neighbours with similar names,
// and the machine hive with the product's keys beside the maker's others.
//
// Whether a complete cleanup removes an entry follows from the expected plan
// (tests/expected_cleanup.h), never from the product's own table: seeding
// only the entries that must survive gives the registry a complete cleanup
// has to leave behind.

#include <ostream>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/expected_cleanup.h"

namespace uninstall_fixture {

// The hives under HKEY_USERS, in the order Windows lists them (sorted without
// regard to case): the default profile, the current user, the current user's
// classes hive and another user.
inline const std::vector<std::string>& UserHives() {
  static const std::vector<std::string> hives = {
      ".DEFAULT", sim::kDefaultCurrentUser,
      std::string(sim::kDefaultCurrentUser) + "_Classes", "S-1-5-21-1-2-3-1002"};
  return hives;
}
inline const std::string kCurrentUser = sim::kDefaultCurrentUser;

enum class Scope { EachUserHive, Machine };

struct Entry {
  Scope scope;
  std::string path;       // below the hive, or below HKEY_LOCAL_MACHINE
  std::string valueName;  // empty: the key alone
};

inline const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// `path` is `key` or lies below it.
inline bool Under(const std::string& path, const std::string& key) {
  return path.size() >= key.size() && path.compare(0, key.size(), key) == 0 &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

// Whether a complete cleanup removes `entry` from `hive` (empty for the
// machine), by the expected plan.
inline bool Planned(const Entry& entry, const std::string& hive) {
  using expected_cleanup::Kind;
  const bool inEachHive = entry.scope == Scope::EachUserHive;
  for (const expected_cleanup::Step& step : expected_cleanup::kSteps) {
    const std::string path = step.path;
    // The sweeps' hive suffixes bring their leading backslash.
    const std::string belowHive = path.substr(path.rfind('\\', 0) == 0 ? 1 : 0);
    switch (step.kind) {
      case Kind::TreeInEachHive:
        if (inEachHive && Under(entry.path, belowHive)) return true;
        break;
      case Kind::ValueInEachHive:
        if (inEachHive && entry.path == belowHive && entry.valueName == step.valueName) {
          return true;
        }
        break;
      case Kind::TreeUnderCurrentUser:
        if (inEachHive && hive == kCurrentUser && Under(entry.path, path)) return true;
        break;
      case Kind::TreeUnderMachine:
        if (!inEachHive && Under(entry.path, path)) return true;
        break;
    }
  }
  return false;
}

inline const std::vector<Entry>& Entries() {
  using S = Scope;
  static const std::vector<Entry> entries = {
      // ---- every user hive: what the plan removes ----
      {S::EachUserHive, "Software\\Helvarin\\VLD", "InstallDir"},
      {S::EachUserHive, "Software\\Helvarin\\VLD\\State", "Pid"},
      {S::EachUserHive, "Software\\Helvarin\\VLD\\State\\Sessions\\1", "Start"},
      {S::EachUserHive, "Software\\Helvarin\\TideMark", "Version"},
      {S::EachUserHive, "Software\\Helvarin\\TideMark\\Cache", ""},
      {S::EachUserHive, "Software\\Helvarin\\TideMark\\Settings", "Theme"},
      {S::EachUserHive, "Software\\Helvarin\\TideMark\\Settings\\Window", "Pos"},
      {S::EachUserHive, "Software\\Helvarin\\TideMark\\Settings\\Window\\Recent", "1"},
      {S::EachUserHive, "Software\\Helvarin\\TideMark\\Toolbar", "Visible"},
      {S::EachUserHive, "Software\\Helvarin\\Tide Mark Viewer", "LastFile"},
      {S::EachUserHive, "Software\\Helvarin\\Tide Mark Viewer\\MRU", "a"},
      {S::EachUserHive, "Software\\Helvarin\\Tide Mark Viewer\\MRU\\Deep\\Deeper", ""},
      {S::EachUserHive, "Software\\Helvarin\\Brightmoor", "Suite"},
      {S::EachUserHive, "Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
       "Tide Mark Viewer"},
      {S::EachUserHive, "Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
       "Harbor Kit"},
      {S::EachUserHive, "Software\\Helvarin\\Brightmoor\\Components\\Core", "Ver"},
      {S::EachUserHive, kRun, "HelKeepAlive"},
      // ---- every user hive: neighbours ----
      {S::EachUserHive, "Software\\Helvarin", ""},
      {S::EachUserHive, "Software\\Helvarin\\TideMarkX", "Version"},
      {S::EachUserHive, "Software\\Helvarin\\TideMarkX\\Settings", "Theme"},
      {S::EachUserHive, "Software\\Helvarin\\Other\\Sub", "x"},
      {S::EachUserHive, "Software\\Helvarin\\Harbor Kit", "Path"},
      {S::EachUserHive, "Software\\Helvarin\\Harbor Kit\\Modules", ""},
      {S::EachUserHive, kRun, "OtherAgent"},
      {S::EachUserHive, kRun, "HelKeepAliveOld"},
      {S::EachUserHive, kRun + "\\Nested", "x"},
      {S::EachUserHive, kRun + "Once", "HelKeepAlive"},
      {S::EachUserHive, "Software\\VLD", "x"},
      // ---- the machine: what the plan removes ----
      {S::Machine, "Software\\Helvarin\\TideMark", "InstallDir"},
      {S::Machine, "Software\\Helvarin\\TideMark\\Plugins", "IEPlugin.dll"},
      {S::Machine, "Software\\Helvarin\\TideMark\\Plugins", "Other.dll"},
      {S::Machine, "Software\\Helvarin\\TideMark\\Components\\Core\\Files", "Count"},
      {S::Machine, "Software\\Helvarin\\Harbor Kit", "Path"},
      {S::Machine, "Software\\Helvarin\\Harbor Kit\\Modules\\Net", "On"},
      // ---- the machine: neighbours ----
      {S::Machine, "Software\\Helvarin", ""},
      {S::Machine, "Software\\Helvarin\\Brightmoor", "Suite"},
      {S::Machine, "Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
       "Tide Mark Viewer"},
      {S::Machine, "Software\\Helvarin\\VLD", "InstallDir"},
      {S::Machine, "Software\\Helvarin\\VLD\\State", ""},
      {S::Machine, "Software\\Helvarin\\Tide Mark Viewer", "LastFile"},
      {S::Machine, "Software\\Helvarin\\TideMarkX", "Version"},
      {S::Machine, "Software\\Helvarin\\Other", "x"},
      {S::Machine, kRun, "HelKeepAlive"},
  };
  return entries;
}

// Seeds every entry for which `keep(entry, hive)` holds; `hive` is empty for
// machine entries. Value data names the hive and the key, so a value moved
// or copied between hives would show in a dump.
template <class Keep>
void Seed(Keep keep) {
  for (const Entry& entry : Entries()) {
    std::vector<std::string> places;
    if (entry.scope == Scope::Machine) {
      places.push_back("");
    } else {
      places = UserHives();
    }
    for (const std::string& hive : places) {
      if (!keep(entry, hive)) continue;
      const RootKey root = hive.empty() ? RootKey::LocalMachine : RootKey::Users;
      const std::string path = hive.empty() ? entry.path : hive + "\\" + entry.path;
      if (entry.valueName.empty()) {
        sim::CreateKey(root, path);
      } else {
        sim::PutString(root, path, entry.valueName, hive + "|" + entry.path);
      }
    }
  }
}

inline void SeedAll() {
  Seed([](const Entry&, const std::string&) { return true; });
}

// The whole registry, for comparing two of them.
struct Snapshot {
  std::vector<std::string> machine;
  std::vector<std::string> users;  // HKEY_CURRENT_USER is one of these hives
  bool operator==(const Snapshot& other) const {
    return machine == other.machine && users == other.users;
  }
};

// One dump line per line, so a failed comparison shows what differs.
inline void PrintTo(const Snapshot& snapshot, std::ostream* out) {
  *out << "\n  HKEY_LOCAL_MACHINE:";
  for (const std::string& line : snapshot.machine) *out << "\n    " << line;
  *out << "\n  HKEY_USERS:";
  for (const std::string& line : snapshot.users) *out << "\n    " << line;
}

inline Snapshot Take() {
  return {sim::Dump(RootKey::LocalMachine), sim::Dump(RootKey::Users)};
}

// The registry holding exactly the entries `keep` selects. Resets the
// stand-in before and after, faults included: call it before seeding the
// registry under test.
template <class Keep>
Snapshot Expected(Keep keep) {
  sim::Reset();
  Seed(keep);
  Snapshot snapshot = Take();
  sim::Reset();
  return snapshot;
}

// What a complete cleanup leaves: the neighbours only.
inline Snapshot ExpectedAfterCleanup() {
  return Expected(
      [](const Entry& entry, const std::string& hive) { return !Planned(entry, hive); });
}


}  // namespace uninstall_fixture

// The sweeps over every hive under HKEY_USERS: each hive in listing order,
// the index moving by one per hive, the first refusal of the listing ending
// the sweep, a failure in one hive never sparing the next.

#include <algorithm>
#include <cstring>
#include <string>

#include "registry/user_hive_sweep.h"
#include "sim_fixture.h"

namespace {

using UserHiveSweep = SimTest;
using Lines = std::vector<std::string>;

const std::string kVld = "\\Software\\Helvarin\\VLD";
const std::string kRun = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kUser = sim::kDefaultCurrentUser;  // listed second below
const std::string kOther = "S-1-5-21-1-2-3-1002";   // listed third

std::string Enum(int index, const std::string& result) {
  return "RegEnumKeyA(HKU, " + std::to_string(index) + ", 260) = " + result;
}
std::string Listed(int index, const std::string& hive) {
  return Enum(index, "0 -> \"" + hive + "\"");
}
std::string OpenUnderUsers(const std::string& path, const std::string& result) {
  return "RegOpenKeyExA(HKU, \"" + path + "\", 0, 0x2001f) = " + result;
}

// The agent's key with two levels below it and values (left out with
// `withKey` false), and the two keys above it with something of their own.
void SeedAgentKey(const std::string& hive, bool withKey = true) {
  const std::string top = hive + kVld;
  if (withKey) {
    sim::PutString(RootKey::Users, top, "InstallDir", "C:\\VLD");
    sim::PutString(RootKey::Users, top + "\\State\\Sessions", "Last", "1");
    sim::CreateKey(RootKey::Users, top + "\\Cache");
  }
  sim::PutString(RootKey::Users, hive + "\\Software\\Helvarin", "Owner", hive);
  sim::CreateKey(RootKey::Users, hive + "\\Software\\Helvarin\\VLDX");
}

// Three hives, .DEFAULT, the current user and another user; the agent's key
// in the current user's only.
void SeedThreeHives(bool withKey) {
  sim::CreateKey(RootKey::Users, ".DEFAULT\\Software");
  SeedAgentKey(kUser, withKey);
  sim::PutString(RootKey::Users, kOther + "\\Software\\Helvarin", "Owner", kOther);
}

TEST_F(UserHiveSweep, TreeSweepVisitsEveryHiveAndChangesOnlyTheOneWithTheKey) {
  SeedThreeHives(false);
  const auto expected = sim::Dump(RootKey::Users);
  sim::Reset();
  SeedThreeHives(true);
  sim::ClearJournal();

  EXPECT_EQ(DeleteTreeInAllUserHives(kVld.c_str()), 1);

  EXPECT_EQ(sim::Dump(RootKey::Users), expected);
  EXPECT_EQ(sim::JournalText("RegEnumKeyA"),
            (Lines{Listed(0, ".DEFAULT"), Listed(1, kUser), Listed(2, kOther),
                   Enum(3, "259")}));
  const Lines opens = sim::JournalText("RegOpenKeyExA");
  ASSERT_GE(opens.size(), 3u);
  EXPECT_EQ(opens.front(), OpenUnderUsers(".DEFAULT" + kVld, "2"));
  EXPECT_EQ(opens[1], OpenUnderUsers(kUser + kVld, "0 -> h1"));
  EXPECT_EQ(opens.back(), OpenUnderUsers(kOther + kVld, "2"));
  // Each hive's turn is over before the next name is read, and the release
  // of HKEY_USERS at its end does not stop the listing.
  EXPECT_EQ(Tail(sim::JournalText(), 4),
            (Lines{Listed(2, kOther), OpenUnderUsers(kOther + kVld, "2"),
                   "RegCloseKey(HKU) = 0", Enum(3, "259")}));
}

// Refused at index 0 (no hive can be listed), or refused part-way: the first
// non-zero answer of the listing ends the sweep, hives after it untouched.
TEST_F(UserHiveSweep, FirstRefusalOfTheListingEndsTheSweep) {
  struct Case {
    const char* name;
    bool valueSweep;
  };
  for (const Case& c : {Case{"tree", false}, Case{"value", true}}) {
    SCOPED_TRACE(c.name);
    auto sweep = [&] {
      return c.valueSweep ? DeleteValueInAllUserHives(kRun.c_str(), "HelKeepAlive")
                          : DeleteTreeInAllUserHives(kVld.c_str());
    };
    auto seed = [](const std::string& hive) {
      SeedAgentKey(hive);
      sim::PutString(RootKey::Users, hive + kRun, "HelKeepAlive", "vld.exe");
    };

    // HKEY_USERS itself refuses to be listed.
    sim::Reset();
    seed(".DEFAULT");
    seed(kUser);
    sim::Refuse(RootKey::Users, "", sim::Refusal::Open);
    const auto before = sim::Dump(RootKey::Users);
    sim::ClearJournal();
    EXPECT_EQ(sweep(), 1);
    EXPECT_EQ(sim::JournalText(), Lines{Enum(0, "5")});
    EXPECT_EQ(sim::Dump(RootKey::Users), before);

    // The second listing fails: .DEFAULT is done, the current user is not.
    // A clean run shows which call that listing is.
    sim::Reset();
    seed(".DEFAULT");
    seed(kUser);
    sim::ClearJournal();
    sweep();
    const Lines clean = sim::JournalText();
    const auto second = std::find(clean.begin(), clean.end(), Listed(1, kUser));
    ASSERT_NE(second, clean.end());
    sim::Reset();
    seed(".DEFAULT");
    seed(kUser);
    sim::ClearJournal();
    sim::FailCall(static_cast<std::size_t>(second - clean.begin()) + 1,
                  ERROR_ACCESS_DENIED);
    EXPECT_EQ(sweep(), 1);
    EXPECT_EQ(sim::JournalText("RegEnumKeyA"),
              (Lines{Listed(0, ".DEFAULT"), Enum(1, "5")}));
    EXPECT_EQ(Tail(sim::JournalText(), 1), Lines{Enum(1, "5")});
    EXPECT_EQ(sim::KeyExists(RootKey::Users, ".DEFAULT" + kVld), c.valueSweep);
    EXPECT_EQ(sim::GetValue(RootKey::Users, ".DEFAULT" + kRun, "HelKeepAlive")
                  .has_value(),
              !c.valueSweep);
    EXPECT_TRUE(sim::KeyExists(RootKey::Users, kUser + kVld));
    EXPECT_TRUE(sim::GetValue(RootKey::Users, kUser + kRun, "HelKeepAlive"));
  }
}

TEST_F(UserHiveSweep, AHiveNameTooLongToListEndsTheSweep) {
  // 260 characters and the NUL do not fit the 260-character name buffer:
  // the listing reports ERROR_MORE_DATA, and the hives after it are not
  // visited.
  const std::string longName(260, 'M');
  SeedAgentKey(".DEFAULT");
  SeedAgentKey(longName);
  SeedAgentKey(kUser);
  sim::ClearJournal();
  EXPECT_EQ(DeleteTreeInAllUserHives(kVld.c_str()), 1);
  EXPECT_EQ(sim::JournalText("RegEnumKeyA"),
            (Lines{Listed(0, ".DEFAULT"), Enum(1, "234")}));
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, ".DEFAULT" + kVld));
  EXPECT_TRUE(sim::KeyExists(RootKey::Users, longName + kVld));
  EXPECT_TRUE(sim::KeyExists(RootKey::Users, kUser + kVld));
}

// A hive name that is listed but leaves no room for the suffix: at exactly
// 260 characters with the NUL the path is composed and used; one more and
// that hive is skipped while the sweep goes on with the next.
TEST_F(UserHiveSweep, HiveWhosePathDoesNotFitIsSkipped) {
  struct Case {
    bool valueSweep;
    std::size_t overLimit;  // characters beyond what fits
  };
  for (const Case& c : {Case{false, 0}, Case{false, 1}, Case{true, 0}, Case{true, 1}}) {
    const std::string& suffix = c.valueSweep ? kRun : kVld;
    const std::size_t nameLength = 260 - 1 - suffix.size() + c.overLimit;
    SCOPED_TRACE((c.valueSweep ? "value sweep, name length " : "tree sweep, name length ") +
                 std::to_string(nameLength));
    // Lists between .DEFAULT and the current user.
    const std::string longName(nameLength, 'M');
    sim::Reset();
    for (const std::string& hive : {std::string(".DEFAULT"), longName, kUser}) {
      SeedAgentKey(hive);
      sim::PutString(RootKey::Users, hive + kRun, "HelKeepAlive", "vld.exe");
    }
    sim::ClearJournal();

    EXPECT_EQ(c.valueSweep ? DeleteValueInAllUserHives(suffix.c_str(), "HelKeepAlive")
                           : DeleteTreeInAllUserHives(suffix.c_str()),
              1);

    EXPECT_EQ(sim::JournalText("RegEnumKeyA"),
              (Lines{Listed(0, ".DEFAULT"), Listed(1, longName), Listed(2, kUser),
                     Enum(3, "259")}));
    const Lines opens = sim::JournalText("RegOpenKeyExA");
    const bool fits = c.overLimit == 0;
    const auto opened = [&](const std::string& hive) {
      const std::string call = OpenUnderUsers(hive + suffix, "0");
      for (const std::string& line : opens) {
        if (line.compare(0, call.size(), call) == 0) return true;
      }
      return false;
    };
    EXPECT_TRUE(opened(".DEFAULT"));
    EXPECT_EQ(opened(longName), fits);
    EXPECT_TRUE(opened(kUser));
    for (const std::string& hive : {std::string(".DEFAULT"), longName, kUser}) {
      const bool done = hive != longName || fits;
      if (c.valueSweep) {
        EXPECT_EQ(sim::GetValue(RootKey::Users, hive + kRun, "HelKeepAlive").has_value(),
                  !done);
      } else {
        EXPECT_EQ(sim::KeyExists(RootKey::Users, hive + kVld), !done);
      }
    }
    if (!fits) {
      // Nothing at all was asked of the registry for the skipped hive.
      for (const std::string& line : sim::JournalText()) {
        if (line.rfind("RegEnumKeyA", 0) == 0) continue;
        EXPECT_EQ(line.find(longName), std::string::npos) << line;
      }
    }
  }
}

// The composition itself, on a buffer with guard bytes behind it.
TEST(ComposeHivePath, NeverWritesPastTheBuffer) {
  const std::string suffix = "\\Software\\Helvarin\\VLD";
  struct Case {
    std::size_t nameLength;
    bool fits;
  };
  const std::size_t exact = kHivePathChars - 1 - suffix.size();
  for (const Case& c : {Case{0, true}, Case{exact, true}, Case{exact + 1, false},
                        Case{kHivePathChars - 1, false}, Case{kHivePathChars, false},
                        Case{kHivePathChars + 20, false}}) {
    SCOPED_TRACE(c.nameLength);
    const std::string name(c.nameLength, 'N');
    constexpr std::size_t kGuard = 64;
    char arena[kHivePathChars + kGuard];
    std::memset(arena, 0x5A, sizeof arena);
    EXPECT_EQ(ComposeHivePath(arena, name.c_str(), suffix.c_str()), c.fits);
    if (c.fits) {
      EXPECT_EQ(std::string(arena), name + suffix);
    }
    for (std::size_t i = kHivePathChars; i < sizeof arena; ++i) {
      ASSERT_EQ(arena[i], 0x5A) << "written at " << i;
    }
  }
}

TEST_F(UserHiveSweep, AHiveWhoseKeyCannotBeOpenedIsLeftAndTheNextVisited) {
  for (const std::string& hive : {std::string(".DEFAULT"), kUser, kOther}) {
    SeedAgentKey(hive);
  }
  sim::Refuse(RootKey::Users, kUser + kVld, sim::Refusal::Open);
  const auto before = sim::Dump(RootKey::Users);
  EXPECT_EQ(DeleteTreeInAllUserHives(kVld.c_str()), 1);
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, ".DEFAULT" + kVld));
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, kOther + kVld));
  // The refused hive is exactly as it was.
  const auto after = sim::Dump(RootKey::Users);
  Lines userBefore, userAfter;
  for (const auto& line : before) {
    if (line.rfind("\\" + kUser, 0) == 0) userBefore.push_back(line);
  }
  for (const auto& line : after) {
    if (line.rfind("\\" + kUser, 0) == 0) userAfter.push_back(line);
  }
  EXPECT_EQ(userAfter, userBefore);
  EXPECT_EQ(sim::JournalText("RegEnumKeyA").size(), 4u);
}

TEST_F(UserHiveSweep, TreeDeletionStoppedInOneHiveLeavesItPartlyAndGoesOn) {
  for (const std::string& hive : {std::string(".DEFAULT"), kUser}) SeedAgentKey(hive);
  // Listed after Cache: Cache goes, State and the key itself stay.
  sim::Refuse(RootKey::Users, ".DEFAULT" + kVld + "\\State\\Sessions", sim::Refusal::Open);
  EXPECT_EQ(DeleteTreeInAllUserHives(kVld.c_str()), 1);
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, ".DEFAULT" + kVld + "\\Cache"));
  EXPECT_TRUE(sim::KeyExists(RootKey::Users, ".DEFAULT" + kVld + "\\State\\Sessions"));
  EXPECT_TRUE(sim::GetValue(RootKey::Users, ".DEFAULT" + kVld, "InstallDir"));
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, kUser + kVld));
  EXPECT_TRUE(sim::KeyExists(RootKey::Users, kUser + "\\Software\\Helvarin\\VLDX"));
}

TEST_F(UserHiveSweep, ValueSweepDeletesOnlyThatValue) {
  // .DEFAULT: the value among others, a subkey below. Current user: the Run
  // key without the value. Other user: no Run key. A fourth hive: the value
  // there but the key refuses to open. A fifth: the value again.
  const std::string refused = "S-1-5-21-1-2-3-1003";
  const std::string last = "S-1-5-21-1-2-3-1004";
  for (const std::string& hive : {std::string(".DEFAULT"), refused, last}) {
    sim::PutString(RootKey::Users, hive + kRun, "HelKeepAlive", "vld.exe");
    sim::PutString(RootKey::Users, hive + kRun, "Other", "other.exe");
    sim::PutString(RootKey::Users, hive + kRun + "\\Sub", "HelKeepAlive", "kept");
    sim::PutString(RootKey::Users, hive + kRun + "Once", "HelKeepAlive", "kept");
  }
  sim::PutString(RootKey::Users, kUser + kRun, "Other", "other.exe");
  sim::CreateKey(RootKey::Users, kOther + "\\Software");
  sim::Refuse(RootKey::Users, refused + kRun, sim::Refusal::Open);

  // Expected: the same registry without the two deletable values.
  const auto before = sim::Dump(RootKey::Users);
  Lines expected;
  for (const auto& line : before) {
    if (line.rfind("\\.DEFAULT" + kRun + " [HelKeepAlive]", 0) == 0 ||
        line.rfind("\\" + last + kRun + " [HelKeepAlive]", 0) == 0) {
      continue;
    }
    expected.push_back(line);
  }
  ASSERT_EQ(expected.size(), before.size() - 2);

  EXPECT_EQ(DeleteValueInAllUserHives(kRun.c_str(), "HelKeepAlive"), 1);
  EXPECT_EQ(sim::Dump(RootKey::Users), expected);
  EXPECT_EQ(sim::JournalText("RegDeleteValueA"),
            (Lines{"RegDeleteValueA(h1, \"HelKeepAlive\") = 0",
                   "RegDeleteValueA(h2, \"HelKeepAlive\") = 2",
                   "RegDeleteValueA(h3, \"HelKeepAlive\") = 0"}));
  EXPECT_EQ(sim::JournalText("RegEnumKeyA").size(), 6u);
  // One key per hive, closed before the next hive is listed.
  EXPECT_EQ(sim::JournalText("RegCloseKey"),
            (Lines{"RegCloseKey(h1) = 0", "RegCloseKey(h2) = 0", "RegCloseKey(h3) = 0"}));
}

}  // namespace

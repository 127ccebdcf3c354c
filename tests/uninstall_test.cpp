// The uninstall action: the guard components hold everything back only when
// one is installed locally; otherwise the twelve cleanup steps run in order,
// each failure confined to its tree, and exactly the planned keys and values
// go.

#include <functional>
#include <optional>
#include <string>

#include "actions/actions.h"
#include "expected_cleanup.h"
#include "sim_fixture.h"
#include "uninstall_fixture.h"

namespace {

using Lines = std::vector<std::string>;
namespace fx = uninstall_fixture;
namespace plan = expected_cleanup;
using plan::Kind;
using plan::Step;

const std::string kFirstGuard = plan::kGuardComponents[0];
const std::string kSecondGuard = plan::kGuardComponents[1];

std::string Query(const std::string& component, INSTALLSTATE state) {
  return "MsiLocateComponentA(\"" + component + "\", null, null) = " +
         std::to_string(state);
}

// ---- the stand-in's component query -----------------------------------------

using ComponentQuery = SimTest;

TEST_F(ComponentQuery, AnswersTheStateSetPerCodeAndRecordsItsArguments) {
  sim::SetComponentState("{A}", 4);
  sim::SetComponentState("{B}", -1);
  char path[8];
  DWORD size = sizeof path;
  EXPECT_EQ(MsiLocateComponentA("{A}", path, &size), 4);
  EXPECT_EQ(MsiLocateComponentA("{a}", nullptr, &size), -1) << "codes match exactly";
  EXPECT_EQ(MsiLocateComponentA("{B}", path, nullptr), -1);
  EXPECT_EQ(MsiLocateComponentA("{C}", nullptr, nullptr), -1);
  sim::FailCall(1, 1603);
  EXPECT_EQ(MsiLocateComponentA("{A}", nullptr, nullptr), 1603);
  EXPECT_EQ(sim::JournalText(), (Lines{"MsiLocateComponentA(\"{A}\", ptr, ptr) = 4",
                                       "MsiLocateComponentA(\"{a}\", null, ptr) = -1",
                                       "MsiLocateComponentA(\"{B}\", ptr, null) = -1",
                                       "MsiLocateComponentA(\"{C}\", null, null) = -1",
                                       "MsiLocateComponentA(\"{A}\", null, null) = 1603"}));
  sim::Reset();
  EXPECT_EQ(MsiLocateComponentA("{A}", nullptr, nullptr), -1) << "Reset forgets states";
}

// ---- the action ---------------------------------------------------------------

using Uninstall = SimTest;

// The journal reduced to where each step starts its work: every listing of
// HKEY_USERS, every key opened straight below a root, every value deletion,
// every component query.
Lines Trace() {
  Lines trace;
  for (const sim::Call& call : sim::Journal()) {
    if (call.function == "RegEnumKeyA") {
      trace.push_back("list " + call.Arg(1) + " = " + call.result);
    } else if (call.function == "RegOpenKeyExA" &&
               (call.Arg(0) == "HKU" || call.Arg(0) == "HKCU" || call.Arg(0) == "HKLM")) {
      trace.push_back("open " + call.Arg(0) + " " + call.Arg(1) + " = " + call.result);
    } else if (call.function == "RegDeleteValueA") {
      trace.push_back("delete value " + call.Arg(1) + " = " + call.result);
    } else if (call.function == "MsiLocateComponentA") {
      trace.push_back(call.Text());
    }
  }
  return trace;
}

// What Trace() must show when the plan runs on the fixture's hives.
// `opened(step, hive)` gives the result of opening the step's key (hive empty
// for the single-root steps); `deleted(step, hive)` that of deleting the
// step's value, asked only where the key opened.
using OpenResult = std::function<LONG(const Step&, const std::string& hive)>;
Lines ExpectedTrace(const OpenResult& opened, const OpenResult& deleted) {
  Lines trace = {Query(kFirstGuard, -1), Query(kSecondGuard, -1)};
  for (const Step& step : plan::kSteps) {
    const std::string quoted = "\"" + std::string(step.path) + "\"";
    switch (step.kind) {
      case Kind::TreeInEachHive:
      case Kind::ValueInEachHive: {
        const auto& hives = fx::UserHives();
        for (std::size_t i = 0; i < hives.size(); ++i) {
          trace.push_back("list " + std::to_string(i) + " = 0");
          const LONG open = opened(step, hives[i]);
          trace.push_back("open HKU \"" + hives[i] + step.path + "\" = " +
                          std::to_string(open));
          if (step.kind == Kind::ValueInEachHive && open == ERROR_SUCCESS) {
            trace.push_back("delete value \"" + std::string(step.valueName) + "\" = " +
                            std::to_string(deleted(step, hives[i])));
          }
        }
        trace.push_back("list " + std::to_string(hives.size()) + " = 259");
        break;
      }
      case Kind::TreeUnderCurrentUser:
        trace.push_back("open HKCU " + quoted + " = " + std::to_string(opened(step, "")));
        break;
      case Kind::TreeUnderMachine:
        trace.push_back("open HKLM " + quoted + " = " + std::to_string(opened(step, "")));
        break;
    }
  }
  return trace;
}

TEST_F(Uninstall, RemovesExactlyThePlannedKeysAndValues) {
  const fx::Snapshot expected = fx::ExpectedAfterCleanup();
  fx::SeedAll();
  EXPECT_EQ(UninstallTMK(0), 0u);

  const fx::Snapshot after = fx::Take();
  EXPECT_EQ(after.machine, expected.machine);
  EXPECT_EQ(after.users, expected.users);
  // Spelled out, what the comparison above implies for the keys that matter.
  for (const std::string& hive : fx::UserHives()) {
    EXPECT_TRUE(sim::KeyExists(RootKey::Users, hive + "\\Software\\Helvarin")) << hive;
    EXPECT_TRUE(sim::KeyExists(RootKey::Users, hive + "\\Software\\Helvarin\\Harbor Kit"));
    EXPECT_FALSE(sim::KeyExists(RootKey::Users, hive + "\\Software\\Helvarin\\Brightmoor"));
    EXPECT_TRUE(sim::GetValue(RootKey::Users, hive + "\\" + fx::kRun, "OtherAgent"));
    EXPECT_FALSE(sim::GetValue(RootKey::Users, hive + "\\" + fx::kRun, "HelKeepAlive"));
  }
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Helvarin\\TideMark"));
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Helvarin\\Harbor Kit"));
  for (const char* kept : {"Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
                           "Software\\Helvarin\\VLD", "Software\\Helvarin\\Tide Mark Viewer",
                           "Software\\Helvarin\\TideMarkX"}) {
    EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, kept)) << kept;
  }
}

// Two component queries with no path buffer, then the twelve steps in order,
// the hives of each sweep in listing order. The steps under the current user
// run although the sweep before each has already removed its key there.
TEST_F(Uninstall, StepsRunInPlanOrder) {
  fx::SeedAll();
  EXPECT_EQ(UninstallTMK(0), 0u);
  const Lines expected = ExpectedTrace(
      [](const Step& step, const std::string&) {
        return step.kind == Kind::TreeUnderCurrentUser ? ERROR_FILE_NOT_FOUND
                                                       : ERROR_SUCCESS;
      },
      [](const Step&, const std::string&) { return ERROR_SUCCESS; });
  EXPECT_EQ(Trace(), expected);
}

TEST_F(Uninstall, SecondRunOnTheCleanedRegistryRunsEveryStepQuietly) {
  fx::SeedAll();
  EXPECT_EQ(UninstallTMK(0), 0u);
  const fx::Snapshot cleaned = fx::Take();
  sim::ClearJournal();

  EXPECT_EQ(UninstallTMK(0), 0u);
  EXPECT_EQ(fx::Take(), cleaned);
  // Only the Run keys are still there to open; their value is gone.
  const Lines expected = ExpectedTrace(
      [](const Step& step, const std::string&) {
        return step.path == "\\" + fx::kRun ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
      },
      [](const Step&, const std::string&) { return ERROR_FILE_NOT_FOUND; });
  EXPECT_EQ(Trace(), expected);
}

// The install state must be exactly 3 to hold the cleanup back; the second
// guard is asked only when the first is not local.
TEST_F(Uninstall, GuardComponents) {
  constexpr INSTALLSTATE kUnset = 1000;  // not registered: the query answers -1
  struct Case {
    INSTALLSTATE first;
    INSTALLSTATE second;
    bool cleans;
  };
  const Case cases[] = {
      {3, kUnset, false}, {3, 3, false},  {3, 4, false},  {kUnset, 3, false},
      {4, 3, false},      {2, 3, false},  {-2, 3, false}, {4, kUnset, true},
      {2, kUnset, true},  {-1, -1, true}, {-2, -2, true}, {kUnset, 4, true},
      {kUnset, 2, true},  {-2, 4, true},  {5, -4, true},  {kUnset, kUnset, true},
  };
  const fx::Snapshot cleaned = fx::ExpectedAfterCleanup();
  for (const Case& c : cases) {
    SCOPED_TRACE("first " + std::to_string(c.first) + ", second " +
                 std::to_string(c.second));
    sim::Reset();
    fx::SeedAll();
    const fx::Snapshot before = fx::Take();
    if (c.first != kUnset) sim::SetComponentState(kFirstGuard, c.first);
    if (c.second != kUnset) sim::SetComponentState(kSecondGuard, c.second);
    sim::ClearJournal();

    EXPECT_EQ(UninstallTMK(0), 0u);

    const INSTALLSTATE first = c.first == kUnset ? -1 : c.first;
    const INSTALLSTATE second = c.second == kUnset ? -1 : c.second;
    Lines queries = {Query(kFirstGuard, first)};
    if (first != plan::kInstalledLocally) queries.push_back(Query(kSecondGuard, second));
    EXPECT_EQ(sim::JournalText("MsiLocateComponentA"), queries);
    if (c.cleans) {
      EXPECT_EQ(fx::Take(), cleaned);
      // Each sweep lists every hive and then once more to find the end.
      EXPECT_EQ(sim::JournalText("RegEnumKeyA").size(),
                plan::kSweepSteps * (fx::UserHives().size() + 1));
      EXPECT_EQ(Head(sim::JournalText(), 2), queries) << "both asked before any step";
    } else {
      EXPECT_EQ(sim::JournalText(), queries) << "no registry call at all";
      EXPECT_EQ(fx::Take(), before);
      EXPECT_TRUE(sim::GetValue(RootKey::LocalMachine,
                                "Software\\Helvarin\\TideMark\\Plugins", "IEPlugin.dll"));
    }
  }
}

// A failure stays inside the tree or hive where it happened: every other
// hive and every later step is cleaned all the same.
TEST_F(Uninstall, FailuresStayConfined) {
  using Survives = std::function<bool(const fx::Entry&, const std::string& hive)>;
  const std::string other = "S-1-5-21-1-2-3-1002";
  struct Case {
    const char* name;
    std::function<void()> fault;
    Survives survives;  // planned entries the fault keeps
  };
  const Case cases[] = {
      {"a subkey deep in one hive's product tree cannot be opened",
       [] {
         sim::Refuse(RootKey::Users,
                     ".DEFAULT\\Software\\Helvarin\\TideMark\\Settings\\Window",
                     sim::Refusal::Open);
       },
       // Cache is listed before Settings and goes; the refused key, the keys
       // above it and Toolbar, listed after, stay.
       [](const fx::Entry& e, const std::string& hive) {
         return hive == ".DEFAULT" && fx::Under(e.path, "Software\\Helvarin\\TideMark") &&
                !fx::Under(e.path, "Software\\Helvarin\\TideMark\\Cache");
       }},
      {"HKEY_USERS cannot be listed",
       [] { sim::Refuse(RootKey::Users, "", sim::Refusal::Open); },
       // No sweep reaches any hive; the steps under the current user remove
       // its trees, not its Run entry.
       [](const fx::Entry& e, const std::string& hive) {
         return (!hive.empty() && hive != fx::kCurrentUser) ||
                (hive == fx::kCurrentUser && e.path == fx::kRun);
       }},
      {"the machine hive cannot be opened",
       [] { sim::Refuse(RootKey::LocalMachine, "", sim::Refusal::Open, true); },
       [](const fx::Entry&, const std::string& hive) { return hive.empty(); }},
      {"another user's hive cannot be opened",
       [other] { sim::Refuse(RootKey::Users, other, sim::Refusal::Open, true); },
       [other](const fx::Entry&, const std::string& hive) { return hive == other; }},
      {"the intro dialog key cannot be deleted in another user's hive",
       [other] {
         sim::Refuse(RootKey::Users,
                     other + "\\Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
                     sim::Refusal::Delete);
       },
       // Step 6 took the viewer's entry; step 10 emptied Components, then was
       // refused at the intro dialog key and left it and the suite key.
       [other](const fx::Entry& e, const std::string& hive) {
         return hive == other && fx::Under(e.path, "Software\\Helvarin\\Brightmoor") &&
                !fx::Under(e.path, "Software\\Helvarin\\Brightmoor\\Components") &&
                e.valueName != "Tide Mark Viewer";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Survives survives = c.survives;
    const fx::Snapshot expected =
        fx::Expected([&survives](const fx::Entry& e, const std::string& hive) {
          return !fx::Planned(e, hive) || survives(e, hive);
        });
    fx::SeedAll();
    c.fault();
    EXPECT_EQ(UninstallTMK(0), 0u);
    const fx::Snapshot after = fx::Take();
    EXPECT_EQ(after.machine, expected.machine);
    EXPECT_EQ(after.users, expected.users);
    EXPECT_TRUE(sim::OpenHandles().empty());
    // Every step ran: each single-root step opened its key once.
    std::size_t rootOpens = 0;
    for (const std::string& line : Trace()) {
      if (line.rfind("open HKCU", 0) == 0 || line.rfind("open HKLM", 0) == 0) ++rootOpens;
    }
    EXPECT_EQ(rootOpens, plan::kSingleRootSteps);
  }
}

}  // namespace

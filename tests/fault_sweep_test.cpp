// Every single fault: each action runs once on a representative registry to
// count its platform calls, then once more for every call position and every
// way that call can fail on Windows, with only that call failing. After each
// run the action must have returned 0, closed every key it opened exactly
// once, changed nothing it has no business with, and kept the failure inside
// the tree or hive where it happened.

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "actions/actions.h"
#include "expected_cleanup.h"
#include "sim_fixture.h"
#include "uninstall_fixture.h"

namespace {

using Lines = std::vector<std::string>;
namespace fx = uninstall_fixture;
namespace plan = expected_cleanup;

// ---- what a call can meet ------------------------------------------------------

// The ways each platform call can fail. Status codes for the registry (for
// the listings also a name that does not fit, and a premature end), any state
// but "installed locally" for the component query, and a zero or null result
// for the window functions, which report no code. The tick counter, Sleep and
// lstrlenA cannot fail.
std::vector<LONG> FailuresOf(const std::string& function) {
  if (function == "RegOpenKeyExA" || function == "RegCreateKeyExA" ||
      function == "RegDeleteKeyA" || function == "RegDeleteValueA") {
    return {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND};
  }
  if (function == "RegEnumKeyExA" || function == "RegEnumKeyA") {
    return {ERROR_ACCESS_DENIED, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS};
  }
  if (function == "RegSetValueExA") return {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE};
  if (function == "RegCloseKey") return {ERROR_INVALID_HANDLE};
  if (function == "MsiLocateComponentA") {
    return {4, 2, 1, -1, -2, 1603};  // source, absent, advertised, unknown, bad argument, failure
  }
  if (function == "FindWindowA" || function == "PostMessageA" || function == "IsWindow") {
    return {ERROR_ACCESS_DENIED};  // the stand-in turns it into a zero result
  }
  return {};
}

bool IsRoot(const std::string& handle) {
  return handle == "HKLM" || handle == "HKCU" || handle == "HKU";
}

bool IsRegistryCall(const std::string& function) { return function.rfind("Reg", 0) == 0; }

// ---- counting what was checked -----------------------------------------------------

struct Tally {
  std::size_t positions = 0;    // call positions made to fail
  std::size_t cannotFail = 0;   // positions of calls that cannot fail
  std::size_t runs = 0;         // faulted runs, one per position and failure
  std::size_t invariants = 0;   // checks made over all runs
};

class Checker {
 public:
  explicit Checker(Tally& tally) : tally_(tally) {}
  // Counts one invariant; reports it when it does not hold.
  bool operator()(bool holds, const std::string& what) {
    ++tally_.invariants;
    if (!holds) ADD_FAILURE() << what;
    return holds;
  }

 private:
  Tally& tally_;
};

// ---- checks every action shares ------------------------------------------------------

// The one journal entry the fault was injected into, and how it came out.
struct Fault {
  std::size_t position;  // 1-based
  std::string function;
  LONG code;
};

// The injected failure reached the intended call, and the call reported it.
void CheckFaultLanded(const Fault& fault, Checker& check) {
  const auto& journal = sim::Journal();
  if (!check(journal.size() >= fault.position, "the faulted call was never made")) return;
  const sim::Call& call = journal[fault.position - 1];
  check(call.function == fault.function, "call " + std::to_string(fault.position) + " is " +
                                             call.function + ", not " + fault.function);
  std::string failed = std::to_string(fault.code);
  if (fault.function == "FindWindowA") failed = "null";
  if (fault.function == "PostMessageA" || fault.function == "IsWindow") failed = "0";
  check(call.result == failed, "the faulted call returned " + call.result);
}

// Every key opened was closed exactly once, nothing that was not opened was
// closed, and no key was used after its close. A close that the fault made
// fail leaves that one handle open in the stand-in: the module did its part
// by trying, and the stand-in must show exactly that handle open.
void CheckHandles(const Fault& fault, Checker& check) {
  std::map<std::string, int> opened, closeTries;
  std::set<std::string> closed;
  std::string failedClose, usedAfterClose;
  for (std::size_t i = 0; i < sim::Journal().size(); ++i) {
    const sim::Call& call = sim::Journal()[i];
    if (!IsRegistryCall(call.function)) continue;
    const std::string& handle = call.Arg(0);
    if (closed.count(handle)) usedAfterClose += "\n  " + call.Text();
    if ((call.function == "RegOpenKeyExA" || call.function == "RegCreateKeyExA") &&
        call.result == "0") {
      ++opened[call.out];
    } else if (call.function == "RegCloseKey" && !IsRoot(handle)) {
      ++closeTries[handle];
      closed.insert(handle);
      if (i + 1 == fault.position) failedClose = handle;
    }
  }
  check(usedAfterClose.empty(), "keys used after their close:" + usedAfterClose);
  std::string notOnce, notOpened;
  for (const auto& [handle, count] : opened) {
    if (closeTries[handle] != 1) {
      notOnce += " " + handle + " x" + std::to_string(closeTries[handle]);
    }
  }
  for (const auto& [handle, count] : closeTries) {
    if (!opened.count(handle)) notOpened += " " + handle;
  }
  check(notOnce.empty(), "keys not closed exactly once:" + notOnce);
  check(notOpened.empty(), "closed but never opened:" + notOpened);
  const Lines stillOpen = failedClose.empty() ? Lines{} : Lines{failedClose};
  check(sim::OpenHandles() == stillOpen, "keys left open");
  check(sim::BadCloses() == 0, "a key closed twice or never opened");
}

// ---- the sweep -------------------------------------------------------------------

struct Subject {
  const char* name;
  std::function<void()> seed;  // after sim::Reset()
  std::function<UINT()> run;
  // Invariants of the action itself, given the clean run's journal and the
  // fault of this run.
  std::function<void(const std::vector<sim::Call>& clean, const Fault&, Checker&)> check;
};

void Sweep(const Subject& subject, Tally& tally) {
  sim::Reset();
  subject.seed();
  ASSERT_EQ(subject.run(), 0u);
  const std::vector<sim::Call> clean = sim::Journal();
  ASSERT_EQ(clean.size(), sim::CallCount());
  Checker check(tally);

  for (std::size_t k = 1; k <= clean.size(); ++k) {
    const std::string& function = clean[k - 1].function;
    const std::vector<LONG> failures = FailuresOf(function);
    if (failures.empty()) {
      ++tally.cannotFail;
      continue;
    }
    ++tally.positions;
    for (LONG code : failures) {
      ++tally.runs;
      const Fault fault{k, function, code};
      SCOPED_TRACE(std::string(subject.name) + ": call " + std::to_string(k) + " " +
                   clean[k - 1].Text() + " fails with " + std::to_string(code));
      sim::Reset();
      subject.seed();
      sim::FailCall(k, code);
      check(subject.run() == 0u, "result not 0");
      CheckFaultLanded(fault, check);
      CheckHandles(fault, check);
      subject.check(clean, fault, check);
      if (::testing::Test::HasFailure()) return;  // one account is enough
    }
  }
}

void Report(const char* action, const Tally& tally) {
  std::printf(
      "[ faults   ] %s: %zu fault positions (%zu calls that cannot fail skipped), %zu faulted "
      "runs, %zu invariants checked\n",
      action, tally.positions, tally.cannotFail, tally.runs, tally.invariants);
  ::testing::Test::RecordProperty("fault_positions", static_cast<int>(tally.positions));
  ::testing::Test::RecordProperty("faulted_runs", static_cast<int>(tally.runs));
  ::testing::Test::RecordProperty("invariants", static_cast<int>(tally.invariants));
  EXPECT_GT(tally.positions, 0u);
}

// ---- registry snapshots ------------------------------------------------------------

// The whole registry as one sorted set of lines: "HKLM\..." and "HKU\...".
std::set<std::string> State() {
  std::set<std::string> lines;
  for (const std::string& line : sim::Dump(RootKey::LocalMachine)) lines.insert("HKLM" + line);
  for (const std::string& line : sim::Dump(RootKey::Users)) lines.insert("HKU" + line);
  return lines;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The key a dump line belongs to, and the value it names, if any.
std::string KeyOf(const std::string& line) { return line.substr(0, line.find(" [")); }
std::string ValueOf(const std::string& line) {
  const std::size_t open = line.find(" [");
  if (open == std::string::npos) return "";
  return line.substr(open + 2, line.find("] type ", open) - open - 2);
}

// Within `key` or below it; both already in upper case.
bool AtOrBelow(const std::string& path, const std::string& key) {
  return path.compare(0, key.size(), key) == 0 &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

// What may differ between two registries: whole trees ("HKU\hive\Software\...")
// or single values. Names compare without regard to case.
class Scope {
 public:
  void AddTree(const std::string& key) { trees_.push_back(Upper(key)); }
  void AddValue(const std::string& key, const std::string& name) {
    values_.push_back({Upper(key), Upper(name)});
  }
  bool Covers(const std::string& line) const {
    const std::string key = Upper(KeyOf(line));
    for (const std::string& tree : trees_) {
      if (AtOrBelow(key, tree)) return true;
    }
    if (values_.empty()) return false;
    const std::string value = Upper(ValueOf(line));
    for (const auto& entry : values_) {
      if (key == entry.first && value == entry.second) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> trees_;
  std::vector<std::pair<std::string, std::string>> values_;
};

// Lines of `after` not in `before`, and lines of `before` missing from `after`
// that `allowed` does not cover.
void CheckOnlyWithin(const std::set<std::string>& before, const std::set<std::string>& after,
                     const Scope& allowed, const std::string& what, Checker& check) {
  std::string added, removed;
  for (const std::string& line : after) {
    if (!before.count(line)) added += "\n  " + line;
  }
  for (const std::string& line : before) {
    if (!after.count(line) && !allowed.Covers(line)) removed += "\n  " + line;
  }
  check(added.empty(), what + ": appeared" + added);
  check(removed.empty(), what + ": went" + removed);
}

// ---- install ----------------------------------------------------------------------

constexpr const char* kPlugins = "Software\\Helvarin\\TideMark\\Plugins";

void InstallNeighbours() {
  sim::CreateKey(RootKey::Users, ".DEFAULT\\Software\\Helvarin\\TideMark\\Plugins");
  sim::PutString(RootKey::CurrentUser, kPlugins, "IEPlugin.dll", "user");
  sim::PutString(RootKey::LocalMachine, "Software\\Helvarin\\TideMarkX\\Plugins", "IEPlugin.dll",
                 "x");
  sim::PutString(RootKey::LocalMachine, "Software\\Other", "V", "1");
}

// The install writes one value and, when the key is missing, creates the
// keys on its path; nothing else changes. A failed create means no key and
// no value; a failed write means the key without the value; a failed close
// changes neither.
void CheckInstall(const std::function<void()>& seed, const Fault& fault, Checker& check) {
  const std::set<std::string> after = State();
  sim::Reset();
  seed();
  if (fault.function != "RegCreateKeyExA") {
    sim::CreateKey(RootKey::LocalMachine, kPlugins);
    if (fault.function != "RegSetValueExA") {
      sim::PutString(RootKey::LocalMachine, kPlugins, "IEPlugin.dll", " ");
    }
  }
  const std::set<std::string> expected = State();
  std::string missing, extra;
  for (const std::string& line : expected) {
    if (!after.count(line)) missing += "\n  " + line;
  }
  for (const std::string& line : after) {
    if (!expected.count(line)) extra += "\n  " + line;
  }
  check(missing.empty(), "missing after the install:" + missing);
  check(extra.empty(), "unexpected after the install:" + extra);
}

TEST(FaultSweep, Install) {
  Tally tally;
  const std::function<void()> existing = [] {
    InstallNeighbours();
    sim::PutValue(RootKey::LocalMachine, kPlugins, "iePlugin.DLL", 4, {7, 0, 0, 0});
    sim::PutString(RootKey::LocalMachine, kPlugins, "Other.dll", "keep");
    sim::CreateKey(RootKey::LocalMachine, std::string(kPlugins) + "\\Sub");
  };
  const std::function<void()> fresh = [] { InstallNeighbours(); };
  for (const auto& [name, seed] :
       {std::pair{"install over an existing plug-in list", existing},
        std::pair{"install on a machine without the product key", fresh}}) {
    Sweep({name, seed, [] { return CustomInstTMK(0); },
           [seed = seed](const std::vector<sim::Call>&, const Fault& fault, Checker& check) {
             CheckInstall(seed, fault, check);
           }},
          tally);
  }
  Report("install", tally);
}

// ---- pre-uninstall -------------------------------------------------------------------

constexpr DWORD kTimeLimitMs = 2000;
constexpr DWORD kPollMs = 50;

struct Windows {
  HWND older = nullptr;  // an agent window FindWindowA does not return
  HWND agent = nullptr;  // the newest: the one it returns
  HWND other = nullptr;  // another class
};
Windows theWindows;

void CheckPreUninstall(const Fault& fault, Checker& check) {
  const auto& journal = sim::Journal();
  const std::string agent = journal.empty() ? "" : journal[0].result;
  check(!journal.empty() && journal[0].function == "FindWindowA", "FindWindowA comes first");
  std::size_t finds = 0, posts = 0, windowChecks = 0;
  bool postFailed = false;
  std::string strayCalls;  // registry calls, or calls with other arguments
  for (std::size_t i = 0; i < journal.size(); ++i) {
    const sim::Call& call = journal[i];
    bool expected = !IsRegistryCall(call.function);
    if (call.function == "FindWindowA") ++finds;
    if (call.function == "PostMessageA") {
      ++posts;
      expected = expected && call.args == Lines{agent, "16", "0", "0"};
      postFailed = i + 1 == fault.position;
    }
    if (call.function == "IsWindow") {
      ++windowChecks;
      expected = expected && call.args == Lines{agent};
    }
    if (call.function == "Sleep") expected = expected && call.args == Lines{"50"};
    if (!expected) strayCalls += "\n  " + call.Text();
  }
  check(strayCalls.empty(), "unexpected calls:" + strayCalls);
  check(finds == 1, "looked the window up " + std::to_string(finds) + " times");
  if (fault.function == "FindWindowA") {
    check(journal.size() == 1, "went on without a window");
  } else {
    check(posts == 1, std::to_string(posts) + " posts");
    check(windowChecks >= 1, "no check after the post");
  }
  // Only the found window ever hears anything, and at most one WM_CLOSE.
  check(sim::MessagesTo(theWindows.older).empty(), "the older agent window got a message");
  check(sim::MessagesTo(theWindows.other).empty(), "another window got a message");
  const std::vector<UINT> heard = sim::MessagesTo(theWindows.agent);
  check(heard.size() <= 1 && (heard.empty() || heard[0] == WM_CLOSE), "messages to the agent");
  // A failed post leads into the same wait, which the window outlives.
  if (postFailed) {
    check(heard.empty(), "a failed post was delivered");
    check(sim::ElapsedMs() >= kTimeLimitMs, "a failed post cut the wait short");
  }
  // The wait ends only where the rules end it: the window gone (or reported
  // gone), or a tick reading at the limit; never later than one poll past it.
  check(sim::ElapsedMs() <= kTimeLimitMs + kPollMs, "waited too long");
  if (journal.empty()) return;  // reported above
  const sim::Call& last = journal.back();
  const bool endedByRule =
      (last.function == "FindWindowA" && last.result == "null") ||
      (last.function == "IsWindow" && last.result == "0") ||
      (last.function == "GetTickCount" && sim::ElapsedMs() >= kTimeLimitMs);
  check(endedByRule, "ended after " + last.Text());
}

TEST(FaultSweep, PreUninstall) {
  Tally tally;
  struct Agent {
    const char* name;
    sim::AgentReply reply;
    DWORD delayMs;
  };
  for (const Agent& a : {Agent{"pre-uninstall, agent closes after 120 ms",
                               sim::AgentReply::AfterDelay, 120},
                         Agent{"pre-uninstall, agent never closes", sim::AgentReply::Never, 0}}) {
    const auto seed = [a] {
      sim::SetTickCount(0xFFFFFC00u);  // the counter wraps during the wait
      theWindows.older = sim::AddWindow("VLD_CLASS");
      sim::SetAgent(theWindows.older, sim::AgentReply::AtOnce);
      theWindows.agent = sim::AddWindow("VLD_CLASS");
      sim::SetAgent(theWindows.agent, a.reply, a.delayMs);
      theWindows.other = sim::AddWindow("OTHER_CLASS");
    };
    Sweep({a.name, seed, [] { return PreUninsTMK(0); },
           [](const std::vector<sim::Call>&, const Fault& fault, Checker& check) {
             CheckPreUninstall(fault, check);
           }},
          tally);
  }
  Report("pre-uninstall", tally);
}

// ---- uninstall -----------------------------------------------------------------------

// Everything the expected plan may delete: its trees and values in every
// hive, its trees below the current user and below the machine.
Scope WholePlan() {
  using plan::Kind;
  Scope scope;
  for (const plan::Step& step : plan::kSteps) {
    const std::string path = step.path;
    switch (step.kind) {
      case Kind::TreeInEachHive:
      case Kind::ValueInEachHive:
        for (const std::string& hive : sim::SubkeyNames(RootKey::Users, "")) {
          // The hive suffix brings its own backslash.
          if (step.kind == Kind::TreeInEachHive) {
            scope.AddTree("HKU\\" + hive + path);
          } else {
            scope.AddValue("HKU\\" + hive + path, step.valueName);
          }
        }
        break;
      case Kind::TreeUnderCurrentUser:
        scope.AddTree("HKU\\" + std::string(sim::kDefaultCurrentUser) + "\\" + path);
        break;
      case Kind::TreeUnderMachine:
        scope.AddTree("HKLM\\" + path);
        break;
    }
  }
  return scope;
}

// One piece of the plan's work: a tree or value deletion at one place, begun
// by opening a key straight below a root.
struct Unit {
  std::string root;      // HKLM, HKCU or HKU
  std::string path;      // as the module passed it
  int sweep = 0;         // which sweep made it (1-based); 0: a single-root step
  std::size_t hive = 0;  // the hive's index in that sweep
  bool value = false;    // a value deletion rather than a tree deletion
  std::size_t firstCall = 0;  // the position of its open
  // The same place of the same step; whether a value deletion was reached
  // depends on the open before it.
  bool operator==(const Unit& o) const {
    return root == o.root && path == o.path && sweep == o.sweep && hive == o.hive;
  }
};

// The journal split into its units, in order.
std::vector<Unit> Units(const std::vector<sim::Call>& journal) {
  std::vector<Unit> units;
  int sweep = 0;
  bool inSweep = false;
  std::size_t hive = 0;
  for (std::size_t i = 0; i < journal.size(); ++i) {
    const sim::Call& call = journal[i];
    if (call.function == "RegEnumKeyA") {
      if (call.Arg(1) == "0") ++sweep;
      hive = std::stoul(call.Arg(1));
      inSweep = call.result == "0";
    } else if (call.function == "RegOpenKeyExA" && IsRoot(call.Arg(0))) {
      const bool viaSweep = call.Arg(0) == "HKU" && inSweep;
      units.push_back(Unit{call.Arg(0), call.Arg(1).substr(1, call.Arg(1).size() - 2),
                           viaSweep ? sweep : 0, viaSweep ? hive : 0, false, i + 1});
      if (!viaSweep) inSweep = false;
    } else if (call.function == "RegDeleteValueA" && !units.empty()) {
      units.back().value = true;
    }
  }
  return units;
}

// The registry path of a unit as the dump names it.
std::string DumpPath(const Unit& unit) {
  if (unit.root == "HKCU") return "HKU\\" + std::string(sim::kDefaultCurrentUser) + "\\" + unit.path;
  return unit.root + "\\" + unit.path;
}

void AddToScope(const Unit& unit, const std::string& valueName, Scope& scope) {
  if (unit.value) {
    scope.AddValue(DumpPath(unit), valueName);
  } else {
    scope.AddTree(DumpPath(unit));
  }
}

// The value a value-deleting unit names, read from its RegDeleteValueA.
std::string ValueNameOf(const std::vector<sim::Call>& journal, const Unit& unit) {
  for (std::size_t i = unit.firstCall; i < journal.size(); ++i) {
    if (journal[i].function == "RegDeleteValueA") {
      return journal[i].Arg(1).substr(1, journal[i].Arg(1).size() - 2);
    }
    if (journal[i].function == "RegOpenKeyExA" && IsRoot(journal[i].Arg(0))) break;
  }
  return "";
}

struct UninstallBaseline {
  std::set<std::string> before;  // the fixture as seeded
  std::set<std::string> clean;   // after a run without faults
};
UninstallBaseline uninstallBaseline;

void CheckUninstall(const std::vector<sim::Call>& clean, const Fault& fault, Checker& check) {
  const std::set<std::string> after = State();
  const std::vector<Unit> cleanUnits = Units(clean);
  const std::vector<Unit> units = Units(sim::Journal());

  // Nothing outside the plan changed, and nothing appeared.
  CheckOnlyWithin(uninstallBaseline.before, after, WholePlan(), "outside the plan", check);

  // The fault cost at most the work it interrupted: what the faulted run left
  // beyond the clean run lies inside the tree or value being deleted when the
  // call failed, or, for a listing of HKEY_USERS, inside that sweep's targets
  // in the hives it no longer reached. Every later hive and step still ran.
  Scope interrupted;
  std::vector<Unit> expectedUnits = cleanUnits;
  if (fault.function == "RegEnumKeyA" &&
      check(sim::Journal().size() >= fault.position, "the faulted listing was never made")) {
    const sim::Call& listing = sim::Journal()[fault.position - 1];
    int sweep = 0;
    for (std::size_t i = 0; i < fault.position; ++i) {
      const sim::Call& call = sim::Journal()[i];
      if (call.function == "RegEnumKeyA" && call.Arg(1) == "0") ++sweep;
    }
    const std::size_t from = std::stoul(listing.Arg(1));
    expectedUnits.clear();
    for (const Unit& unit : cleanUnits) {
      if (unit.sweep == sweep && unit.hive >= from) {
        AddToScope(unit, ValueNameOf(clean, unit), interrupted);
      } else {
        expectedUnits.push_back(unit);
      }
    }
  } else if (fault.function != "MsiLocateComponentA") {
    // The unit the failed call belongs to: the last one begun at or before
    // it. Up to there the run matched the clean one, whose unit tells
    // whether it deletes a tree or a value.
    std::size_t current = units.size();
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (units[i].firstCall <= fault.position) current = i;
    }
    if (check(current < units.size() && current < cleanUnits.size(),
              "a registry call outside every step")) {
      AddToScope(cleanUnits[current], ValueNameOf(clean, cleanUnits[current]), interrupted);
    }
  }
  // Never more deleted than without the fault; anything more left behind
  // lies in the interrupted work.
  std::string deletedMore, leftElsewhere;
  for (const std::string& line : uninstallBaseline.clean) {
    if (!after.count(line)) deletedMore += "\n  " + line;
  }
  for (const std::string& line : after) {
    if (!uninstallBaseline.clean.count(line) && !interrupted.Covers(line)) {
      leftElsewhere += "\n  " + line;
    }
  }
  check(deletedMore.empty(), "deleted beyond the clean run:" + deletedMore);
  check(leftElsewhere.empty(), "left outside the interrupted work:" + leftElsewhere);
  check(units == expectedUnits,
        "steps or hives skipped: " + std::to_string(units.size()) + " units, expected " +
            std::to_string(expectedUnits.size()));
}

TEST(FaultSweep, Uninstall) {
  Tally tally;
  sim::Reset();
  fx::SeedAll();
  uninstallBaseline.before = State();
  ASSERT_EQ(UninstallTMK(0), 0u);
  uninstallBaseline.clean = State();
  // The fixture must give the plan work everywhere, or the sweep proves little.
  ASSERT_EQ(Units(sim::Journal()).size(),
            plan::kSweepSteps * fx::UserHives().size() + plan::kSingleRootSteps);
  ASSERT_LT(uninstallBaseline.clean.size(), uninstallBaseline.before.size());

  Sweep({"uninstall", [] { fx::SeedAll(); }, [] { return UninstallTMK(0); }, CheckUninstall},
        tally);
  Report("uninstall", tally);
}

}  // namespace

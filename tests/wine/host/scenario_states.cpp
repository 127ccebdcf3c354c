// Runs every scenario of tests/scenarios/ on the stand-in with the product
// built for the host and prints, per scenario, the registry it starts from
// and the one it ends with, so that the same scenario can be replayed on a
// real registry and the two end states compared.
//
//   scenario_states
//
// Per scenario, tab-separated:
//   S  name  export  handle  current-user-hive  replay|skip  reason
//   B  K  path                             a key before the action
//   B  V  path  name  type  hex            a value before the action
//   A  ...                                 the same, after it
// Paths are written HKLM\... and HKU\<hive>\...; HKEY_CURRENT_USER is one
// of the hives. Skipped scenarios print no state.

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim.h"
#include "sim/state.h"
#include "tests/scenarios/scenarios.h"

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

std::size_t LongestName(const sim::Key& key) {
  std::size_t longest = key.name.size();
  for (const auto& entry : key.subkeys) {
    const std::size_t below = LongestName(*entry.second);
    if (below > longest) longest = below;
  }
  return longest;
}

bool HoldsLink(const sim::Key& key) {
  if (key.link) return true;
  return std::any_of(key.subkeys.begin(), key.subkeys.end(),
                     [](const auto& entry) { return HoldsLink(*entry.second); });
}

// Why a scenario cannot be replayed on a real registry, or "" if it can.
std::string Obstacle(const char* exportName) {
  const sim::State& s = sim::TheState();
  if (std::string(exportName) == "_PreUninsTMK@4") {
    return "acts on windows and the virtual tick counter, not on the registry";
  }
  if (!s.faults.empty() || s.failingCall) {
    return "needs an injected call failure";
  }
  for (const auto& entry : s.componentStates) {
    if (entry.second == INSTALLSTATE_LOCAL) {
      return "needs a guard component installed locally, which Wine's component "
             "query never reports";
    }
  }
  if (HoldsLink(*s.machine) || HoldsLink(*s.users)) {
    return "holds registry links, which this replay does not plant";
  }
  const std::size_t longest = std::max(LongestName(*s.machine), LongestName(*s.users));
  if (longest > 256) {
    return "holds a key name of " + std::to_string(longest) +
           " characters, which no registry accepts";
  }
  return "";
}

void PrintKey(const char* phase, RootKey root, const std::string& shown,
              const std::string& path) {
  std::printf("%s\tK\t%s\n", phase, shown.c_str());
  for (const std::string& name : sim::ValueNames(root, path)) {
    const auto value = sim::GetValue(root, path, name);
    std::printf("%s\tV\t%s\t%s\t%u\t%s\n", phase, shown.c_str(), name.c_str(),
                static_cast<unsigned>(value->type), Hex(value->bytes).c_str());
  }
  for (const std::string& child : sim::SubkeyNames(root, path)) {
    PrintKey(phase, root, shown + "\\" + child, path.empty() ? child : path + "\\" + child);
  }
}

// Every key and value below the two roots; the roots themselves are not
// keys that a scenario could create or delete.
void PrintState(const char* phase) {
  for (const auto& [root, name] : {std::pair{RootKey::LocalMachine, "HKLM"},
                                   std::pair{RootKey::Users, "HKU"}}) {
    for (const std::string& child : sim::SubkeyNames(root, "")) {
      PrintKey(phase, root, std::string(name) + "\\" + child, child);
    }
  }
}

}  // namespace

int main() {
  for (int i = 0; i < scenario_count(); ++i) {
    scenario_setup(i);
    const std::string obstacle = Obstacle(scenario_export(i));
    std::printf("S\t%s\t%s\t%u\t%s\t%s\t%s\n", scenario_name(i), scenario_export(i),
                scenario_install_handle(i), sim::TheState().currentUser.c_str(),
                obstacle.empty() ? "replay" : "skip", obstacle.c_str());
    if (!obstacle.empty()) continue;
    PrintState("B");
    scenario_run_native(i);
    PrintState("A");
  }
  std::fflush(stdout);
  return 0;
}

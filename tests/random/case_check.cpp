#include "tests/random/case_check.h"

#include <vector>

#include "actions/actions.h"
#include "registry/reg_key_handle.h"
#include "sim/sim.h"
#include "tests/expected_cleanup.h"

namespace randreg {
namespace {

using Lines = std::vector<std::string>;


std::string Clip(const std::string& line) {
  return line.size() > 160 ? line.substr(0, 157) + "..." : line;
}

// The first line where the two dumps part, with a little context.
std::string DumpDifference(const char* root, const Lines& module, const Lines& model) {
  if (module == model) return "";
  std::size_t i = 0;
  while (i < module.size() && i < model.size() && module[i] == model[i]) ++i;
  std::string text = std::string(root) + " differs at line " + std::to_string(i) + " (module " +
                     std::to_string(module.size()) + " lines, model " +
                     std::to_string(model.size()) + ")\n";
  for (std::size_t j = i; j < i + 3; ++j) {
    text += "  module: " + (j < module.size() ? Clip(module[j]) : "(end)") + "\n";
    text += "  model:  " + (j < model.size() ? Clip(model[j]) : "(end)") + "\n";
  }
  return text;
}

HKEY StartHandle(refmodel::Start start) {
  switch (start) {
    case refmodel::Start::CurrentUser:
      return HKEY_CURRENT_USER;
    case refmodel::Start::Machine:
      return HKEY_LOCAL_MACHINE;
    case refmodel::Start::Users:
      break;
  }
  return HKEY_USERS;
}

// The stand-in must hold exactly the case's registry before the module runs,
// or a difference afterwards would prove nothing.
std::string SeedDifference(const Case& c) {
  return DumpDifference("seeded HKLM", sim::Dump(RootKey::LocalMachine),
                        refmodel::Dump(c.registry.machine)) +
         DumpDifference("seeded HKU", sim::Dump(RootKey::Users),
                        refmodel::Dump(c.registry.users));
}

std::string EndDifference(const refmodel::Registry& model) {
  std::string text =
      DumpDifference("HKLM", sim::Dump(RootKey::LocalMachine), refmodel::Dump(model.machine)) +
      DumpDifference("HKU", sim::Dump(RootKey::Users), refmodel::Dump(model.users));
  if (!sim::OpenHandles().empty()) {
    text += std::to_string(sim::OpenHandles().size()) + " keys left open\n";
  }
  if (sim::BadCloses() != 0) text += std::to_string(sim::BadCloses()) + " bad closes\n";
  return text;
}

std::string Report(const Case& c, const std::string& difference) {
  return difference.empty() ? "" : difference + Describe(c);
}

}  // namespace

std::string CheckTreeDeletion(const Case& c) {
  SeedStandIn(c.registry);
  if (std::string seeded = SeedDifference(c); !seeded.empty()) return Report(c, seeded);

  const LONG result = DeleteTreeUnderRoot(StartHandle(c.treeStart), c.treePath.c_str());
  refmodel::Registry model = c.registry;
  const std::int32_t expected = refmodel::DeleteTree(model, c.treeStart, c.treePath);

  std::string difference = EndDifference(model);
  if (result != expected) {
    difference = "result " + std::to_string(result) + ", model " + std::to_string(expected) +
                 "\n" + difference;
  }
  return Report(c, difference);
}

std::string CheckUninstall(const Case& c) {
  SeedStandIn(c.registry);
  if (std::string seeded = SeedDifference(c); !seeded.empty()) return Report(c, seeded);
  for (int i = 0; i < 2; ++i) {
    sim::SetComponentState(expected_cleanup::kGuardComponents[i], c.guardStates[i]);
  }

  const UINT result = UninstallTMK(0);
  refmodel::Registry model = c.registry;
  refmodel::Uninstall(model, c.guardStates[0], c.guardStates[1]);

  std::string difference = EndDifference(model);
  if (result != 0) difference = "result " + std::to_string(result) + "\n" + difference;
  return Report(c, difference);
}

}  // namespace randreg

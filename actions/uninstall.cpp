// Uninstall: removes the registry traces of the product, its keep-alive agent
// and its viewer from the machine, the current user and every loaded user
// hive, unless a guard component is still installed here.

#include "actions/actions.h"
#include "actions/cleanup_plan.h"
#include "registry/reg_key_handle.h"
#include "registry/user_hive_sweep.h"

namespace {

// Only "installed locally" holds the cleanup back. A component that runs
// from its source, is absent, is unknown or whose query fails does not.
bool AnyGuardInstalledLocally() {
  for (const char* component : GuardComponents) {
    // No path buffer and no length: only the state is wanted.
    if (MsiLocateComponentA(component, nullptr, nullptr) ==
        INSTALLSTATE_LOCAL) {
      return true;  // the second one is not asked about
    }
  }
  return false;
}

// Every result is dropped: a step that finds nothing, or is refused, leaves
// what it could not delete and the next step follows.
void RunStep(const CleanupStep& step) {
  switch (step.operation) {
    case CleanupOperation::DeleteTreeInAllUserHives:
      DeleteTreeInAllUserHives(step.path);
      break;
    case CleanupOperation::DeleteValueInAllUserHives:
      DeleteValueInAllUserHives(step.path, step.valueName);
      break;
    case CleanupOperation::DeleteTreeUnderRoot:
      DeleteTreeUnderRoot(RootHandle(step.root), step.path);
      break;
  }
}

}  // namespace

extern "C" UINT INST_WINAPI UninstallTMK(MSIHANDLE) {
  if (AnyGuardInstalledLocally()) return ERROR_SUCCESS;
  for (const CleanupStep& step : CleanupPlan) RunStep(step);
  return ERROR_SUCCESS;
}

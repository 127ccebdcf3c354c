// Install: enters the product's plug-in module in the plug-in list of the
// machine hive.

#include "actions/actions.h"
#include "registry/reg_key_handle.h"

namespace {
constexpr const char* kPluginListPath = "Software\\Helvarin\\TideMark\\Plugins";
constexpr const char* kPluginValueName = "IEPlugin.dll";
// One space: the plug-in host reads the entry's name, not its text.
constexpr const char* kPluginValueText = " ";
}  // namespace

extern "C" UINT INST_WINAPI CustomInstTMK(MSIHANDLE) {
  RegKeyHandle plugins;
  // One create makes any missing key on the path. Neither result is tested:
  // when the create fails the handle stays empty and the write changes nothing.
  plugins.Create(HKEY_LOCAL_MACHINE, kPluginListPath);
  plugins.SetStringValue(kPluginValueName, kPluginValueText);
  return ERROR_SUCCESS;
}

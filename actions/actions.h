#pragma once
// The three custom actions that the installer package calls by their
// decorated export names (_CustomInstTMK@4 and so on, see module/).
//
// Each takes the installation handle, never reads it, does its work on the
// calling thread and returns 0 whatever happened, so no failure here can
// stop an install or an uninstall.

#include "platform/win32.h"

extern "C" {
UINT INST_WINAPI CustomInstTMK(MSIHANDLE install);
UINT INST_WINAPI PreUninsTMK(MSIHANDLE install);
UINT INST_WINAPI UninstallTMK(MSIHANDLE install);
}

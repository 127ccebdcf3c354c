// Before uninstall: asks the keep-alive agent to close.

#include "actions/actions.h"

extern "C" UINT INST_WINAPI PreUninsTMK(MSIHANDLE) { return ERROR_SUCCESS; }

// Uninstall: removes the product's registry traces.

#include "actions/actions.h"

extern "C" UINT INST_WINAPI UninstallTMK(MSIHANDLE) { return ERROR_SUCCESS; }

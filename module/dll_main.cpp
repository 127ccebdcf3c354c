// The module's entry point. There is nothing to set up or tear down, per
// process or per thread, so no notification is ever refused.

#include "platform/win32.h"

extern "C" BOOL INST_WINAPI DllMain(HINSTANCE, DWORD, void*) { return TRUE; }

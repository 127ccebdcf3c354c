// The registry cases on a real registry: the scratch key is removed before
// each case, and at the end, with the platform's own tree deletion.

#include <initializer_list>

#include "tests/wine/tools/case_scratch.h"

// advapi32's tree deletion; the cases never call it, so platform/win32.h
// does not declare it.
extern "C" INST_IMPORT LONG INST_WINAPI RegDeleteTreeA(HKEY key, const char* path);

namespace cases {

void ClearScratch() {
  for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
    RegDeleteTreeA(RootHandle(root), kScratch);
    RegDeleteKeyA(RootHandle(root), kScratch);
  }
}

}  // namespace cases

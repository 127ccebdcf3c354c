// The registry cases on the stand-in: each case starts from a fresh one, and
// links are planted with the stand-in's own seeding, under its default rule
// for following them (Windows').

#include "sim/sim.h"
#include "tests/wine/tools/case_scratch.h"

namespace cases {

void ClearScratch() { sim::Reset(); }

LONG MakeLink(RootKey root, const std::string& path, RootKey targetRoot,
              const std::string& targetPath) {
  sim::CreateLink(root, path, targetRoot, targetPath);
  return ERROR_SUCCESS;
}

}  // namespace cases

// The registry cases on the stand-in: each case starts from a fresh one.

#include "sim/sim.h"
#include "tests/wine/tools/case_scratch.h"

namespace cases {

void ClearScratch() { sim::Reset(); }

}  // namespace cases

// libFuzzer target: the input bytes choose a registry, its refusals, the
// guard states and a tree to delete; the module's tree deletion and its whole
// uninstall must then leave exactly what the reference model leaves. Any
// difference aborts with an account of the case.

#include <cstdio>
#include <cstdlib>

#include "tests/random/case_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  randreg::BytesEntropy entropy(data, size);
  const randreg::Case c = randreg::Generate(entropy);
  for (auto check : {randreg::CheckTreeDeletion, randreg::CheckUninstall}) {
    const std::string difference = check(c);
    if (!difference.empty()) {
      std::fprintf(stderr, "module and model differ:\n%s\n", difference.c_str());
      std::abort();
    }
  }
  return 0;
}

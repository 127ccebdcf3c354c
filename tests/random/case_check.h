#pragma once
// Runs one random case through the module on the stand-in and through the
// reference model, and compares what each returns and leaves behind.

#include <string>

#include "tests/random/registry_generator.h"

namespace randreg {

// The case's single tree deletion (DeleteTreeUnderRoot). Returns "" when the
// module and the model agree on the result and on the whole registry after
// it, and no key is left open or closed twice; otherwise what differs.
std::string CheckTreeDeletion(const Case& c);
// The whole uninstall action, with the case's guard component states.
std::string CheckUninstall(const Case& c);

}  // namespace randreg

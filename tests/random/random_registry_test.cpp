// Random registries, the module against the reference model: the same seeds
// on every run, so a failure names the seed that reproduces it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tests/random/case_check.h"
#include "tests/expected_cleanup.h"
#include "tests/random/reference_model.h"

namespace {

constexpr std::uint64_t kFirstSeed = 1;
// AddressSanitizer makes each case several times slower; there the point is
// memory errors, which half the cases show as well as all of them.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kCases = 750;
#else
constexpr int kCases = 1500;
#endif
// Enough failures to see a pattern; more only repeat it.
constexpr int kReportedFailures = 3;

// Runs `check` on the cases of kCases seeds and fails with the first few
// differences. `kind` sorts each case by what the model expects of it, to
// show that the cases reach every outcome and not one alone.
template <typename Check, typename Kind>
void RunCases(const char* what, Check check, Kind kind) {
  int failures = 0;
  std::map<std::string, int> kinds;
  for (int i = 0; i < kCases; ++i) {
    const std::uint64_t seed = kFirstSeed + static_cast<std::uint64_t>(i);
    randreg::SeededEntropy entropy(seed);
    const randreg::Case c = randreg::Generate(entropy);
    ++kinds[kind(c)];
    const std::string difference = check(c);
    if (difference.empty()) continue;
    if (++failures <= kReportedFailures) {
      ADD_FAILURE() << what << ", seed " << seed << ":\n" << difference;
    }
  }
  std::printf("[ random   ] %s: %d cases, %d differed from the model;", what, kCases,
              failures);
  for (const auto& [name, count] : kinds) std::printf(" %s %d", name.c_str(), count);
  std::printf("\n");
  ::testing::Test::RecordProperty("cases", kCases);
  ::testing::Test::RecordProperty("differences", failures);
  EXPECT_EQ(failures, 0);
}

// What the model expects: the tree deletion's result, and whether some but
// not all of the tree went.
std::string TreeKind(const randreg::Case& c) {
  refmodel::Registry model = c.registry;
  const std::int32_t result = refmodel::DeleteTree(model, c.treeStart, c.treePath);
  const bool changed = refmodel::Dump(model.machine) != refmodel::Dump(c.registry.machine) ||
                       refmodel::Dump(model.users) != refmodel::Dump(c.registry.users);
  return "result=" + std::to_string(result) + (result != 0 && changed ? "/partial" : "");
}

// The longest hive suffix of the expected plan.
std::size_t LongestSuffix() {
  std::size_t longest = 0;
  for (const expected_cleanup::Step& step : expected_cleanup::kSteps) {
    if (expected_cleanup::IsSweep(step.kind)) longest = std::max(longest, std::strlen(step.path));
  }
  return longest;
}

// Whether the guard held the uninstall back; otherwise whether refusals, and
// hives whose name and longest suffix need more than 260 characters, stand in
// the plan's way.
std::string UninstallKind(const randreg::Case& c) {
  using expected_cleanup::kInstalledLocally;
  if (c.guardStates[0] == kInstalledLocally || c.guardStates[1] == kInstalledLocally) {
    return "guarded";
  }
  std::string kind = "plan";
  if (!c.registry.refusals.empty()) kind += "+refusals";
  for (const refmodel::Key& hive : c.registry.users.subkeys) {
    if (hive.name.size() + LongestSuffix() + 1 > 260) {
      kind += "+long-hive";
      break;
    }
  }
  return kind;
}

TEST(RandomRegistries, TreeDeletionMatchesTheModel) {
  RunCases("tree deletion", randreg::CheckTreeDeletion, TreeKind);
}

TEST(RandomRegistries, UninstallMatchesTheModel) {
  RunCases("uninstall", randreg::CheckUninstall, UninstallKind);
}

}  // namespace

// The tree deletion's depth bound. Windows keeps a registry tree within 512
// levels, but the stand-in does not, so a deeper tree here stands for what a
// loop of registry links looks like to a depth-first walk.

#include <string>
#include <vector>

#include "registry/reg_key_handle.h"
#include "registry/user_hive_sweep.h"
#include "sim_fixture.h"

namespace {

using TreeDepthBound = SimTest;
using Lines = std::vector<std::string>;

// A chain of `levels` keys L1\L2\... below `top`, so the deepest key is
// `levels` deep. Beside each link of the chain but the deepest, a key "a"
// with a value, which lists before the next link (and is one level deeper
// than the link it hangs from). `top` has a key "z" beside L1, listed after
// it. Side keys are left out at chain depths below `sidesFrom`.
void SeedChain(RootKey root, const std::string& top, int levels, int sidesFrom = 0) {
  std::string path = top;
  sim::CreateKey(root, top + "\\z");
  for (int depth = 0; depth < levels; ++depth) {
    if (depth >= sidesFrom) sim::PutString(root, path + "\\a", "V", std::to_string(depth));
    path += "\\L" + std::to_string(depth + 1);
  }
  sim::CreateKey(root, path);
}

std::size_t Opened(const std::string& name) {
  std::size_t count = 0;
  for (const sim::Call& call : sim::Journal()) {
    if (call.function == "RegOpenKeyExA" && call.args.size() > 1 &&
        call.args[1] == "\"" + name + "\"") {
      ++count;
    }
  }
  return count;
}

// The key named by the caller is depth 0. Down to depth 512 everything is
// deleted; a key at depth 513 is never opened, and reaching one ends the
// whole deletion with ERROR_STACK_OVERFLOW once every side key above the
// bound is gone: the side key of depth 512 is the last one deleted.
TEST_F(TreeDepthBound, StopsBelowTheBoundAndKeepsWhatItDeleted) {
  struct Case {
    int levels;
    LONG result;
  };
  const std::string top = "Software\\T";
  for (const Case& c : {Case{511, ERROR_SUCCESS}, Case{512, ERROR_SUCCESS},
                        Case{513, ERROR_STACK_OVERFLOW}, Case{600, ERROR_STACK_OVERFLOW}}) {
    SCOPED_TRACE("chain of " + std::to_string(c.levels) + " levels");
    // What must be left: nothing of the tree, or the chain whole with only
    // the side keys from depth 512 on (those of depth 513 and below), and z.
    sim::Reset();
    sim::CreateKey(RootKey::LocalMachine, "Software\\Kept");
    if (c.result != ERROR_SUCCESS) SeedChain(RootKey::LocalMachine, top, c.levels, 512);
    const Lines expected = sim::Dump(RootKey::LocalMachine);
    sim::Reset();
    sim::CreateKey(RootKey::LocalMachine, "Software\\Kept");
    SeedChain(RootKey::LocalMachine, top, c.levels);

    EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, top.c_str()), c.result);

    EXPECT_EQ(sim::Dump(RootKey::LocalMachine), expected);
    EXPECT_EQ(Opened("L512"), c.levels >= 512 ? 1u : 0u);
    EXPECT_EQ(Opened("L513"), 0u);
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_EQ(sim::BadCloses(), 0u);
  }
}

// The bound belongs to one deletion: a tree stopped at the bound neither
// spares the next hive nor shortens the bound of the tree deleted after it.
TEST_F(TreeDepthBound, NextHiveIsCleanedAfterAStoppedOne) {
  const std::string suffix = "\\Software\\Helvarin\\VLD";
  const std::string first = ".DEFAULT", second = "S-1-5-21-1-2-3-1002";
  SeedChain(RootKey::Users, first + suffix, 600);
  SeedChain(RootKey::Users, second + suffix, 512);
  sim::PutString(RootKey::Users, second + "\\Software\\Helvarin", "Owner", second);

  EXPECT_EQ(DeleteTreeInAllUserHives(suffix.c_str()), 1);

  EXPECT_TRUE(sim::KeyExists(RootKey::Users, first + suffix + "\\L1\\L2"));
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, first + suffix + "\\a"));
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, second + suffix));
  EXPECT_EQ(sim::ValueNames(RootKey::Users, second + "\\Software\\Helvarin"),
            Lines{"Owner"});
  // Every hive was listed, the end of the list included.
  EXPECT_EQ(sim::JournalText("RegEnumKeyA").size(), 4u);
}

}  // namespace

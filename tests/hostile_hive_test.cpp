// Registry links planted where the elevated uninstall walks: loops, a cycle,
// a link into the machine hive and one that leads nowhere. Any user can make
// such a link in their own hive. Whatever a link does, the action returns 0,
// the tree that holds it stops at the first failure (at the depth bound for a
// loop), every other step and hive is cleaned, and no key is left open.

#include <algorithm>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "sim_fixture.h"
#include "uninstall_fixture.h"

namespace {

namespace fx = uninstall_fixture;
using HostileHives = SimTest;

const std::string kDefault = ".DEFAULT";
const std::string kOther = "S-1-5-21-1-2-3-1002";
const std::string kProduct = "Software\\Helvarin\\TideMark";
const std::string kAgent = "Software\\Helvarin\\VLD";
const std::string kViewer = "Software\\Helvarin\\Tide Mark Viewer";

struct Link {
  RootKey root;
  std::string path;
  RootKey targetRoot;
  std::string targetPath;
};

struct Case {
  const char* what;
  sim::LinkPolicy policy;
  std::vector<Link> links;
  // Where the trees with links are: a hive under HKEY_USERS, or "" for the
  // machine hive. There, these planned keys stay with their values...
  std::string hive;
  std::vector<std::string> keptKeys;
  // ...and these planned trees stay whole: they list after the link.
  std::vector<std::string> keptTrees;
  // Neighbours in the machine hive that a followed link takes with it.
  std::vector<std::string> lostMachineKeys;
  bool loops;  // the links make a loop, so the tree stops at the depth bound
};

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool Survives(const Case& c, const fx::Entry& entry, const std::string& hive) {
  if (!fx::Planned(entry, hive)) {
    return hive != "" || !Contains(c.lostMachineKeys, entry.path);
  }
  if (hive != c.hive) return false;
  if (Contains(c.keptKeys, entry.path)) return true;
  return std::any_of(c.keptTrees.begin(), c.keptTrees.end(),
                     [&](const std::string& tree) { return fx::Under(entry.path, tree); });
}

void PlantLinks(const Case& c) {
  for (const Link& link : c.links) {
    sim::CreateLink(link.root, link.path, link.targetRoot, link.targetPath);
  }
}

// The most keys held open at once, read from the journal.
std::size_t PeakOpenKeys() {
  std::size_t open = 0, peak = 0;
  for (const sim::Call& call : sim::Journal()) {
    if (call.function == "RegOpenKeyExA" && call.result == "0") {
      peak = std::max(peak, ++open);
    } else if (call.function == "RegCloseKey" && !call.args.empty() &&
               call.args[0][0] == 'h' && call.result == "0") {
      --open;
    }
  }
  return peak;
}

std::vector<Case> Cases() {
  using P = sim::LinkPolicy;
  const auto U = RootKey::Users;
  const auto M = RootKey::LocalMachine;
  const std::string otherProduct = kOther + "\\" + kProduct;
  const std::string defaultProduct = kDefault + "\\" + kProduct;
  const std::string otherAgent = kOther + "\\" + kAgent;
  return {
      // Settings -> Window -> zloop = Settings -> ...: Cache and Recent go
      // first; Toolbar lists after Settings and is never reached.
      {"self-loop under a sweep's tree", P::RefuseCrossHive,
       {{U, otherProduct + "\\Settings\\Window\\zloop", U, otherProduct + "\\Settings"}},
       kOther, {kProduct, kProduct + "\\Settings", kProduct + "\\Settings\\Window"},
       {kProduct + "\\Toolbar"}, {}, true},
      // Written as the user would, below HKEY_CURRENT_USER: met by the sweep
      // of step 1 and again by step 3.
      {"self-loop under a current-user step", P::RefuseCrossHive,
       {{RootKey::CurrentUser, kAgent + "\\State\\zloop", RootKey::CurrentUser, kAgent}},
       fx::kCurrentUser, {kAgent, kAgent + "\\State"}, {}, {}, true},
      {"self-loop under the machine product key", P::RefuseCrossHive,
       {{M, kProduct + "\\Plugins\\zloop", M, kProduct}},
       "", {kProduct, kProduct + "\\Plugins"}, {}, {}, true},
      // Cache -> zc = Toolbar -> zt = Cache -> ...; Settings lists after Cache.
      {"two-key cycle", P::RefuseCrossHive,
       {{U, defaultProduct + "\\Cache\\zc", U, defaultProduct + "\\Toolbar"},
        {U, defaultProduct + "\\Toolbar\\zt", U, defaultProduct + "\\Cache"}},
       kDefault, {kProduct, kProduct + "\\Cache", kProduct + "\\Toolbar"},
       {kProduct + "\\Settings"}, {}, true},
      // Refused: the agent's tree stops at the link. Followed: the machine
      // key goes through the link, early but as planned, and the link left
      // leading nowhere then stops the tree all the same.
      {"link into a planned machine key, refused", P::RefuseCrossHive,
       {{U, otherAgent + "\\State\\zm", M, "Software\\Helvarin\\Harbor Kit"}},
       kOther, {kAgent, kAgent + "\\State"}, {}, {}, false},
      {"link into a planned machine key, followed", P::FollowAll,
       {{U, otherAgent + "\\State\\zm", M, "Software\\Helvarin\\Harbor Kit"}},
       kOther, {kAgent, kAgent + "\\State"}, {}, {}, false},
      // The same with a machine key the plan keeps. Windows refuses the link;
      // where links are followed (Wine), the uninstall deletes that key.
      {"link into a kept machine key, refused", P::RefuseCrossHive,
       {{U, otherAgent + "\\State\\zm", M, "Software\\Helvarin\\Other"}},
       kOther, {kAgent, kAgent + "\\State"}, {}, {}, false},
      {"link into a kept machine key, followed", P::FollowAll,
       {{U, otherAgent + "\\State\\zm", M, "Software\\Helvarin\\Other"}},
       kOther, {kAgent, kAgent + "\\State"}, {}, {"Software\\Helvarin\\Other"}, false},
      {"dangling link", P::RefuseCrossHive,
       {{U, kDefault + "\\" + kViewer + "\\MRU\\zgone", U,
         kDefault + "\\Software\\Helvarin\\Gone"}},
       kDefault, {kViewer, kViewer + "\\MRU"}, {}, {}, false},
  };
}

TEST_F(HostileHives, UninstallSurvivesLinksAndCleansEverythingElse) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    const fx::Snapshot expected = [&] {
      sim::Reset();
      fx::Seed([&](const fx::Entry& entry, const std::string& hive) {
        return Survives(c, entry, hive);
      });
      PlantLinks(c);
      return fx::Take();
    }();
    sim::Reset();
    fx::SeedAll();
    PlantLinks(c);
    sim::SetLinkPolicy(c.policy);

    EXPECT_EQ(UninstallTMK(0), 0u);

    EXPECT_EQ(fx::Take(), expected);
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_EQ(sim::BadCloses(), 0u);
    // A loop is followed down to the bound and no further: the key named by
    // the step and the 512 levels below it are open at once.
    if (c.loops) {
      EXPECT_EQ(PeakOpenKeys(), 513u);
    } else {
      EXPECT_LT(PeakOpenKeys(), 8u);
    }
  }
}

}  // namespace

// bench uninstall DLL: the whole uninstall action against a plain peer.
//
// Seeds user hives under HKEY_USERS (they live only as long as the
// wineserver, which bench.sh keeps running), each holding every tree that
// the cleanup plan deletes in a user hive, at a given number of keys, and
// the two values it deletes there; the machine hive gets the plan's two
// trees too. Then it times, alternately and with a fresh seed before every
// run:
//   ours  the module's _UninstallTMK@4, loaded from the x64 build
//   peer  the same twelve deletions written plainly with RegDeleteTreeA and
//         RegDeleteValueA, after the same two component queries
// Every run must leave exactly the expected registry behind, or the run
// fails.

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace {

constexpr char kBench[] = "uninstall";

constexpr const char* kGuards[] = {"{6D2E9B47-3C81-4F0A-A5D2-7E19B4C06F83}",
                                   "{C43F7A19-E25D-4B68-9F03-1A8E6D72B5C4}"};

// The trees the plan deletes in every user hive, and under the two roots.
constexpr const char* kUserTrees[] = {
    "Software\\Helvarin\\VLD", "Software\\Helvarin\\TideMark",
    "Software\\Helvarin\\Tide Mark Viewer", "Software\\Helvarin\\Brightmoor"};
constexpr const char* kMachineTrees[] = {"Software\\Helvarin\\TideMark",
                                         "Software\\Helvarin\\Harbor Kit"};
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kIntroKey[] = "Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs";
constexpr char kOtherRunValue[] = "BenchOtherTool";

struct Setup {
  std::vector<std::string> hives;
  int keys_per_tree = 200;
};

std::string HivePath(const std::string& hive, const char* path) { return hive + "\\" + path; }

bool HasValue(HKEY root, const std::string& path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const LONG status = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// Returns the number of keys that the plan will delete.
int Seed(const Setup& setup) {
  const int fanout = 8;
  int keys = 0;
  for (const std::string& hive : setup.hives) {
    for (const char* tree : kUserTrees) {
      const bool suite = std::strcmp(tree, "Software\\Helvarin\\Brightmoor") == 0;
      // The suite key's tree holds the intro key with the viewer's value as
      // one of its keys.
      keys += bench::CreateFannedTree(HKEY_USERS, HivePath(hive, tree).c_str(),
                                      setup.keys_per_tree - (suite ? 1 : 0), fanout);
    }
    HKEY intro = bench::CreateKey(HKEY_USERS, HivePath(hive, kIntroKey).c_str());
    bench::SetString(intro, "Tide Mark Viewer", "1");
    bench::SetString(intro, "Another Viewer", "1");
    RegCloseKey(intro);
    ++keys;
    HKEY run = bench::CreateKey(HKEY_USERS, HivePath(hive, kRunKey).c_str());
    bench::SetString(run, "HelKeepAlive", "C:\\Program Files\\Helvarin\\keepalive.exe");
    bench::SetString(run, kOtherRunValue, "C:\\Program Files\\Other\\tool.exe");
    RegCloseKey(run);
  }
  for (const char* tree : kMachineTrees) {
    keys += bench::CreateFannedTree(HKEY_LOCAL_MACHINE, tree, setup.keys_per_tree, fanout);
  }
  return keys;
}

void CheckCleaned(const Setup& setup, const char* who) {
  for (const std::string& hive : setup.hives) {
    for (const char* tree : kUserTrees) {
      if (bench::KeyExists(HKEY_USERS, HivePath(hive, tree).c_str())) {
        bench::Fail("%s left HKU\\%s\\%s", who, hive.c_str(), tree);
      }
    }
    const std::string run = HivePath(hive, kRunKey);
    if (HasValue(HKEY_USERS, run, "HelKeepAlive")) {
      bench::Fail("%s left HelKeepAlive in HKU\\%s", who, run.c_str());
    }
    if (!HasValue(HKEY_USERS, run, kOtherRunValue)) {
      bench::Fail("%s deleted another value of HKU\\%s", who, run.c_str());
    }
    if (!bench::KeyExists(HKEY_USERS, HivePath(hive, "Software\\Helvarin").c_str())) {
      bench::Fail("%s deleted the maker's key in HKU\\%s", who, hive.c_str());
    }
  }
  for (const char* tree : kMachineTrees) {
    if (bench::KeyExists(HKEY_LOCAL_MACHINE, tree)) bench::Fail("%s left HKLM\\%s", who, tree);
  }
}

// The peer: the same plan, step for step, in plain Win32.
void PeerSweepTree(const char* suffix) {
  char hive[MAX_PATH];
  for (DWORD index = 0; RegEnumKeyA(HKEY_USERS, index, hive, MAX_PATH) == ERROR_SUCCESS;
       ++index) {
    char path[MAX_PATH];
    if (std::snprintf(path, sizeof path, "%s%s", hive, suffix) >= MAX_PATH) continue;
    RegDeleteTreeA(HKEY_USERS, path);
  }
}

void PeerSweepValue(const char* suffix, const char* value) {
  char hive[MAX_PATH];
  for (DWORD index = 0; RegEnumKeyA(HKEY_USERS, index, hive, MAX_PATH) == ERROR_SUCCESS;
       ++index) {
    char path[MAX_PATH];
    if (std::snprintf(path, sizeof path, "%s%s", hive, suffix) >= MAX_PATH) continue;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, path, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
      RegDeleteValueA(key, value);
      RegCloseKey(key);
    }
  }
}

UINT WINAPI PeerUninstall(MSIHANDLE) {
  for (const char* guard : kGuards) {
    if (MsiLocateComponentA(guard, nullptr, nullptr) == INSTALLSTATE_LOCAL) return 0;
  }
  PeerSweepTree("\\Software\\Helvarin\\VLD");
  PeerSweepValue("\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "HelKeepAlive");
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Helvarin\\VLD");
  PeerSweepTree("\\Software\\Helvarin\\TideMark");
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Helvarin\\TideMark");
  PeerSweepValue("\\Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs", "Tide Mark Viewer");
  PeerSweepTree("\\Software\\Helvarin\\Tide Mark Viewer");
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Helvarin\\Tide Mark Viewer");
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Helvarin\\TideMark");
  PeerSweepTree("\\Software\\Helvarin\\Brightmoor");
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Helvarin\\Brightmoor");
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Helvarin\\Harbor Kit");
  return 0;
}

double TimedRun(const Setup& setup, const char* who, bench::CustomAction action, int* keys) {
  *keys = Seed(setup);
  const double start = bench::NowMs();
  const UINT result = action(0);
  const double elapsed = bench::NowMs() - start;
  if (result != 0) bench::Fail("%s returned %u", who, result);
  CheckCleaned(setup, who);
  return elapsed;
}

int CountHives() {
  char name[MAX_PATH];
  DWORD index = 0;
  while (RegEnumKeyA(HKEY_USERS, index, name, MAX_PATH) == ERROR_SUCCESS) ++index;
  return static_cast<int>(index);
}

}  // namespace

int UninstallBench(int argc, char** argv) {
  const char* dll = nullptr;
  int hives = 20;
  int rounds = 5;
  Setup setup;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--hives") == 0 && i + 1 < argc) {
      hives = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--keys") == 0 && i + 1 < argc) {
      setup.keys_per_tree = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (dll == nullptr && argv[i][0] != '-') {
      dll = argv[i];
    } else {
      dll = nullptr;
      break;
    }
  }
  if (dll == nullptr || hives < 1 || rounds < 1 || setup.keys_per_tree < 2) {
    bench::Fail("usage: bench uninstall DLL [--hives N] [--keys N] [--rounds N]");
  }

  const bench::CustomAction ours = bench::LoadAction(dll, "_UninstallTMK@4");

  const int hives_before = CountHives();
  for (int i = 0; i < hives; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "S-1-5-21-1000-2000-3000-%d", 1001 + i);
    setup.hives.push_back(name);
  }
  int keys = Seed(setup);
  const int hives_seen = CountHives();
  if (hives_seen != hives_before + hives) {
    bench::Fail("HKEY_USERS lists %d hives after seeding %d new ones to %d", hives_seen, hives,
                hives_before);
  }
  std::printf("uninstall: %d seeded hives of %d under HKEY_USERS, %d keys per tree, "
              "%d keys deleted per run\n",
              hives, hives_seen, setup.keys_per_tree, keys);
  std::fflush(stdout);

  // One untimed run each first.
  TimedRun(setup, "ours", ours, &keys);
  TimedRun(setup, "peer", PeerUninstall, &keys);

  std::vector<double> ours_ms, peer_ms;
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      ours_ms.push_back(TimedRun(setup, "ours", ours, &keys));
      peer_ms.push_back(TimedRun(setup, "peer", PeerUninstall, &keys));
    } else {
      peer_ms.push_back(TimedRun(setup, "peer", PeerUninstall, &keys));
      ours_ms.push_back(TimedRun(setup, "ours", ours, &keys));
    }
  }
  bench::Samples(kBench, "ours_ms", ours_ms);
  bench::Samples(kBench, "peer_ms", peer_ms);
  bench::Result(kBench, "hives", hives);
  bench::Result(kBench, "hives_listed", hives_seen);
  bench::Result(kBench, "keys_per_tree", setup.keys_per_tree);
  bench::Result(kBench, "keys_deleted", keys);
  bench::Result(kBench, "rounds", rounds);
  const double ours_median = bench::Median(ours_ms);
  const double peer_median = bench::Median(peer_ms);
  bench::Result(kBench, "ours_ms", ours_median);
  bench::Result(kBench, "peer_ms", peer_median);
  bench::Result(kBench, "ratio", ours_median / peer_median);
  return 0;
}

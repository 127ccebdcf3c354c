// bench tree: the module's tree deletion against the platform's own.
//
// Three tree shapes are generated below HKEY_CURRENT_USER, identical for
// every contender and rebuilt before every deletion, and each is deleted by
//   ours            DeleteTreeUnderRoot (the product's registry sources)
//   RegDeleteTreeA  advapi32
//   SHDeleteKeyA    shlwapi
// in one process. Each round deletes the tree once per contender, and the
// order of the contenders turns by one from round to round, so none always
// runs right after a rebuild or right after another deletion. Only the
// deletion call is timed; every deletion must report success and leave no
// key behind, or the run fails.
//
// Before the timed rounds, one run of ours on each shape is made with the
// registry calls counted (call_counter.h) and reported per deleted key.

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/call_counter.h"
#include "bench/ours.h"

namespace {

constexpr char kBench[] = "tree";
constexpr char kTree[] = "Software\\InstTMModBench\\tree";
constexpr std::uint32_t kCurrentUserCode = 0x80000001u;

using bench::CreateKey;

// Each builder fills the open, empty tree key and returns how many keys it
// created below it.
// `count` subkeys named `prefix` and a zero-padded number, all on one level.
int BuildFlat(HKEY tree, const char* prefix, int count) {
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%05d", prefix, i);
    RegCloseKey(CreateKey(tree, name));
  }
  return count;
}

int BuildWide(HKEY tree) { return BuildFlat(tree, "wide", 10000); }

int BuildDeep(HKEY tree) {
  HKEY level = tree;
  for (int depth = 1; depth <= 500; ++depth) {
    HKEY below = CreateKey(level, "level");
    if (level != tree) RegCloseKey(level);
    level = below;
  }
  RegCloseKey(level);
  return 500;
}

int BushyLevel(HKEY key, int levels_below) {
  bench::SetString(key, "name", "bushy");
  bench::SetDword(key, "size", 4096);
  if (levels_below == 0) return 0;
  int created = 0;
  for (int i = 0; i < 10; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "branch%d", i);
    HKEY child = CreateKey(key, name);
    created += 1 + BushyLevel(child, levels_below - 1);
    RegCloseKey(child);
  }
  return created;
}

int BuildBushy(HKEY tree) { return BushyLevel(tree, 4); }

struct Shape {
  const char* name;
  const char* description;
  int (*build)(HKEY tree);
};

const Shape kShapes[] = {
    {"wide", "one key with 10,000 subkeys", BuildWide},
    {"deep", "a chain of 500 levels below the key", BuildDeep},
    {"bushy", "10 x 10 x 10 x 10 below the key, two values on every key", BuildBushy},
};

// Builds the tree afresh; returns the number of keys in it, the named key
// included.
int BuildTree(const Shape& shape) {
  if (bench::KeyExists(HKEY_CURRENT_USER, kTree)) {
    const LONG status = RegDeleteTreeA(HKEY_CURRENT_USER, kTree);
    if (status != ERROR_SUCCESS) bench::Fail("clearing the old tree failed: %ld", status);
  }
  HKEY tree = CreateKey(HKEY_CURRENT_USER, kTree);
  const int keys = 1 + shape.build(tree);
  RegCloseKey(tree);
  return keys;
}

struct Contender {
  const char* name;
  LONG (*remove)();
};

LONG RemoveOurs() { return OursDeleteTreeUnderRoot(kCurrentUserCode, kTree); }
LONG RemoveRegDeleteTree() { return RegDeleteTreeA(HKEY_CURRENT_USER, kTree); }
LONG RemoveShDeleteKey() { return static_cast<LONG>(SHDeleteKeyA(HKEY_CURRENT_USER, kTree)); }

const Contender kContenders[] = {
    {"ours", RemoveOurs},
    {"RegDeleteTreeA", RemoveRegDeleteTree},
    {"SHDeleteKeyA", RemoveShDeleteKey},
};
constexpr int kContenderCount = sizeof kContenders / sizeof kContenders[0];

void CheckGone(const Contender& who, LONG status) {
  if (status != ERROR_SUCCESS) bench::Fail("%s reported %ld", who.name, status);
  if (bench::KeyExists(HKEY_CURRENT_USER, kTree)) {
    bench::Fail("%s reported success but the tree is still there", who.name);
  }
}

double TimedDeletion(const Shape& shape, const Contender& who) {
  BuildTree(shape);
  const double start = bench::NowMs();
  const LONG status = who.remove();
  const double elapsed = bench::NowMs() - start;
  CheckGone(who, status);
  return elapsed;
}

void CountOurCalls(const Shape& shape) {
  const int keys = BuildTree(shape);
  StartCountingPlatformCalls();
  const LONG status = RemoveOurs();
  const PlatformCallCounts counts = StopCountingPlatformCalls();
  CheckGone(kContenders[0], status);

  const std::string prefix = std::string(shape.name) + ".";
  bench::Result(kBench, prefix + "keys", keys);
  bench::Result(kBench, prefix + "calls_total", static_cast<double>(counts.Total()));
  bench::Result(kBench, prefix + "calls_per_key",
                static_cast<double>(counts.Total()) / keys);
  std::printf("  %s: %d keys; ours made %lld RegOpenKeyExA, %lld RegEnumKeyExA, "
              "%lld RegCloseKey, %lld RegDeleteKeyA, %lld other\n",
              shape.name, keys, static_cast<long long>(counts.open),
              static_cast<long long>(counts.enum_key), static_cast<long long>(counts.close),
              static_cast<long long>(counts.delete_key),
              static_cast<long long>(counts.Total() - counts.open - counts.enum_key -
                                     counts.close - counts.delete_key));
  // Per key the algorithm opens it once, lists it once per subkey plus the
  // final empty listing, closes it and deletes it; the root is closed once
  // at the end: N opens, 2N - 1 listings, N + 1 closes and N deletions,
  // 5N calls for N keys. Say so when the count disagrees.
  const long long expected = 5LL * keys;
  if (counts.Total() != expected || counts.open != keys || counts.delete_key != keys) {
    std::printf("  %s: counted %lld calls, the algorithm's arithmetic gives %lld\n",
                shape.name, static_cast<long long>(counts.Total()), expected);
  }
}

void RunShape(const Shape& shape, int rounds) {
  std::printf("%s: %s\n", shape.name, shape.description);
  std::fflush(stdout);
  CountOurCalls(shape);

  // One untimed deletion per contender first, so that none pays for the
  // first touch of the registry code paths.
  for (const Contender& who : kContenders) TimedDeletion(shape, who);

  std::vector<double> samples[kContenderCount];
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < kContenderCount; ++turn) {
      const int which = (round + turn) % kContenderCount;
      samples[which].push_back(TimedDeletion(shape, kContenders[which]));
    }
  }

  const std::string prefix = std::string(shape.name) + ".";
  double medians[kContenderCount];
  for (int i = 0; i < kContenderCount; ++i) {
    medians[i] = bench::Median(samples[i]);
    bench::Samples(kBench, prefix + kContenders[i].name + "_ms", samples[i]);
    bench::Result(kBench, prefix + kContenders[i].name + "_ms", medians[i]);
  }
  bench::Result(kBench, prefix + "rounds", rounds);
  bench::Result(kBench, prefix + "ratio_RegDeleteTreeA", medians[0] / medians[1]);
  bench::Result(kBench, prefix + "ratio_SHDeleteKeyA", medians[0] / medians[2]);
}

// Looks up a key that does not exist, by a name that the wineserver's trace
// of requests shows: the markers around one contender's deletion.
void Mark(const char* what, const char* who) {
  char name[96];
  std::snprintf(name, sizeof name, "InstTMModBench-mark-%s-%s", what, who);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, name, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
}

int BuildHundred(HKEY tree) { return BuildFlat(tree, "sub", 100); }

}  // namespace

// bench tree-requests: each contender deletes a key with 100 subkeys between
// two marker lookups, for a run against a wineserver started with -d1, whose
// trace shows every request the deletion made of it (bench/server_requests.py
// counts them). Prints the number of keys per deletion.
int TreeRequests(int, char**) {
  const Shape hundred{"hundred", "one key with 100 subkeys", BuildHundred};
  int keys = 0;
  for (const Contender& who : kContenders) {
    keys = BuildTree(hundred);
    Mark("start", who.name);
    const LONG status = who.remove();
    Mark("end", who.name);
    CheckGone(who, status);
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\InstTMModBench");
  bench::Result("requests", "keys", keys);
  return 0;
}

int TreeBench(int argc, char** argv) {
  int rounds = 5;
  const char* only = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--shape") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      bench::Fail("usage: bench tree [--rounds N] [--shape wide|deep|bushy]");
    }
  }
  if (rounds < 1) bench::Fail("--rounds must be at least 1");

  for (const Shape& shape : kShapes) {
    if (only == nullptr || std::strcmp(only, shape.name) == 0) RunShape(shape, rounds);
  }
  // Leave nothing of ours in the prefix.
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\InstTMModBench");
  return 0;
}

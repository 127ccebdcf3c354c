#pragma once
// A reference model of what the module's deletions leave behind, written
// independently of both the module's code and the stand-in: it works on a
// plain tree of its own, answers every question (listing order, refusals,
// name limits) by itself, takes the uninstall's steps from the tests' own
// table (tests/expected_cleanup.h), and prints its end state in the same line
// format as sim::Dump so the two can be compared.
//
// The rules it follows:
// - names compare without regard to case (ASCII letters folded to upper
//   case), and subkeys list in that order;
// - a tree is deleted depth first in post-order, the first subkey in listing
//   order first, and the first failure at any depth ends the whole deletion:
//   the key it happened at and every key above it up to the named one stay,
//   as does every subkey not reached yet;
// - a subkey whose name needs more than the 256-character name buffer (255
//   characters and the NUL) cannot be listed, so its parent cannot be
//   emptied, and the parent's deletion is tried and refused;
// - a key directly below a root (a hive) is never deleted;
// - an open refusal hits only the key being opened, not the keys on the way
//   to it; a delete refusal hits the deletion of that key;
// - the sweeps visit every hive under HKEY_USERS in listing order; a hive
//   name that needs more than 260 characters with its NUL ends the sweep; a
//   hive whose name, suffix and NUL need more than 260 characters is skipped;
//   refused listing of HKEY_USERS means no hive is visited;
// - the uninstall asks two guard components in order, stops when one is
//   installed locally (state 3), and otherwise runs its twelve steps in the
//   order of tests/expected_cleanup.h.

#include <cstdint>
#include <string>
#include <vector>

namespace refmodel {

struct Value {
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> bytes;
};

struct Key {
  std::string name;
  std::vector<Value> values;  // in no particular order
  std::vector<Key> subkeys;   // in no particular order
};

enum class Root { Machine, Users };
enum class Refusal { Open, Delete };

struct Refused {
  Root root;
  std::vector<std::string> path;  // below the root; empty: the root itself
  Refusal refusal;
  bool subtree;  // every key below `path` as well
};

struct Registry {
  Key machine;               // HKEY_LOCAL_MACHINE
  Key users;                 // HKEY_USERS, one subkey per hive
  std::string currentUser;   // the hive HKEY_CURRENT_USER stands for
  std::vector<Refused> refusals;
};

// Where a deletion starts: a root (HKEY_CURRENT_USER is the current user's
// hive under HKEY_USERS) and a backslash-separated path below it.
enum class Start { CurrentUser, Machine, Users };

bool SameName(const std::string& a, const std::string& b);
// Listing order.
bool ListsBefore(const std::string& a, const std::string& b);
std::vector<std::string> SplitPath(const std::string& path);

// Adds the key at `path` below `root` (and the keys above it) if missing;
// returns it.
Key& MakeKey(Key& root, const std::vector<std::string>& path);
Key* FindKey(Key& root, const std::vector<std::string>& path);

// The registry result the module's tree deletion returns, and the registry
// changed as it leaves it.
std::int32_t DeleteTree(Registry& registry, Start start, const std::string& path);
void SweepTree(Registry& registry, const std::string& suffix);
void SweepValue(Registry& registry, const std::string& suffix,
                const std::string& valueName);
// The whole uninstall, given what the two guard queries answer.
void Uninstall(Registry& registry, int firstGuardState, int secondGuardState);

// The state below one root, one line per key and per value, in the format of
// sim::Dump.
std::vector<std::string> Dump(const Key& root);

}  // namespace refmodel

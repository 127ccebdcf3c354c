#pragma once
// What the tests expect of the uninstall: its twelve cleanup steps in order
// and its two guard components. Written out here independently of
// actions/cleanup_plan.h, never derived from it, so that a change to the
// product's tables shows up as a failing test instead of being copied into
// the expectation. The unit tests, the fault sweep, the reference model and
// the scenario table all read this one copy.

#include <cstddef>
#include <iterator>

namespace expected_cleanup {

enum class Kind {
  TreeInEachHive,        // the key at `path` below each user hive, with its tree
  ValueInEachHive,       // the value `valueName` of the key at `path` below each hive
  TreeUnderCurrentUser,  // the key at `path` below HKEY_CURRENT_USER, with its tree
  TreeUnderMachine,      // the key at `path` below HKEY_LOCAL_MACHINE, with its tree
};

struct Step {
  Kind kind;
  // For the two sweeps a hive suffix, with its leading backslash; for the
  // others a path below the root, without one.
  const char* path;
  const char* valueName;  // ValueInEachHive only; "" otherwise
};

inline constexpr Step kSteps[] = {
    {Kind::TreeInEachHive, "\\Software\\Helvarin\\VLD", ""},
    {Kind::ValueInEachHive, "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
     "HelKeepAlive"},
    {Kind::TreeUnderCurrentUser, "Software\\Helvarin\\VLD", ""},
    {Kind::TreeInEachHive, "\\Software\\Helvarin\\TideMark", ""},
    {Kind::TreeUnderCurrentUser, "Software\\Helvarin\\TideMark", ""},
    {Kind::ValueInEachHive, "\\Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
     "Tide Mark Viewer"},
    {Kind::TreeInEachHive, "\\Software\\Helvarin\\Tide Mark Viewer", ""},
    {Kind::TreeUnderCurrentUser, "Software\\Helvarin\\Tide Mark Viewer", ""},
    {Kind::TreeUnderMachine, "Software\\Helvarin\\TideMark", ""},
    {Kind::TreeInEachHive, "\\Software\\Helvarin\\Brightmoor", ""},
    {Kind::TreeUnderCurrentUser, "Software\\Helvarin\\Brightmoor", ""},
    {Kind::TreeUnderMachine, "Software\\Helvarin\\Harbor Kit", ""},
};

inline constexpr bool IsSweep(Kind kind) {
  return kind == Kind::TreeInEachHive || kind == Kind::ValueInEachHive;
}

// How many steps sweep every user hive, and how many work under one root.
inline constexpr std::size_t kSweepSteps = [] {
  std::size_t count = 0;
  for (const Step& step : kSteps) count += IsSweep(step.kind) ? 1 : 0;
  return count;
}();
inline constexpr std::size_t kSingleRootSteps = std::size(kSteps) - kSweepSteps;

// The two guard components, in the order the uninstall asks about them, and
// the install state that holds the cleanup back.
inline constexpr const char* kGuardComponents[] = {
    "{6D2E9B47-3C81-4F0A-A5D2-7E19B4C06F83}",
    "{C43F7A19-E25D-4B68-9F03-1A8E6D72B5C4}",
};
inline constexpr int kInstalledLocally = 3;

}  // namespace expected_cleanup

#pragma once
// What the uninstall removes, and what holds it back.
//
// Compiled-in tables, read in order by UninstallTMK. Nothing here is built at
// load time: both tables are constant data.

#include "platform/win32.h"

// Components that other products of the maker share with this one. While
// Windows Installer reports either as installed on this computer, the shared
// registry traces are still in use and the uninstall leaves all of them.
inline constexpr const char* GuardComponents[] = {
    "{6D2E9B47-3C81-4F0A-A5D2-7E19B4C06F83}",
    "{C43F7A19-E25D-4B68-9F03-1A8E6D72B5C4}",
};

enum class CleanupOperation {
  // The key at `path` below each user hive under HKEY_USERS, and its tree.
  DeleteTreeInAllUserHives,
  // The value `valueName` of the key at `path` below each user hive.
  DeleteValueInAllUserHives,
  // The key at `path` below `root`, and its tree.
  DeleteTreeUnderRoot,
};

struct CleanupStep {
  CleanupOperation operation;
  // Read by DeleteTreeUnderRoot only; the sweeps always walk HKEY_USERS.
  RootKey root;
  // A path below `root`, or for the sweeps a hive suffix: the path below
  // each hive, written with its leading backslash.
  const char* path;
  const char* valueName;  // DeleteValueInAllUserHives only
};

// Marks a sweep's row: it takes no root of its own.
inline constexpr RootKey EachUserHive = RootKey::Users;

// The product's key, under the current user and under the machine.
inline constexpr const char* ProductKeyPath = "Software\\Helvarin\\TideMark";

// HKEY_CURRENT_USER is itself one of the hives under HKEY_USERS, so the
// steps under it usually find their key gone already. They still clean the
// current user when a sweep could not reach that hive: HKEY_USERS refused
// to be listed, or the listing ended before it.
inline constexpr CleanupStep CleanupPlan[] = {
    // The keep-alive agent: its key, its logon entry, its key again.
    {CleanupOperation::DeleteTreeInAllUserHives, EachUserHive,
     "\\Software\\Helvarin\\VLD", nullptr},
    {CleanupOperation::DeleteValueInAllUserHives, EachUserHive,
     "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "HelKeepAlive"},
    {CleanupOperation::DeleteTreeUnderRoot, RootKey::CurrentUser,
     "Software\\Helvarin\\VLD", nullptr},
    // The product, per user.
    {CleanupOperation::DeleteTreeInAllUserHives, EachUserHive,
     "\\Software\\Helvarin\\TideMark", nullptr},
    {CleanupOperation::DeleteTreeUnderRoot, RootKey::CurrentUser,
     ProductKeyPath, nullptr},
    // The viewer: its entry among the suite's intro dialogs, then its key.
    {CleanupOperation::DeleteValueInAllUserHives, EachUserHive,
     "\\Software\\Helvarin\\Brightmoor\\Disable Intro Dialogs",
     "Tide Mark Viewer"},
    {CleanupOperation::DeleteTreeInAllUserHives, EachUserHive,
     "\\Software\\Helvarin\\Tide Mark Viewer", nullptr},
    {CleanupOperation::DeleteTreeUnderRoot, RootKey::CurrentUser,
     "Software\\Helvarin\\Tide Mark Viewer", nullptr},
    // The product's machine key, with the plug-in list the install wrote.
    {CleanupOperation::DeleteTreeUnderRoot, RootKey::LocalMachine,
     ProductKeyPath, nullptr},
    // The suite key, per user.
    {CleanupOperation::DeleteTreeInAllUserHives, EachUserHive,
     "\\Software\\Helvarin\\Brightmoor", nullptr},
    {CleanupOperation::DeleteTreeUnderRoot, RootKey::CurrentUser,
     "Software\\Helvarin\\Brightmoor", nullptr},
    {CleanupOperation::DeleteTreeUnderRoot, RootKey::LocalMachine,
     "Software\\Helvarin\\Harbor Kit", nullptr},
};

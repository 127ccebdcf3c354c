// Registry links in the stand-in, and hives loaded and unloaded at a chosen
// moment: the behaviours the tests of hostile hives stand on, pinned to what
// Windows does.

#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

using SimLinks = SimTest;
using Lines = std::vector<std::string>;

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;
const std::string kUser = sim::kDefaultCurrentUser;
const std::string kOther = "S-1-5-21-1-2-3-1002";

LONG OpenResult(HKEY parent, const std::string& path, HKEY* opened) {
  *opened = nullptr;
  return RegOpenKeyExA(parent, path.c_str(), 0, kAccess, opened);
}

// Opening a link opens its target, also in the middle of a path, and its
// parent lists it under its own name; inspection sees the link itself.
TEST_F(SimLinks, OpeningALinkOpensItsTarget) {
  sim::PutString(RootKey::LocalMachine, "Software\\Target\\Sub", "V", "t");
  sim::CreateKey(RootKey::LocalMachine, "Software\\Dir\\b");
  sim::CreateLink(RootKey::LocalMachine, "Software\\Dir\\Ln", RootKey::LocalMachine,
                  "Software\\Target");

  HKEY dir = nullptr;
  ASSERT_EQ(OpenResult(HKEY_LOCAL_MACHINE, "Software\\Dir", &dir), ERROR_SUCCESS);
  EXPECT_EQ(ListSubkeys(dir), (Lines{"b", "Ln"}));
  HKEY link = nullptr;
  ASSERT_EQ(OpenResult(dir, "ln", &link), ERROR_SUCCESS);
  EXPECT_EQ(ListSubkeys(link), Lines{"Sub"});
  EXPECT_EQ(RegSetValueExA(link, "W", 0, REG_SZ,
                           reinterpret_cast<const unsigned char*>("x"), 2),
            ERROR_SUCCESS);
  HKEY below = nullptr;
  ASSERT_EQ(OpenResult(HKEY_LOCAL_MACHINE, "Software\\Dir\\Ln\\Sub", &below), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(below, "V"), ERROR_SUCCESS);

  EXPECT_EQ(sim::ValueNames(RootKey::LocalMachine, "Software\\Target"), Lines{"W"});
  EXPECT_TRUE(sim::ValueNames(RootKey::LocalMachine, "Software\\Target\\Sub").empty());
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Dir\\Ln\\Sub"));
  EXPECT_EQ(sim::Dump(RootKey::LocalMachine),
            (Lines{"", "\\Software", "\\Software\\Dir", "\\Software\\Dir\\b",
                   "\\Software\\Dir\\Ln -> HKLM\\Software\\Target", "\\Software\\Target",
                   "\\Software\\Target [W] type 1: 78 00", "\\Software\\Target\\Sub"}));
  for (HKEY key : {below, link, dir}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// RegDeleteKeyA on a link's name acts on the target: an empty target goes and
// the link stays behind, leading nowhere; a target with subkeys is refused.
TEST_F(SimLinks, DeletingALinksNameDeletesTheTarget) {
  sim::CreateKey(RootKey::LocalMachine, "Software\\Full\\Child");
  sim::CreateKey(RootKey::LocalMachine, "Software\\Empty");
  sim::CreateLink(RootKey::LocalMachine, "Software\\Dir\\ToFull", RootKey::LocalMachine,
                  "Software\\Full");
  sim::CreateLink(RootKey::LocalMachine, "Software\\Dir\\ToEmpty", RootKey::LocalMachine,
                  "Software\\Empty");
  HKEY dir = nullptr;
  ASSERT_EQ(OpenResult(HKEY_LOCAL_MACHINE, "Software\\Dir", &dir), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyA(dir, "ToFull"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, "Software\\Full\\Child"));
  EXPECT_EQ(RegDeleteKeyA(dir, "ToEmpty"), ERROR_SUCCESS);
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Empty"));
  EXPECT_EQ(sim::SubkeyNames(RootKey::LocalMachine, "Software\\Dir"),
            (Lines{"ToEmpty", "ToFull"}));
  EXPECT_EQ(RegDeleteKeyA(dir, "ToEmpty"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(dir), ERROR_SUCCESS);
}

// A link whose target is missing, or one that leads back to itself, fails to
// open, to create through and to delete through with "not found"; a link to
// its own parent opens that parent again and again.
TEST_F(SimLinks, DanglingAndLoopingLinks) {
  sim::CreateLink(RootKey::LocalMachine, "Software\\A\\Gone", RootKey::LocalMachine,
                  "Software\\Nowhere");
  sim::CreateLink(RootKey::LocalMachine, "Software\\A\\Self", RootKey::LocalMachine,
                  "Software\\A\\Self");
  sim::CreateLink(RootKey::LocalMachine, "Software\\A\\Up", RootKey::LocalMachine,
                  "Software\\A");
  for (const char* path : {"Software\\A\\Gone", "Software\\A\\Self", "Software\\A\\Gone\\x"}) {
    SCOPED_TRACE(path);
    HKEY key = nullptr;
    EXPECT_EQ(OpenResult(HKEY_LOCAL_MACHINE, path, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              kAccess, nullptr, &key, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Nowhere"));

  HKEY up = nullptr;
  ASSERT_EQ(OpenResult(HKEY_LOCAL_MACHINE, "Software\\A\\Up\\Up\\Up", &up), ERROR_SUCCESS);
  EXPECT_EQ(ListSubkeys(up), (Lines{"Gone", "Self", "Up"}));
  EXPECT_EQ(RegDeleteKeyA(up, "Up"), ERROR_ACCESS_DENIED);  // A, which has subkeys
  EXPECT_EQ(RegCloseKey(up), ERROR_SUCCESS);
}

// Which links are followed, by where the link lives and where it leads, under
// both settings. Windows refuses a user's link into the machine hive or into
// another hive under HKEY_USERS; Wine 8 follows every link.
TEST_F(SimLinks, CrossHiveLinksUnderBothPolicies) {
  struct Case {
    const char* what;
    RootKey root;
    std::string path;
    RootKey targetRoot;
    std::string targetPath;
    LONG refusedResult;  // under RefuseCrossHive; FollowAll always opens
  };
  const std::string userLink = kUser + "\\Software\\L";
  const Case cases[] = {
      {"user hive to machine", RootKey::Users, userLink, RootKey::LocalMachine,
       "Software\\T", ERROR_ACCESS_DENIED},
      {"user hive to another user's", RootKey::Users, userLink, RootKey::Users,
       kOther + "\\Software\\T", ERROR_ACCESS_DENIED},
      {"user hive to its own", RootKey::Users, userLink, RootKey::Users,
       kUser + "\\Software\\T", ERROR_SUCCESS},
      {"user hive to its own, through HKCU", RootKey::CurrentUser, "Software\\L",
       RootKey::CurrentUser, "Software\\T", ERROR_SUCCESS},
      {"HKCU to another user's", RootKey::CurrentUser, "Software\\L", RootKey::Users,
       kOther + "\\Software\\T", ERROR_ACCESS_DENIED},
      {"machine to a user hive", RootKey::LocalMachine, "Software\\L", RootKey::Users,
       kOther + "\\Software\\T", ERROR_SUCCESS},
      {"machine to machine", RootKey::LocalMachine, "Software\\L", RootKey::LocalMachine,
       "Software\\T", ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    for (bool followAll : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (followAll ? ", follow all" : ", refuse"));
      sim::Reset();
      sim::CreateKey(RootKey::Users, kOther);
      sim::CreateKey(c.targetRoot, c.targetPath);
      sim::CreateLink(c.root, c.path, c.targetRoot, c.targetPath);
      if (followAll) sim::SetLinkPolicy(sim::LinkPolicy::FollowAll);
      const LONG expected = followAll ? ERROR_SUCCESS : c.refusedResult;

      HKEY key = nullptr;
      EXPECT_EQ(OpenResult(RootHandle(c.root), c.path, &key), expected);
      if (key != nullptr) {
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
      }
      EXPECT_EQ(RegDeleteKeyA(RootHandle(c.root), c.path.c_str()), expected);
      EXPECT_EQ(sim::KeyExists(c.targetRoot, c.targetPath), expected != ERROR_SUCCESS);
    }
  }
  // Reset() goes back to the setting of Windows.
  sim::Reset();
  sim::CreateKey(RootKey::LocalMachine, "Software\\T");
  sim::CreateLink(RootKey::Users, userLink, RootKey::LocalMachine, "Software\\T");
  HKEY key = nullptr;
  EXPECT_EQ(OpenResult(HKEY_USERS, userLink, &key), ERROR_ACCESS_DENIED);
}

// A change of HKEY_USERS' list at a chosen call: the hook runs once, just
// before that call; an unloaded hive's open keys answer as deleted keys do.
TEST_F(SimLinks, HivesLoadedAndUnloadedBeforeAChosenCall) {
  sim::CreateKey(RootKey::Users, kOther + "\\Software");
  HKEY software = nullptr;
  ASSERT_EQ(OpenResult(HKEY_USERS, kOther + "\\Software", &software), ERROR_SUCCESS);
  sim::BeforeCall(2, [] {
    sim::UnloadHive(kOther);
    sim::LoadHive(".DEFAULT");
  });
  char name[260];
  ASSERT_EQ(RegEnumKeyA(HKEY_USERS, 1, name, sizeof name), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name), kOther);
  ASSERT_EQ(RegEnumKeyA(HKEY_USERS, 1, name, sizeof name), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name), kUser);
  EXPECT_EQ(sim::SubkeyNames(RootKey::Users, ""), (Lines{".DEFAULT", kUser}));
  EXPECT_EQ(RegEnumKeyA(HKEY_USERS, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyA(software, 0, name, sizeof name), 1018);
  EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
}

}  // namespace

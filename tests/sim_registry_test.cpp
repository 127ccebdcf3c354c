// The stand-in must behave as Windows does wherever the module relies on it;
// these pin the behaviours the product tests stand on.

#include <cstring>

#include "sim_fixture.h"

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

HKEY OpenOrNull(HKEY parent, const char* path) {
  HKEY key = nullptr;
  return RegOpenKeyExA(parent, path, 0, kAccess, &key) == ERROR_SUCCESS ? key
                                                                        : nullptr;
}

using SimRegistry = SimTest;

TEST_F(SimRegistry, NamesAreCaseInsensitiveAndListedSorted) {
  for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2", "Delta"}) {
    sim::CreateKey(RootKey::LocalMachine, std::string("Software\\") + name);
  }
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "SOFTWARE");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(ListSubkeys(key), (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "Delta",
                                               "gamma"}));
  EXPECT_EQ(RegSetValueExA(key, "Mixed", 0, REG_SZ,
                           reinterpret_cast<const unsigned char*>("x"), 2),
            ERROR_SUCCESS);
  EXPECT_TRUE(sim::GetValue(RootKey::LocalMachine, "software", "MIXED"));
  EXPECT_EQ(RegDeleteValueA(key, "mixed"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(SimRegistry, EnumerationResults) {
  sim::CreateKey(RootKey::LocalMachine, "K\\abcd");
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "K");
  ASSERT_NE(key, nullptr);
  struct Case {
    DWORD index;
    DWORD capacity;
    LONG expected;
  };
  for (const Case& c : {Case{0, 5, ERROR_SUCCESS}, Case{0, 4, ERROR_MORE_DATA},
                        Case{1, 5, ERROR_NO_MORE_ITEMS}}) {
    char name[8] = "zzzzzzz";
    DWORD size = c.capacity;
    EXPECT_EQ(RegEnumKeyExA(key, c.index, name, &size, nullptr, nullptr, nullptr,
                            nullptr),
              c.expected);
    EXPECT_EQ(RegEnumKeyA(key, c.index, name, c.capacity), c.expected);
    if (c.expected != ERROR_SUCCESS) {
      EXPECT_STREQ(name, "zzzzzzz") << "written on failure";
    }
  }
  RegCloseKey(key);
}

TEST_F(SimRegistry, DeletionRules) {
  sim::CreateKey(RootKey::LocalMachine, "A\\B\\C");
  sim::CreateKey(RootKey::LocalMachine, "A\\B2");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\B"), ERROR_ACCESS_DENIED)
      << "a key with subkeys refuses deletion";
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "a\\b\\c"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\B2"), ERROR_SUCCESS);
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "A\\B\\C"));
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, "A\\B")) << "only the last name goes";
  EXPECT_EQ(RegDeleteKeyA(HKEY_USERS, sim::kDefaultCurrentUser), ERROR_ACCESS_DENIED)
      << "a hive is never deleted";
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_ACCESS_DENIED)
      << "nor a key straight under the machine root";
}

TEST_F(SimRegistry, CurrentUserIsOneOfTheUserHives) {
  sim::CreateKey(RootKey::Users, "S-1-5-21-9\\Software\\X");
  sim::SetCurrentUser("s-1-5-21-9");
  EXPECT_TRUE(sim::KeyExists(RootKey::CurrentUser, "Software\\X"));
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\X"), ERROR_SUCCESS);
  EXPECT_FALSE(sim::KeyExists(RootKey::Users, "S-1-5-21-9\\Software\\X"));
}

TEST_F(SimRegistry, RootsSurviveCloseAndHandlesAreTracked) {
  sim::CreateKey(RootKey::LocalMachine, "Software");
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
  }
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"h1"});
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(sim::OpenHandles().empty());
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(sim::BadCloses(), 1u);
  sim::Reset();  // the double close above was the point of this test
}

TEST_F(SimRegistry, OpenCreateAndTheirRefusals) {
  sim::CreateKey(RootKey::LocalMachine, "Locked");
  sim::Refuse(RootKey::LocalMachine, "Locked", sim::Refusal::Open);
  sim::Refuse(RootKey::LocalMachine, "Closed", sim::Refusal::Create, true);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Locked", 0, kAccess, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nowhere", 0, kAccess, &key),
            ERROR_FILE_NOT_FOUND);
  DWORD disposition = 0;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Closed\\Deep", 0, nullptr, 0,
                            kAccess, nullptr, &key, &disposition),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Closed"));
  EXPECT_EQ(key, nullptr);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "New\\Deep", 0, nullptr, 0, kAccess,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 1u);
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, "New\\Deep"));
  RegCloseKey(key);
}

// A leading backslash and a name of more than 256 characters are refused by
// open, create and delete alike, before anything is made or removed.
TEST_F(SimRegistry, PathSyntaxRefusals) {
  const std::string longest(256, 'n'), tooLong(257, 'n');
  sim::CreateKey(RootKey::LocalMachine, "Software\\" + longest);
  struct Case {
    std::string path;
    LONG expected;
  };
  const Case cases[] = {
      {"\\Software", 161},
      {"\\Software\\" + longest, 161},
      {"Software\\" + tooLong, 87},
      {"Software\\" + tooLong + "\\x", 87},
      {"Software\\" + longest + "\\", ERROR_SUCCESS},
      {"Software\\\\" + longest, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 24));
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.path.c_str(), 0, kAccess, &key),
              c.expected);
    if (key) RegCloseKey(key);
    key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, c.path.c_str(), 0, nullptr, 0, kAccess,
                              nullptr, &key, &disposition),
              c.expected);
    if (key) RegCloseKey(key);
    EXPECT_EQ(disposition, c.expected == ERROR_SUCCESS ? 2u : 0u);
  }
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("\\Software\\" + longest).c_str()), 161);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("Software\\" + tooLong).c_str()), 87);
  EXPECT_EQ(sim::SubkeyNames(RootKey::LocalMachine, "Software"),
            std::vector<std::string>{longest});
}

TEST_F(SimRegistry, TheNthCallFailsWithTheGivenCodeAndNoEffect) {
  sim::CreateKey(RootKey::LocalMachine, "Software\\A");
  sim::FailCall(2, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\A"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, "Software\\A"));
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\A"), ERROR_SUCCESS);
}

TEST_F(SimRegistry, JournalRecordsArgumentsAndResults) {
  sim::CreateKey(RootKey::LocalMachine, "Software\\Sub");
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software");
  char name[16];
  DWORD size = 16;
  RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
  RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const unsigned char*>(" "), 2);
  RegCloseKey(key);
  EXPECT_EQ(sim::JournalText(),
            (std::vector<std::string>{
                "RegOpenKeyExA(HKLM, \"Software\", 0, 0x2001f) = 0 -> h1",
                "RegEnumKeyExA(h1, 0, 16, null, null, null, null) = 0 -> \"Sub\"",
                "RegSetValueExA(h1, \"V\", 0, 1, [20 00], 2) = 0",
                "RegCloseKey(h1) = 0",
            }));
}

// An endless loop in the product must end the test quickly with a failure,
// not fill memory with journal entries: past the budget the next call throws,
// once, and a close (made by destructors while that exception unwinds) never
// does.
TEST_F(SimRegistry, CallBudgetStopsARunawayLoopOnce) {
  EXPECT_EQ(sim::CallBudget(), sim::kDefaultCallBudget);
  sim::SetCallBudget(3);
  char name[64];
  for (int i = 0; i < 3; ++i) RegEnumKeyA(HKEY_USERS, 0, name, sizeof name);
  EXPECT_EQ(RegCloseKey(HKEY_USERS), ERROR_SUCCESS) << "a close never throws";
  EXPECT_THROW(RegEnumKeyA(HKEY_USERS, 1, name, sizeof name), sim::CallBudgetExceeded);
  EXPECT_EQ(RegEnumKeyA(HKEY_USERS, 0, name, sizeof name), ERROR_SUCCESS)
      << "thrown once only";
  EXPECT_EQ(sim::CallCount(), 5u);
  sim::Reset();
  EXPECT_EQ(sim::CallBudget(), sim::kDefaultCallBudget) << "Reset restores the default";
}

}  // namespace

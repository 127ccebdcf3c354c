// RegKeyHandle: what it asks of the registry, and that it owns exactly one
// key at a time.

#include <type_traits>

#include "registry/reg_key_handle.h"
#include "sim_fixture.h"

static_assert(!std::is_copy_constructible_v<RegKeyHandle>);
static_assert(!std::is_copy_assignable_v<RegKeyHandle>);

namespace {

using KeyHandle = SimTest;
using Lines = std::vector<std::string>;

TEST_F(KeyHandle, OpenAndCreateAskForReadAndWriteAccess) {
  sim::CreateKey(RootKey::LocalMachine, "Software\\A");
  {
    RegKeyHandle opened;
    EXPECT_EQ(opened.Open(HKEY_LOCAL_MACHINE, "Software\\A"), ERROR_SUCCESS);
    RegKeyHandle created;
    EXPECT_EQ(created.Create(HKEY_LOCAL_MACHINE, "Software\\B\\C"), ERROR_SUCCESS);
    EXPECT_TRUE(opened.IsHolding());
    EXPECT_TRUE(created.IsHolding());
  }
  EXPECT_EQ(sim::JournalText(),
            (Lines{"RegOpenKeyExA(HKLM, \"Software\\A\", 0, 0x2001f) = 0 -> h1",
                   "RegCreateKeyExA(HKLM, \"Software\\B\\C\", 0, null, 0, 0x2001f, "
                   "null) = 0 -> h2",
                   "RegCloseKey(h2) = 0", "RegCloseKey(h1) = 0"}));
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, "Software\\B\\C"));
}

TEST_F(KeyHandle, OpenOnAHoldingObjectSwapsOnlyOnSuccess) {
  sim::CreateKey(RootKey::LocalMachine, "Old");
  sim::CreateKey(RootKey::LocalMachine, "New");
  RegKeyHandle key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Old"), ERROR_SUCCESS);

  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sim::OpenHandles(), Lines{"h1"}) << "the old key stays held";
  EXPECT_EQ(key.SetStringValue("Mark", "old"), ERROR_SUCCESS);
  EXPECT_TRUE(sim::GetValue(RootKey::LocalMachine, "Old", "Mark"));

  sim::ClearJournal();
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "New"), ERROR_SUCCESS);
  EXPECT_EQ(sim::JournalText(),
            (Lines{"RegOpenKeyExA(HKLM, \"New\", 0, 0x2001f) = 0 -> h2",
                   "RegCloseKey(h1) = 0"}))
      << "the old key is released after the new one is obtained";
  EXPECT_EQ(key.SetStringValue("Mark", "new"), ERROR_SUCCESS);
  EXPECT_TRUE(sim::GetValue(RootKey::LocalMachine, "New", "Mark"));
}

TEST_F(KeyHandle, OpenKeepsTheNewKeyWhenReleasingTheOldFails) {
  sim::CreateKey(RootKey::LocalMachine, "Old");
  sim::CreateKey(RootKey::LocalMachine, "New");
  {
    RegKeyHandle key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Old"), ERROR_SUCCESS);
    sim::FailCall(2, ERROR_INVALID_HANDLE);  // the close of the old key
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "New"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.SetStringValue("Mark", "new"), ERROR_SUCCESS);
    EXPECT_TRUE(sim::GetValue(RootKey::LocalMachine, "New", "Mark"));
  }
  // The object released the new key; the old one is what the failed close
  // left open, which is the stand-in's doing, not the object's.
  EXPECT_EQ(sim::OpenHandles(), Lines{"h1"});
  sim::Reset();
}

TEST_F(KeyHandle, CloseIsIdempotentAndEmptyCloseMakesNoCall) {
  sim::CreateKey(RootKey::LocalMachine, "A");
  RegKeyHandle empty;
  EXPECT_EQ(empty.Close(), ERROR_SUCCESS);
  EXPECT_EQ(sim::CallCount(), 0u);

  RegKeyHandle key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_FALSE(key.IsHolding());
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(sim::JournalText("RegCloseKey"), Lines{"RegCloseKey(h1) = 0"});
}

TEST_F(KeyHandle, SetStringValueWritesTheTextAndItsNulAsRegSz) {
  struct Case {
    const char* text;
    std::vector<std::uint8_t> stored;
  };
  const Case cases[] = {
      {"", Bytes({0})},
      {" ", Bytes({0x20, 0})},
      {"ab c", Bytes({'a', 'b', ' ', 'c', 0})},
  };
  sim::PutValue(RootKey::LocalMachine, "K", "V", 4, Bytes({1, 0, 0, 0}));
  RegKeyHandle key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "K"), ERROR_SUCCESS);
  for (const Case& c : cases) {
    EXPECT_EQ(key.SetStringValue("V", c.text), ERROR_SUCCESS);
    EXPECT_EQ(sim::GetValue(RootKey::LocalMachine, "K", "V"),
              (sim::Value{REG_SZ, c.stored}))
        << "text \"" << c.text << "\"";
  }
}

TEST_F(KeyHandle, DeleteValueRemovesOnlyThatValue) {
  sim::PutString(RootKey::LocalMachine, "K", "Gone", "1");
  sim::PutString(RootKey::LocalMachine, "K", "Stays", "2");
  sim::CreateKey(RootKey::LocalMachine, "K\\Sub");
  RegKeyHandle key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "K"), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("gone"), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("Gone"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sim::ValueNames(RootKey::LocalMachine, "K"), Lines{"Stays"});
  EXPECT_EQ(sim::SubkeyNames(RootKey::LocalMachine, "K"), Lines{"Sub"});
}

TEST_F(KeyHandle, AnEmptyObjectWritesAndDeletesNothing) {
  sim::PutString(RootKey::LocalMachine, "K", "V", "keep");
  const auto before = sim::Dump(RootKey::LocalMachine);
  RegKeyHandle key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Missing"), ERROR_FILE_NOT_FOUND);
  sim::ClearJournal();
  EXPECT_NE(key.SetStringValue("V", "x"), ERROR_SUCCESS);
  EXPECT_NE(key.DeleteValue("V"), ERROR_SUCCESS);
  EXPECT_NE(key.DeleteTree("K"), ERROR_SUCCESS);
  EXPECT_TRUE(sim::JournalText().empty()) << "no null key is handed to the registry";
  EXPECT_EQ(sim::Dump(RootKey::LocalMachine), before);
}

TEST_F(KeyHandle, DestructionClosesWhatIsHeldIncludingARoot) {
  sim::CreateKey(RootKey::LocalMachine, "A");
  {
    RegKeyHandle key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    RegKeyHandle root(HKEY_USERS);
  }
  EXPECT_EQ(sim::JournalText("RegCloseKey"),
            (Lines{"RegCloseKey(HKU) = 0", "RegCloseKey(h1) = 0"}));
}

}  // namespace

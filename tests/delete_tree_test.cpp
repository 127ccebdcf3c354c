// Tree deletion: depth first, post-order, always listing index 0, stopping
// for good at the first failure, closing every key on every way out.

#include <string>

#include "registry/reg_key_handle.h"
#include "sim_fixture.h"

namespace {

using DeleteTree = SimTest;
using Lines = std::vector<std::string>;

// Software\Helvarin\TideMark with three levels below it and values on the way.
void SeedProductTree() {
  const std::string top = "Software\\Helvarin\\TideMark";
  sim::PutString(RootKey::LocalMachine, top, "Version", "1");
  sim::PutString(RootKey::LocalMachine, top + "\\B\\B2\\B21", "Leaf", "x");
  sim::PutString(RootKey::LocalMachine, top + "\\B\\B1", "V", "y");
  sim::CreateKey(RootKey::LocalMachine, top + "\\A\\A1\\A11");
  sim::CreateKey(RootKey::LocalMachine, top + "\\c");
}

TEST_F(DeleteTree, MissingPathReturnsTheOpenFailureAndChangesNothing) {
  SeedProductTree();
  const auto before = sim::Dump(RootKey::LocalMachine);
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, "Software\\Helvarin\\Nope"),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sim::Dump(RootKey::LocalMachine), before);
  EXPECT_EQ(sim::JournalText(),
            (Lines{"RegOpenKeyExA(HKLM, \"Software\\Helvarin\\Nope\", 0, 0x2001f) = 2",
                   "RegCloseKey(HKLM) = 0"}));
}

TEST_F(DeleteTree, KeyWithoutSubkeysIsListedOnceClosedThenDeleted) {
  sim::PutString(RootKey::LocalMachine, "Software\\Leaf", "V", "x");
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, "Software\\Leaf"), ERROR_SUCCESS);
  EXPECT_EQ(sim::JournalText(),
            (Lines{"RegOpenKeyExA(HKLM, \"Software\\Leaf\", 0, 0x2001f) = 0 -> h1",
                   "RegEnumKeyExA(h1, 0, 256, null, null, null, ptr) = 259",
                   "RegCloseKey(h1) = 0", "RegDeleteKeyA(HKLM, \"Software\\Leaf\") = 0",
                   "RegCloseKey(HKLM) = 0"}));
  EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, "Software\\Leaf"));
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, "Software"));
}

TEST_F(DeleteTree, WholeTreeGoesDepthFirstInListingOrder) {
  SeedProductTree();
  sim::CreateKey(RootKey::LocalMachine, "Software\\Helvarin\\TideMarkX");
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, "Software\\Helvarin\\TideMark"),
            ERROR_SUCCESS);
  EXPECT_EQ(sim::Dump(RootKey::LocalMachine),
            (Lines{"", "\\Software", "\\Software\\Helvarin",
                   "\\Software\\Helvarin\\TideMarkX"}));
  EXPECT_EQ(sim::JournalText("RegDeleteKeyA"),
            (Lines{"RegDeleteKeyA(h3, \"A11\") = 0", "RegDeleteKeyA(h2, \"A1\") = 0",
                   "RegDeleteKeyA(h1, \"A\") = 0", "RegDeleteKeyA(h5, \"B1\") = 0",
                   "RegDeleteKeyA(h7, \"B21\") = 0", "RegDeleteKeyA(h5, \"B2\") = 0",
                   "RegDeleteKeyA(h1, \"B\") = 0", "RegDeleteKeyA(h1, \"c\") = 0",
                   "RegDeleteKeyA(HKLM, \"Software\\Helvarin\\TideMark\") = 0"}));
  for (const sim::Call& call : sim::Journal()) {
    if (call.function != "RegEnumKeyExA") continue;
    EXPECT_EQ(call.Arg(1), "0") << call.Text();
    EXPECT_EQ(call.Arg(2), "256") << call.Text();
  }
}

TEST_F(DeleteTree, FirstFailureDeepInsideStopsEverythingAbove) {
  SeedProductTree();
  const std::string top = "Software\\Helvarin\\TideMark";
  sim::Refuse(RootKey::LocalMachine, top + "\\B\\B2", sim::Refusal::Open);
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, top.c_str()), ERROR_ACCESS_DENIED);
  // Listed before the failure: gone. The failing key, its ancestors and what
  // comes after it: still there.
  for (const char* gone : {"\\A", "\\B\\B1"}) {
    EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, top + gone)) << gone;
  }
  for (const char* kept : {"", "\\B", "\\B\\B2\\B21", "\\c"}) {
    EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, top + kept)) << kept;
  }
  EXPECT_TRUE(sim::GetValue(RootKey::LocalMachine, top, "Version"));
  // Nothing is listed or deleted after the refused open.
  const auto& journal = sim::Journal();
  std::size_t refused = 0;
  while (refused < journal.size() && journal[refused].result != "5") ++refused;
  ASSERT_LT(refused, journal.size());
  for (std::size_t i = refused + 1; i < journal.size(); ++i) {
    EXPECT_EQ(journal[i].function, "RegCloseKey") << journal[i].Text();
  }
}

TEST_F(DeleteTree, FailingDeletionOfALeafIsTheResult) {
  SeedProductTree();
  const std::string top = "Software\\Helvarin\\TideMark";
  sim::Refuse(RootKey::LocalMachine, top + "\\A\\A1\\A11", sim::Refusal::Delete);
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, top.c_str()), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, top + "\\A\\A1\\A11"));
  EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, top + "\\B\\B1"));
  EXPECT_EQ(sim::JournalText("RegDeleteKeyA").size(), 1u);
}

TEST_F(DeleteTree, SubkeyNamesThatDoNotFitTheBuffer) {
  struct Case {
    std::size_t nameLength;
    LONG result;
  };
  // 255 characters and the NUL fill the 256-character buffer exactly; one
  // more and the listing reports ERROR_MORE_DATA, the key cannot be emptied,
  // and its deletion is still tried and refused.
  for (const Case& c : {Case{255, ERROR_SUCCESS}, Case{256, ERROR_ACCESS_DENIED}}) {
    sim::Reset();
    const std::string longName(c.nameLength, 'a');
    sim::CreateKey(RootKey::LocalMachine, "Software\\T\\" + longName);
    sim::CreateKey(RootKey::LocalMachine, "Software\\T\\b");
    EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, "Software\\T"), c.result)
        << c.nameLength;
    EXPECT_EQ(sim::KeyExists(RootKey::LocalMachine, "Software\\T"),
              c.result != ERROR_SUCCESS);
    if (c.result != ERROR_SUCCESS) {
      EXPECT_EQ(sim::JournalText("RegDeleteKeyA"),
                Lines{"RegDeleteKeyA(HKLM, \"Software\\T\") = 5"});
      EXPECT_EQ(sim::SubkeyNames(RootKey::LocalMachine, "Software\\T").size(), 2u);
    }
    EXPECT_TRUE(sim::OpenHandles().empty());
  }
}

TEST_F(DeleteTree, TwiceInARowUnderTheSameRoot) {
  sim::CreateKey(RootKey::CurrentUser, "Software\\Helvarin\\One\\Sub");
  sim::CreateKey(RootKey::CurrentUser, "Software\\Helvarin\\Two");
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_CURRENT_USER, "Software\\Helvarin\\One"),
            ERROR_SUCCESS);
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_CURRENT_USER, "Software\\Helvarin\\Two"),
            ERROR_SUCCESS);
  EXPECT_EQ(sim::SubkeyNames(RootKey::CurrentUser, "Software\\Helvarin"), Lines{});
  EXPECT_EQ(Tail(sim::JournalText("RegCloseKey"), 1), Lines{"RegCloseKey(HKCU) = 0"});
}

}  // namespace
